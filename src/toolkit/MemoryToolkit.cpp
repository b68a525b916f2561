#include "toolkit/MemoryToolkit.h"

#include <algorithm>

namespace vandrelux::platform {

std::string MemoryToolkit::GetText(ControlId id) const {
    return At(id).text;
}

void MemoryToolkit::SetText(ControlId id, std::string_view text) {
    Control& c = Mutable(id);
    c.text = std::string(text);
    m_carets.TextReplaced(id, static_cast<int>(c.text.size()));
}

void MemoryToolkit::Enable(ControlId id, bool enable) {
    Mutable(id).enabled = enable;
}
bool MemoryToolkit::IsEnabled(ControlId id) const {
    return At(id).enabled;
}
bool MemoryToolkit::IsChecked(ControlId id) const {
    return At(id).checked;
}
void MemoryToolkit::SetChecked(ControlId id, bool checked) {
    Mutable(id).checked = checked;
}

std::vector<ChildWindow> MemoryToolkit::ChildWindowsInZOrder() const {
    return m_children;
}
Rect MemoryToolkit::WindowRect() const {
    return m_windowRect;
}

void MemoryToolkit::ResizeWindow(int width, int height) {
    m_windowRect.right = m_windowRect.left + width;
    m_windowRect.bottom = m_windowRect.top + height;
}

void MemoryToolkit::ShowControl(ControlId id, bool show) {
    Mutable(id).visible = show;
}
void MemoryToolkit::FocusNextTabStop() {
    ++focusMoves;
}

void MemoryToolkit::SetComboItems(ControlId id, const std::vector<std::string>& items) {
    Control& c = Mutable(id);
    c.comboItems = items;
    c.comboIndex = -1;
}

void MemoryToolkit::SelectComboIndex(ControlId id, int index) {
    Control& c = Mutable(id);
    c.comboIndex = (index >= 0 && index < static_cast<int>(c.comboItems.size())) ? index : -1;
    if (c.comboIndex >= 0) {
        c.text = c.comboItems[static_cast<std::size_t>(c.comboIndex)];
    }
}

void MemoryToolkit::SelectComboPrefix(ControlId id, std::string_view prefix) {
    Control& c = Mutable(id);
    const auto it = std::find_if(c.comboItems.begin(), c.comboItems.end(),
                                 [&](const std::string& item) { return item.starts_with(prefix); });
    c.comboIndex = it == c.comboItems.end() ? -1 : static_cast<int>(it - c.comboItems.begin());
    if (c.comboIndex >= 0) {
        c.text = *it;
    }
}

int MemoryToolkit::ComboIndex(ControlId id) const {
    return At(id).comboIndex;
}

void MemoryToolkit::SetProgressRange(ControlId id, std::uint16_t lower, std::uint16_t upper) {
    Control& c = Mutable(id);
    c.rangeLower = lower;
    c.rangeUpper = upper;
}

void MemoryToolkit::SetProgressPos(ControlId id, int pos) {
    Mutable(id).progressPos = pos;
}
void MemoryToolkit::StepProgress(ControlId id) {
    ++Mutable(id).progressPos;
}

void MemoryToolkit::SetReadOnly(ControlId id, bool readOnly) {
    Mutable(id).readOnly = readOnly;
}
int MemoryToolkit::TextLength(ControlId id) const {
    return static_cast<int>(At(id).text.size());
}

void MemoryToolkit::SetCaretToEnd(ControlId id) {
    m_carets.MoveTo(id, TextLength(id));
}

void MemoryToolkit::ReplaceSelection(ControlId id, std::string_view text) {
    Control& c = Mutable(id);
    const int at = m_carets.InsertionPoint(id, static_cast<int>(c.text.size()));
    c.text.insert(static_cast<std::size_t>(at), text);
    m_carets.MoveTo(id, at + static_cast<int>(text.size()));
}

int MemoryToolkit::LineCount(ControlId id) const {
    const std::string& t = At(id).text;
    return 1 + static_cast<int>(std::count(t.begin(), t.end(), '\n'));
}

int MemoryToolkit::FirstVisibleLine(ControlId id) const {
    return At(id).firstVisibleLine;
}

int MemoryToolkit::VisibleLineCount(ControlId id) const {
    return At(id).visibleLines;
}

void MemoryToolkit::ScrollLines(ControlId id, int lines) {
    Control& c = Mutable(id);
    c.firstVisibleLine = std::clamp(c.firstVisibleLine + lines, 0, LineCount(id) - 1);
}

const MemoryToolkit::Control& MemoryToolkit::At(ControlId id) const {
    return m_controls[id];
}

}  // namespace vandrelux::platform
