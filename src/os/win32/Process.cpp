#include "os/Process.h"

#include <io.h>
#include <windows.h>

#include <array>
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

namespace {

// A console that takes the escape sequences, as those of Windows 10 and later do once asked.
// A pipe, a file, NUL or an older console gets plain lines.
bool EscapeConsole(std::FILE* stream) {
    const int fd = ::_fileno(stream);
    if (fd < 0 || ::_isatty(fd) == 0) {
        return false;
    }
    // The C runtime hands the handle over as an integer.
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || ::GetConsoleMode(handle, &mode) == 0) {
        return false;
    }
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           ::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace

bool StandardErrorIsTerminal() {
    return EscapeConsole(stderr);
}

bool StandardOutputSharesTerminal() {
    // A process has one console at most.
    return EscapeConsole(stdout) && EscapeConsole(stderr);
}

void UtcTime(std::time_t seconds, std::tm& utc) {
    ::gmtime_s(&utc, &seconds);
}

std::string HostName() {
    std::array<char, MAX_COMPUTERNAME_LENGTH + 1> name{};
    DWORD size = static_cast<DWORD>(name.size());
    return ::GetComputerNameA(name.data(), &size) != 0 ? std::string(name.data(), size)
                                                       : std::string();
}

void KeepRunningWhenWritesFail() {
    // Windows has no signal for either: the write fails and says so.
}

}  // namespace vandrelux::platform
