#include "os/Process.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <csignal>

namespace vandrelux::platform {

std::string ExecutablePath() {
    std::array<char, 4096> path{};
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    return n > 0 ? std::string(path.data(), static_cast<std::size_t>(n)) : std::string();
}

std::filesystem::path UserSettingsFolder(
    const std::function<std::optional<std::string>(const char* name)>& getEnv) {
    // A relative $XDG_CONFIG_HOME is not valid under the XDG base-directory rules: ignored.
    if (const std::optional<std::string> xdg = getEnv("XDG_CONFIG_HOME");
        xdg && std::filesystem::path(*xdg).is_absolute()) {
        return std::filesystem::path(*xdg) / "vandrelux";
    }
    if (const std::optional<std::string> home = getEnv("HOME"); home && !home->empty()) {
        return std::filesystem::path(*home) / ".config" / "vandrelux";
    }
    return {};
}

bool StandardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO) != 0;
}

bool StandardOutputSharesTerminal() {
    struct stat out {};
    struct stat err {};
    return ::isatty(STDOUT_FILENO) != 0 && ::isatty(STDERR_FILENO) != 0 &&
           ::fstat(STDOUT_FILENO, &out) == 0 && ::fstat(STDERR_FILENO, &err) == 0 &&
           out.st_rdev == err.st_rdev;
}

void UtcTime(std::time_t seconds, std::tm& utc) {
    ::gmtime_r(&seconds, &utc);
}

std::string HostName() {
    std::array<char, 256> name{};
    return ::gethostname(name.data(), name.size() - 1) == 0 ? std::string(name.data())
                                                            : std::string();
}

void KeepRunningWhenWritesFail() {
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
}

}  // namespace vandrelux::platform
