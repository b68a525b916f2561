#include "ui/UpdatePanel.h"

#include <algorithm>
#include <string>

namespace vandrelux::ui {
namespace {

bool IsDownloadKind(platform::ControlId id) noexcept {
    return std::find(kDownloadKindBoxes.begin(), kDownloadKindBoxes.end(), id) !=
           kDownloadKindBoxes.end();
}

}  // namespace

void CUpdatePanel::ArmDirection(platform::ControlId id) {
    m_transfer.ChooseDirection(protocol::Mode::None);
    m_toolkit.Enable(ids::kToSend, false);
    m_toolkit.Enable(ids::kToReceive, false);
    m_transfer.ResetTransfer();

    if (id == ids::kReceiveAll) {
        const bool receive = m_toolkit.IsChecked(ids::kReceiveAll);
        for (const platform::ControlId box : kExcludedByReceive) {
            m_toolkit.Enable(box, !receive);
        }
        if (receive) {
            m_toolkit.Enable(ids::kToReceive, true);
            m_transfer.ChooseDirection(protocol::Mode::Receive);
            m_transfer.ArmReceiveChoice();
        }
    } else if (IsDownloadKind(id)) {
        const bool anyKind =
            std::any_of(kDownloadKindBoxes.begin(), kDownloadKindBoxes.end(),
                        [this](platform::ControlId box) { return m_toolkit.IsChecked(box); });
        m_toolkit.Enable(ids::kReceiveAll, !anyKind);
        if (anyKind) {
            m_toolkit.Enable(ids::kToSend, true);
            m_transfer.ChooseDirection(protocol::Mode::Download);
            m_transfer.ArmDownload();
        }
    }
}

bool CUpdatePanel::OnBrowse(platform::ControlId buttonId) {
    const std::optional<platform::ControlId> field = PathFieldOf(buttonId);
    if (!field) {
        return false;
    }
    const std::optional<std::string> chosen = m_toolkit.OpenFileDialog();
    if (!chosen) {
        return false;
    }
    m_toolkit.SetText(*field, *chosen);
    return true;
}

bool CUpdatePanel::OnCommand(int id) {
    if (id == ids::kReceiveAll || IsDownloadKind(id)) {
        ArmDirection(id);
        return true;
    }
    if (PathFieldOf(id)) {
        static_cast<void>(OnBrowse(id));
        return true;
    }
    return false;
}

std::optional<platform::ControlId> CUpdatePanel::PathFieldOf(
    platform::ControlId buttonId) noexcept {
    for (const BrowseRow& row : kBrowseRows) {
        if (row.button == buttonId) {
            return row.pathField;
        }
    }
    return std::nullopt;
}

}  // namespace vandrelux::ui
