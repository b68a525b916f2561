#include "ui/CollapsibleDlg.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "toolkit/Dialog.h"

namespace vandrelux::ui {
namespace {

// Touching edges do not count, and an empty rectangle meets nothing.
bool Intersects(const platform::Rect& a, const platform::Rect& b) noexcept {
    return std::max(a.left, b.left) < std::min(a.right, b.right) &&
           std::max(a.top, b.top) < std::min(a.bottom, b.bottom);
}

}  // namespace

CCollapsibleDlg::CCollapsibleDlg(platform::IToolkit& toolkit, platform::ControlId frameId,
                                 platform::ControlId toggleId, std::string collapsedText,
                                 std::string expandedText, bool toggleButton)
    : m_strCollapsedText(std::move(collapsedText)),
      m_strExpandedText(std::move(expandedText)),
      m_nFrameId(frameId),
      m_nToggleId(toggleId),
      m_bToggleButton(toggleButton),
      m_toolkit(toolkit) {}

bool CCollapsibleDlg::InitCollapsible() {
    ApplyExpanded(false);
    ApplyExpanded(true);
    return true;
}

bool CCollapsibleDlg::SetExpanded(bool expanded) {
    if (expanded == m_bExpanded) {
        return true;
    }
    if (CanToggle(m_bExpanded)) {
        ApplyExpanded(expanded);
        if (ScreenRectOf(m_nToggleId)) {
            m_toolkit.FocusNextTabStop();
        }
        OnToggled(m_bExpanded);
    }
    return m_bExpanded == expanded;
}

void CCollapsibleDlg::ApplyExpanded(bool expanded) {
    if (expanded == m_bExpanded) {
        return;
    }
    const std::optional<platform::Rect> frame = ScreenRectOf(m_nFrameId);
    if (!frame || !ScreenRectOf(m_nToggleId)) {
        return;
    }

    // Nothing remembers the earlier enabled state: expanding enables every one of them.
    for (const platform::ChildWindow& child : m_toolkit.ChildWindowsInZOrder()) {
        // Labels and group boxes without an id cannot be addressed, and show no state anyway.
        if (child.id != platform::kNoId && !Intersects(child.screenRect, *frame)) {
            m_toolkit.Enable(child.id, expanded);
        }
    }

    if (expanded) {
        if (m_pFullSize) {
            m_toolkit.ResizeWindow(m_pFullSize->width, m_pFullSize->height);
        }
        if (m_bToggleButton) {
            m_toolkit.SetText(m_nToggleId, m_strExpandedText);
        } else {
            m_toolkit.Enable(m_nToggleId, false);
        }
        m_bExpanded = true;
    } else {
        const platform::Rect window = m_toolkit.WindowRect();
        if (!m_pFullSize) {
            m_pFullSize = WindowSize{window.Width(), window.Height()};
            m_toolkit.ShowControl(m_nFrameId, false);
        }
        // The dialog then ends exactly at the frame's bottom-right corner.
        m_toolkit.ResizeWindow(frame->right - window.left, frame->bottom - window.top);
        m_toolkit.SetText(m_nToggleId, m_strCollapsedText);
        m_bExpanded = false;
    }
}

bool CCollapsibleDlg::FilterCommand(int id) {
    if (id != m_nToggleId) {
        return false;
    }
    SetExpanded(!m_bExpanded);
    return true;
}

std::optional<platform::Rect> CCollapsibleDlg::ScreenRectOf(platform::ControlId id) const {
    const std::vector<platform::ChildWindow> children = m_toolkit.ChildWindowsInZOrder();
    const auto it = std::find_if(children.begin(), children.end(),
                                 [id](const platform::ChildWindow& c) { return c.id == id; });
    if (it == children.end()) {
        return std::nullopt;
    }
    return it->screenRect;
}

}  // namespace vandrelux::ui
