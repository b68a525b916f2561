// The two read-only log panes of the main dialog: the terminal log shows what the box prints,
// the message log the program's own account. Each appends at the end, keeps its text below
// 16384 characters by dropping the oldest 4096, and keeps its newest lines in view.
//
// Threading: the window thread only.
#pragma once

#include <string_view>

#include "protocol/TransferLog.h"
#include "toolkit/Toolkit.h"

namespace vandrelux::ui {

inline constexpr int kLogLimit = 0x4000;  // reaching this many characters trims the pane
inline constexpr int kLogTrim = 0x1000;   // characters dropped from the front per trim
inline constexpr int kTerminalLinesInView = 20;
inline constexpr int kMessageLinesInView = 5;

class CLogView {
public:
    CLogView(platform::IToolkit& toolkit, platform::ControlId id) noexcept
        : m_toolkit(toolkit), m_id(id) {}

    // The pane is created: the operator may select and copy, never type.
    void OnCreate();

    // One byte the box printed. CR, ACK, NAK and 0x19 are not shown; only a line feed scrolls.
    void AppendChar(char ch);

private:
    platform::IToolkit& m_toolkit;
    platform::ControlId m_id;
};

class CInfoView {
public:
    CInfoView(platform::IToolkit& toolkit, platform::ControlId id) noexcept
        : m_toolkit(toolkit), m_id(id) {}

    void AppendText(std::string_view text);

private:
    platform::IToolkit& m_toolkit;
    platform::ControlId m_id;
};

// The panes as the transfer writes to them.
class CTransferLogs final : public protocol::ITransferLog {
public:
    CTransferLogs(CInfoView& messages, CLogView& terminal) noexcept
        : m_messages(messages), m_terminal(terminal) {}

    void AppendText(std::string_view text) override { m_messages.AppendText(text); }
    void AppendChar(char ch) override { m_terminal.AppendChar(ch); }

private:
    CInfoView& m_messages;
    CLogView& m_terminal;
};

}  // namespace vandrelux::ui
