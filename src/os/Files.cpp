#include "os/Files.h"

#include <fstream>
#include <system_error>

namespace vandrelux::platform {

bool FolderIsWritable(const std::filesystem::path& folder) {
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        return false;
    }
    const std::filesystem::path probe = folder / ".Vandrelux.ini.probe";
    {
        std::ofstream out(probe, std::ios::binary | std::ios::app);
        if (!out) {
            return false;
        }
    }
    std::filesystem::remove(probe, ec);
    return true;
}

}  // namespace vandrelux::platform
