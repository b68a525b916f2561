#include "os/IniFile.h"

namespace vandrelux::platform {

std::unique_ptr<IIniStore> OpenIniStore(const std::filesystem::path& path) {
    return std::make_unique<IniFile>(path);
}

}  // namespace vandrelux::platform
