// A toolkit with no window: keeps each control's state by id, records message boxes, answers
// file dialogs from a script and has a clock that only moves when told (or slept on).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Toolkit.h"

namespace vandrelux::platform {

class FakeToolkit final : public IToolkit {
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
        int caret = 0;
        int firstVisibleLine = 0;
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
    void ScrollLines(ControlId id, int lines) override;

    void StartTimer(unsigned timerId, unsigned periodMs) override;
    void StopTimer(unsigned timerId) override;

    void MessageBox(std::string_view text) override;
    void ErrorBox(std::string_view title, std::string_view text) override;
    [[nodiscard]] std::optional<std::string> OpenFileDialog() override;
    void ConsoleOut(std::string_view text) override;

    [[nodiscard]] std::uint32_t TickCount() const override { return m_dwNow; }
    void Sleep(std::uint32_t ms) override;

    // Test side.
    [[nodiscard]] const Control& At(ControlId id) const;
    void Advance(std::uint32_t ms) { m_dwNow += ms; }
    void SetNow(std::uint32_t ms) { m_dwNow = ms; }
    void AnswerFileDialog(std::optional<std::string> answer) {
        m_fileAnswers.push_back(std::move(answer));
    }
    void SetChildWindows(std::vector<ChildWindow> children) { m_children = std::move(children); }
    void SetWindowRect(Rect rect) { m_windowRect = rect; }

    std::vector<std::string> messageBoxes;
    std::vector<std::pair<std::string, std::string>> errorBoxes;
    std::vector<std::uint32_t> sleeps;
    std::map<unsigned, unsigned> runningTimers;  // id -> period
    std::string console;
    int fileDialogsShown = 0;
    int focusMoves = 0;

private:
    Control& Mutable(ControlId id) { return m_controls[id]; }

    mutable std::map<ControlId, Control> m_controls;
    std::deque<std::optional<std::string>> m_fileAnswers;
    std::vector<ChildWindow> m_children;
    Rect m_windowRect;
    std::uint32_t m_dwNow = 0;
};

}  // namespace vandrelux::platform
