#include "platform/Process.h"

#include <io.h>
#include <windows.h>

#include <cstdio>
#include <vector>

namespace vandrelux::platform {

std::string ExecutablePath() {
    // The call cuts a long path to the buffer without saying so beyond filling it up.
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
        std::vector<char> path(size);
        const DWORD length = ::GetModuleFileNameA(nullptr, path.data(), size);
        if (length == 0) {
            return {};
        }
        if (length < size) {
            return std::string(path.data(), length);
        }
    }
    return {};
}

std::filesystem::path UserSettingsFolder(
    const std::function<std::optional<std::string>(const char* name)>& getEnv) {
    const std::optional<std::string> appData = getEnv("APPDATA");
    if (!appData || !std::filesystem::path(*appData).is_absolute()) {
        return {};
    }
    return std::filesystem::path(*appData) / "Vandrelux";
}

bool StandardErrorIsTerminal() {
    return ::_isatty(::_fileno(stderr)) != 0;
}

bool StandardOutputIsTerminal() {
    return ::_isatty(::_fileno(stdout)) != 0;
}

}  // namespace vandrelux::platform
