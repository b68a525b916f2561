#include "platform/fake/FakeToolkit.h"

#include <algorithm>

namespace vandrelux::platform {

std::string FakeToolkit::GetText(ControlId id) const { return At(id).text; }

void FakeToolkit::SetText(ControlId id, std::string_view text) {
    Control& c = Mutable(id);
    c.text = std::string(text);
    c.caret = std::min(c.caret, static_cast<int>(c.text.size()));
}

void FakeToolkit::Enable(ControlId id, bool enable) { Mutable(id).enabled = enable; }
bool FakeToolkit::IsEnabled(ControlId id) const { return At(id).enabled; }
bool FakeToolkit::IsChecked(ControlId id) const { return At(id).checked; }
void FakeToolkit::SetChecked(ControlId id, bool checked) { Mutable(id).checked = checked; }

std::vector<ChildWindow> FakeToolkit::ChildWindowsInZOrder() const { return m_children; }
Rect FakeToolkit::WindowRect() const { return m_windowRect; }

void FakeToolkit::ResizeWindow(int width, int height) {
    m_windowRect.right = m_windowRect.left + width;
    m_windowRect.bottom = m_windowRect.top + height;
}

void FakeToolkit::ShowControl(ControlId id, bool show) { Mutable(id).visible = show; }
void FakeToolkit::FocusNextTabStop() { ++focusMoves; }

void FakeToolkit::SetComboItems(ControlId id, const std::vector<std::string>& items) {
    Control& c = Mutable(id);
    c.comboItems = items;
    c.comboIndex = -1;
}

void FakeToolkit::SelectComboIndex(ControlId id, int index) {
    Control& c = Mutable(id);
    c.comboIndex = (index >= 0 && index < static_cast<int>(c.comboItems.size())) ? index : -1;
}

void FakeToolkit::SelectComboPrefix(ControlId id, std::string_view prefix) {
    Control& c = Mutable(id);
    const auto it = std::find_if(c.comboItems.begin(), c.comboItems.end(),
                                 [&](const std::string& item) { return item.starts_with(prefix); });
    c.comboIndex = it == c.comboItems.end() ? -1 : static_cast<int>(it - c.comboItems.begin());
}

int FakeToolkit::ComboIndex(ControlId id) const { return At(id).comboIndex; }

void FakeToolkit::SetProgressRange(ControlId id, std::uint16_t lower, std::uint16_t upper) {
    Control& c = Mutable(id);
    c.rangeLower = lower;
    c.rangeUpper = upper;
}

void FakeToolkit::SetProgressPos(ControlId id, int pos) { Mutable(id).progressPos = pos; }
void FakeToolkit::StepProgress(ControlId id) { ++Mutable(id).progressPos; }

void FakeToolkit::SetReadOnly(ControlId id, bool readOnly) { Mutable(id).readOnly = readOnly; }
int FakeToolkit::TextLength(ControlId id) const { return static_cast<int>(At(id).text.size()); }

void FakeToolkit::SetCaretToEnd(ControlId id) {
    Control& c = Mutable(id);
    c.caret = static_cast<int>(c.text.size());
}

void FakeToolkit::ReplaceSelection(ControlId id, std::string_view text) {
    Control& c = Mutable(id);
    c.text.insert(static_cast<std::size_t>(c.caret), text);
    c.caret += static_cast<int>(text.size());
}

int FakeToolkit::LineCount(ControlId id) const {
    const std::string& t = At(id).text;
    return 1 + static_cast<int>(std::count(t.begin(), t.end(), '\n'));
}

int FakeToolkit::FirstVisibleLine(ControlId id) const { return At(id).firstVisibleLine; }

void FakeToolkit::ScrollLines(ControlId id, int lines) {
    Control& c = Mutable(id);
    c.firstVisibleLine = std::clamp(c.firstVisibleLine + lines, 0, LineCount(id) - 1);
}

void FakeToolkit::StartTimer(unsigned timerId, unsigned periodMs) {
    runningTimers[timerId] = periodMs;
}

void FakeToolkit::StopTimer(unsigned timerId) { runningTimers.erase(timerId); }

void FakeToolkit::MessageBox(std::string_view text) { messageBoxes.emplace_back(text); }

void FakeToolkit::ErrorBox(std::string_view title, std::string_view text) {
    errorBoxes.emplace_back(std::string(title), std::string(text));
}

std::optional<std::string> FakeToolkit::OpenFileDialog() {
    ++fileDialogsShown;
    if (m_fileAnswers.empty()) {
        return std::nullopt;
    }
    std::optional<std::string> answer = std::move(m_fileAnswers.front());
    m_fileAnswers.pop_front();
    return answer;
}

void FakeToolkit::ConsoleOut(std::string_view text) { console.append(text); }

void FakeToolkit::Sleep(std::uint32_t ms) {
    sleeps.push_back(ms);
    m_dwNow += ms;
}

const FakeToolkit::Control& FakeToolkit::At(ControlId id) const { return m_controls[id]; }

}  // namespace vandrelux::platform
