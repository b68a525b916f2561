// Questions about folders that both the window and the CLI ask before they write.
#pragma once

#include <filesystem>

namespace vandrelux::platform {

// Whether a file can be created in `folder`, found out by creating (and removing) one: the
// only answer that holds for access rights, read-only mounts and Windows attributes alike.
[[nodiscard]] bool FolderIsWritable(const std::filesystem::path& folder);

}  // namespace vandrelux::platform
