// A toolkit whose controls live in memory, addressed by id: the state a dialog's controls would
// hold, with no window. The fake toolkit of the tests and the terminal toolkit of the CLI add
// the rest (boxes, dialogs, clock, timers).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "toolkit/DialogBehaviour.h"
#include "toolkit/Toolkit.h"

namespace vandrelux::platform {

class MemoryToolkit : public virtual IToolkit {
public:
    struct Control {
        std::string text;
        bool enabled = true;
        bool checked = false;
        bool visible = true;
        bool readOnly = false;
        std::vector<std::string> comboItems;
        int comboIndex = -1;
        std::uint16_t rangeLower = 0;
        std::uint16_t rangeUpper = 100;
        int progressPos = 0;
        int firstVisibleLine = 0;
        int visibleLines = 1000;  // a pane with no window shows everything
    };

    [[nodiscard]] std::string GetText(ControlId id) const override;
    void SetText(ControlId id, std::string_view text) override;
    void Enable(ControlId id, bool enable) override;
    [[nodiscard]] bool IsEnabled(ControlId id) const override;
    [[nodiscard]] bool IsChecked(ControlId id) const override;
    void SetChecked(ControlId id, bool checked) override;

    [[nodiscard]] std::vector<ChildWindow> ChildWindowsInZOrder() const override;
    [[nodiscard]] Rect WindowRect() const override;
    void ResizeWindow(int width, int height) override;
    void ShowControl(ControlId id, bool show) override;
    void FocusNextTabStop() override;

    void SetComboItems(ControlId id, const std::vector<std::string>& items) override;
    void SelectComboIndex(ControlId id, int index) override;
    void SelectComboPrefix(ControlId id, std::string_view prefix) override;
    [[nodiscard]] int ComboIndex(ControlId id) const override;

    void SetProgressRange(ControlId id, std::uint16_t lower, std::uint16_t upper) override;
    void SetProgressPos(ControlId id, int pos) override;
    void StepProgress(ControlId id) override;

    void SetReadOnly(ControlId id, bool readOnly) override;
    [[nodiscard]] int TextLength(ControlId id) const override;
    void SetCaretToEnd(ControlId id) override;
    void ReplaceSelection(ControlId id, std::string_view text) override;
    [[nodiscard]] int LineCount(ControlId id) const override;
    [[nodiscard]] int FirstVisibleLine(ControlId id) const override;
    [[nodiscard]] int VisibleLineCount(ControlId id) const override;
    void ScrollLines(ControlId id, int lines) override;

    [[nodiscard]] const Control& At(ControlId id) const;
    void SetChildWindows(std::vector<ChildWindow> children) { m_children = std::move(children); }
    void SetWindowRect(Rect rect) { m_windowRect = rect; }
    void SetVisibleLines(ControlId id, int lines) { Mutable(id).visibleLines = lines; }

    int focusMoves = 0;

private:
    Control& Mutable(ControlId id) { return m_controls[id]; }

    mutable std::map<ControlId, Control> m_controls;
    InsertionCarets m_carets;
    std::vector<ChildWindow> m_children;
    Rect m_windowRect;
};

}  // namespace vandrelux::platform
