// Where the simulated box keeps the images it accepted: one file per kind, named from the
// image's type word.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "boxsim/BoxModel.h"

namespace vandrelux::boxsim {

struct ImageKind {
    std::string kind;  // "bootstrap", ..., or "unknown"
    std::string file;  // a plain file name, never a path
};

[[nodiscard]] ImageKind KindOf(std::uint32_t type);

// Writes through a temporary file and renames it, so a reader never sees half an image.
// Returns an empty string on success, else the reason.
[[nodiscard]] std::string WriteImage(const std::filesystem::path& dir, const StoredImage& image);

}  // namespace vandrelux::boxsim
