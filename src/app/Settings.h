// The operator's choices kept between runs: the update-file panel's tick boxes and paths and
// the COM port, in section "Setting" of Vandrelux.ini. The controls themselves hold the
// settings while the program runs; these functions only move them to and from the file.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "os/IniFile.h"
#include "toolkit/Toolkit.h"

namespace vandrelux::app {

inline constexpr std::string_view kSettingsSection = "Setting";
inline constexpr std::string_view kSettingsFileName = "Vandrelux.ini";
// Paths travel through buffers of this size, so a path keeps at most 255 characters.
inline constexpr std::size_t kPathBufferSize = 256;

// Fills the panel's tick boxes and path fields and the zero-based port index. With the receive
// choice stored, the five download kinds start unticked whatever the file says.
void LoadSettings(const platform::IIniStore& ini, platform::IToolkit& toolkit, int& portIndex);

// Writes all 14 keys from the controls, whether or not anything changed. A failed write is
// not reported: the program is closing and has no one to tell.
void SaveSettings(platform::IIniStore& ini, const platform::IToolkit& toolkit, int portIndex);

// What SettingsPath asks of the system, replaceable in tests.
struct SettingsEnvironment {
    std::function<bool(const std::filesystem::path& folder)> isWritable;
    std::function<std::optional<std::string>(const char* name)> getEnv;
    std::function<bool(const std::filesystem::path& folder)> createFolder;
};

// The real system: writability by creating a probe file, getenv, create_directories.
[[nodiscard]] SettingsEnvironment SystemEnvironment();

// Vandrelux.ini beside the executable when that folder is writable, else in the user's own
// settings folder (platform::UserSettingsFolder: $XDG_CONFIG_HOME/vandrelux/ or
// %APPDATA%\Vandrelux\, created when needed), so a system install keeps the operator's
// choices. Never truncated: the name always stays Vandrelux.ini, and it is never the executable
// itself.
[[nodiscard]] std::string SettingsPath(const std::string& executablePath,
                                       const SettingsEnvironment& environment);
[[nodiscard]] std::string SettingsPath(const std::string& executablePath);

}  // namespace vandrelux::app
