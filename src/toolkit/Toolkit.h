// The window operations the dialog logic and the transfer machines rely on, addressed by
// control id. Qt implements it for the operator's window, a terminal version serves the CLI,
// and FakeToolkit serves the tests.
//
// Threading: every call is made on the window thread. A modal call (MessageBox, ErrorBox,
// OpenFileDialog) keeps dispatching timer ticks while it waits, as a dialog loop does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandrelux::platform {

using ControlId = int;

struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    [[nodiscard]] int Width() const noexcept { return right - left; }
    [[nodiscard]] int Height() const noexcept { return bottom - top; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

struct ChildWindow {
    ControlId id = 0;
    Rect screenRect;
};

class IToolkit {
public:
    virtual ~IToolkit() = default;

    // Control access. Reads return the state at the moment of the call.
    [[nodiscard]] virtual std::string GetText(ControlId id) const = 0;
    virtual void SetText(ControlId id, std::string_view text) = 0;
    virtual void Enable(ControlId id, bool enable) = 0;
    [[nodiscard]] virtual bool IsEnabled(ControlId id) const = 0;
    [[nodiscard]] virtual bool IsChecked(ControlId id) const = 0;
    virtual void SetChecked(ControlId id, bool checked) = 0;

    // Window geometry, for collapsing the dialog to its frame control.
    [[nodiscard]] virtual std::vector<ChildWindow> ChildWindowsInZOrder() const = 0;
    [[nodiscard]] virtual Rect WindowRect() const = 0;
    virtual void ResizeWindow(int width, int height) = 0;
    virtual void ShowControl(ControlId id, bool show) = 0;
    virtual void FocusNextTabStop() = 0;

    // Combo boxes.
    virtual void SetComboItems(ControlId id, const std::vector<std::string>& items) = 0;
    virtual void SelectComboIndex(ControlId id, int index) = 0;
    virtual void SelectComboPrefix(ControlId id, std::string_view prefix) = 0;
    [[nodiscard]] virtual int ComboIndex(ControlId id) const = 0;

    // Progress bar. The range's upper bound is 16-bit, as the native control takes it.
    virtual void SetProgressRange(ControlId id, std::uint16_t lower, std::uint16_t upper) = 0;
    virtual void SetProgressPos(ControlId id, int pos) = 0;
    virtual void StepProgress(ControlId id) = 0;

    // Rich-edit panes. Positions and lengths count characters.
    virtual void SetReadOnly(ControlId id, bool readOnly) = 0;
    [[nodiscard]] virtual int TextLength(ControlId id) const = 0;
    virtual void SetCaretToEnd(ControlId id) = 0;
    virtual void ReplaceSelection(ControlId id, std::string_view text) = 0;
    [[nodiscard]] virtual int LineCount(ControlId id) const = 0;
    [[nodiscard]] virtual int FirstVisibleLine(ControlId id) const = 0;
    // How many lines the pane shows at once.
    [[nodiscard]] virtual int VisibleLineCount(ControlId id) const = 0;
    virtual void ScrollLines(ControlId id, int lines) = 0;

    // Timer id 1 drives the handshake; ticks come back as the owner's OnTimer.
    virtual void StartTimer(unsigned timerId, unsigned periodMs) = 0;
    virtual void StopTimer(unsigned timerId) = 0;

    // A modal box with an OK button, owned by the main window.
    virtual void MessageBox(std::string_view text) = 0;
    // An owner-less box with a title and the stop icon.
    virtual void ErrorBox(std::string_view title, std::string_view text) = 0;
    // The file-open dialog: no filter, no default extension, no initial name; accepts a name that
    // does not exist yet. Yields the full path, or nothing when cancelled.
    [[nodiscard]] virtual std::optional<std::string> OpenFileDialog() = 0;

    // The program's standard output, which a windowed program does not show.
    virtual void ConsoleOut(std::string_view text) = 0;

    [[nodiscard]] virtual std::uint32_t TickCount() const = 0;
    virtual void Sleep(std::uint32_t ms) = 0;
};

}  // namespace vandrelux::platform
