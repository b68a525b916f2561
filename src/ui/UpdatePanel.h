// The update-file panel's rules: the receive choice and the download kinds exclude each other,
// and every change of their tick boxes re-arms the transfer for the chosen direction. The
// panel's controls are the state; this class only applies the rule and fills path fields.
//
// Threading: the window thread only.
#pragma once

#include <array>
#include <optional>

#include "protocol/ControlIds.h"
#include "protocol/Transfer.h"
#include "protocol/UpdateKinds.h"
#include "toolkit/Toolkit.h"

namespace vandrelux::ui {

// The download kinds' tick boxes.
inline constexpr auto kDownloadKindBoxes = [] {
    std::array<platform::ControlId, protocol::kUpdateKinds.size()> boxes{};
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        boxes[i] = protocol::kUpdateKinds[i].tickBox;
    }
    return boxes;
}();

// What the receive choice disables: the download kinds and the RAM option.
inline constexpr std::array<platform::ControlId, 6> kExcludedByReceive{
    ids::kIncludeBootstrap, ids::kIncludeSoftware, ids::kIncludeUcode,
    ids::kIncludeLogo,      ids::kDownloadToRam,   ids::kIncludeTvProgram};

struct BrowseRow {
    platform::ControlId button;
    platform::ControlId pathField;
};

inline constexpr std::array<BrowseRow, 6> kBrowseRows{{
    {ids::kReceiveBrowse, ids::kReceivePath},
    {ids::kBootstrapBrowse, ids::kBootstrapPath},
    {ids::kSoftwareBrowse, ids::kSoftwarePath},
    {ids::kUcodeBrowse, ids::kUcodePath},
    {ids::kLogoBrowse, ids::kLogoPath},
    {ids::kTvProgramBrowse, ids::kTvProgramPath},
}};

class CUpdatePanel {
public:
    CUpdatePanel(platform::IToolkit& toolkit, protocol::CTransfer& transfer) noexcept
        : m_toolkit(toolkit), m_transfer(transfer) {}

    // The tick-box rule for the box that changed: disarms everything, drops any transfer under
    // way, then arms the direction the boxes now choose. Any other id only disarms.
    void ArmDirection(platform::ControlId id);

    // A "..." button: the file the operator picks (it may not exist yet) goes into the row's
    // path field; cancelling changes nothing. Returns whether the field was filled.
    bool OnBrowse(platform::ControlId buttonId);

    // Routes the clicks the panel owns: the six handled tick boxes and the six "..." buttons.
    // Returns whether the command was one of them.
    bool OnCommand(int id);

    [[nodiscard]] static std::optional<platform::ControlId> PathFieldOf(
        platform::ControlId buttonId) noexcept;

private:
    platform::IToolkit& m_toolkit;
    protocol::CTransfer& m_transfer;
};

}  // namespace vandrelux::ui
