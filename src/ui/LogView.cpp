#include "ui/LogView.h"

#include <algorithm>
#include <cstddef>
#include <string>

namespace vandrelux::ui {
namespace {

// Drops the oldest text in steps of kLogTrim until the pane is below the limit again; one step
// for anything the transfer writes, more only for an append longer than a step.
void TrimIfFull(platform::IToolkit& toolkit, platform::ControlId id) {
    const int length = toolkit.TextLength(id);
    if (length < kLogLimit) {
        return;
    }
    const int steps = (length - kLogLimit) / kLogTrim + 1;
    const auto drop = static_cast<std::size_t>(steps) * kLogTrim;
    const std::string text = toolkit.GetText(id);
    const auto droppedLines = static_cast<int>(
        std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(drop), '\n'));
    const int firstVisible = toolkit.FirstVisibleLine(id);
    toolkit.SetText(id, std::string_view(text).substr(drop));
    // Keep the lines that were in view there, whatever the control does with a new text.
    const int wanted = std::max(0, firstVisible - droppedLines);
    toolkit.ScrollLines(id, wanted - toolkit.FirstVisibleLine(id));
}

void KeepLastLinesInView(platform::IToolkit& toolkit, platform::ControlId id, int lines) {
    // A pane that shows fewer lines than that would keep the newest ones out of sight.
    lines = std::min(lines, toolkit.VisibleLineCount(id));
    const int excess = toolkit.LineCount(id) - toolkit.FirstVisibleLine(id) - lines;
    if (excess > 0) {
        toolkit.ScrollLines(id, excess);
    }
}

}  // namespace

void CLogView::OnCreate() {
    m_toolkit.SetReadOnly(m_id, true);
}

void CLogView::AppendChar(char ch) {
    m_toolkit.SetCaretToEnd(m_id);
    if (ch != '\r' && ch != '\x06' && ch != '\x15' && ch != '\x19') {
        m_toolkit.ReplaceSelection(m_id, std::string_view(&ch, 1));
    }
    TrimIfFull(m_toolkit, m_id);
    if (ch == '\n') {
        KeepLastLinesInView(m_toolkit, m_id, kTerminalLinesInView);
    }
}

void CInfoView::AppendText(std::string_view text) {
    m_toolkit.SetCaretToEnd(m_id);
    m_toolkit.ReplaceSelection(m_id, text);
    TrimIfFull(m_toolkit, m_id);
    KeepLastLinesInView(m_toolkit, m_id, kMessageLinesInView);
}

}  // namespace vandrelux::ui
