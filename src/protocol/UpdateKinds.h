// The kinds of update file and everything each kind stands for: its value in the sequence, the
// words of its header, its tick box and path field, its settings keys and its name on the
// command line and in reports. Every other place looks a kind up here.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "protocol/ControlIds.h"
#include "toolkit/Toolkit.h"

namespace vandrelux::protocol {

// Download kinds with their wire values; the files go out in the order of kUpdateKinds.
enum class UpdateKind : int {
    Bootstrap = 0,
    Ucode = 1,
    Logo = 2,
    Software = 3,
    EndOfSequence = 4,
    TvProgram = 5,
};

struct UpdateKindInfo {
    UpdateKind kind;
    // Header words; dwMode is 0 and dwReserved 0 for every kind.
    std::uint32_t dwType;
    std::uint32_t dwAddress;
    std::uint32_t dwParam;
    platform::ControlId tickBox;
    platform::ControlId pathField;
    std::string_view tickKey;  // settings file
    std::string_view pathKey;
    std::string_view name;  // the CLI's option (--name), and the kind in events and reports
    std::string_view description;
};

inline constexpr std::array<UpdateKindInfo, 5> kUpdateKinds{{
    {UpdateKind::Bootstrap, 0x00000010, 0x80000000, 0, ids::kIncludeBootstrap, ids::kBootstrapPath,
     "UpdateBootStrap", "BootStrapPath", "bootstrap", "Bootstrap image"},
    {UpdateKind::Ucode, 0x00000100, 0x80070000, 0x00080000, ids::kIncludeUcode, ids::kUcodePath,
     "UpdateUcode", "UcodePath", "ucode", "Microcode image"},
    {UpdateKind::Logo, 0x00100000, 0x80080000, 0, ids::kIncludeLogo, ids::kLogoPath, "UpdateLogo",
     "LogoPath", "logo", "I-frame logo image"},
    {UpdateKind::TvProgram, 0x01000000, 0x800C8000, 0, ids::kIncludeTvProgram, ids::kTvProgramPath,
     "UpdateTvProgram", "TvProgramPath", "tvprogram", "TV programme list"},
    {UpdateKind::Software, 0x00001000, 0x80010000, 0, ids::kIncludeSoftware, ids::kSoftwarePath,
     "UpdateSoftware", "SoftwarePath", "software", "Software image"},
}};

// The software header when "Download to RAM for debugging" is ticked.
inline constexpr std::uint32_t kRamMode = 0x10;
inline constexpr std::uint32_t kRamAddress = 0x10003000;

// The row of `kind`; nothing for the end of the sequence or a value that is no kind.
[[nodiscard]] constexpr const UpdateKindInfo* FindKind(UpdateKind kind) noexcept {
    for (const UpdateKindInfo& info : kUpdateKinds) {
        if (info.kind == kind) {
            return &info;
        }
    }
    return nullptr;
}

// The row of a kind, for tables built at compile time: a value that is no kind does not compile.
[[nodiscard]] consteval const UpdateKindInfo& KindInfo(UpdateKind kind) {
    return *FindKind(kind);
}

}  // namespace vandrelux::protocol
