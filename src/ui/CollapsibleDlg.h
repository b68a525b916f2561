// A dialog that shrinks to the area of one frame control and grows back, driven by a toggle
// button. While collapsed, every control wholly outside the frame is disabled.
//
// Threading: the window thread only.
#pragma once

#include <optional>
#include <string>

#include "toolkit/Toolkit.h"

namespace vandrelux::ui {

class CCollapsibleDlg {
public:
    struct WindowSize {
        int width = 0;
        int height = 0;
        friend bool operator==(const WindowSize&, const WindowSize&) = default;
    };

    // `toggleButton` false: the button only collapses, and is disabled once expanded.
    CCollapsibleDlg(platform::IToolkit& toolkit, platform::ControlId frameId,
                    platform::ControlId toggleId, std::string collapsedText,
                    std::string expandedText, bool toggleButton);
    virtual ~CCollapsibleDlg() = default;

    CCollapsibleDlg(const CCollapsibleDlg&) = delete;
    CCollapsibleDlg& operator=(const CCollapsibleDlg&) = delete;

    // The class's share of the dialog's initialisation, run first: collapses and expands at
    // once, which records the full size, hides the frame and labels the button. No hooks, no
    // focus change.
    bool InitCollapsible();

    // Returns whether the dialog is now in the wanted state; CanToggle may refuse.
    bool SetExpanded(bool expanded);
    // The change itself, without hooks or focus change.
    void ApplyExpanded(bool expanded);

    // Sees every command of the dialog: a click on the toggle button flips the state. Returns
    // whether it was that click; the command goes on to the ordinary routing either way.
    bool FilterCommand(int id);

    [[nodiscard]] bool IsExpanded() const noexcept { return m_bExpanded; }

protected:
    // Asked before a change with the current state.
    [[nodiscard]] virtual bool CanToggle(bool /*expanded*/) { return true; }
    // Told after a change with the new state.
    virtual void OnToggled(bool /*expanded*/) {}

    std::string m_strCollapsedText;
    std::string m_strExpandedText;
    platform::ControlId m_nFrameId;
    platform::ControlId m_nToggleId;
    bool m_bToggleButton;
    std::optional<WindowSize> m_pFullSize;  // made at the first collapse
    bool m_bExpanded = true;

private:
    [[nodiscard]] std::optional<platform::Rect> ScreenRectOf(platform::ControlId id) const;

    platform::IToolkit& m_toolkit;
};

}  // namespace vandrelux::ui
