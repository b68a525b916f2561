// Facts about the running program that only the operating system knows.
#pragma once

#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace vandrelux::platform {

// The full path of the program's own executable; empty if the system does not say.
[[nodiscard]] std::string ExecutablePath();

// The folder of this user's own settings, for when the program's folder is not writable:
// $XDG_CONFIG_HOME/vandrelux or ~/.config/vandrelux on POSIX, %APPDATA%\Vandrelux on Windows.
// Empty when the environment, read through `getEnv`, names no absolute folder for it.
[[nodiscard]] std::filesystem::path UserSettingsFolder(
    const std::function<std::optional<std::string>(const char* name)>& getEnv);

// Whether standard error goes to a terminal (a console on Windows) that takes the escape
// sequences redrawn progress lines are made of.
[[nodiscard]] bool StandardErrorIsTerminal();
// Whether standard output goes to that same terminal.
[[nodiscard]] bool StandardOutputSharesTerminal();

// The broken-down UTC time of `seconds` since the epoch.
void UtcTime(std::time_t seconds, std::tm& utc);

// This computer's name on the network; empty when the system does not say.
[[nodiscard]] std::string HostName();

// Writes to a pipe whose reader went away, or past the file-size limit, fail with an error the
// caller reports, instead of ending the program.
void KeepRunningWhenWritesFail();

}  // namespace vandrelux::platform
