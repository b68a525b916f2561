// What the command line makes of a run before and around it: the checks that refuse it early,
// the settings of a run or a station, and what an operator is told when a port will not open.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/Console.h"
#include "cli/Options.h"
#include "cli/Report.h"
#include "device/SerialDevice.h"
#include "station/Settings.h"

namespace vandrelux::cli {

// Finds what would make the run fail only after the box has done its part: a file to send that
// cannot be read, a target that cannot be written or that is the working copy "rv.bin".
[[nodiscard]] std::optional<std::string> CheckFiles(const Options& options);

// Why `path` cannot be written as a new file, if it cannot.
[[nodiscard]] std::optional<std::string> CheckWritable(const std::string& path);

// What an ordinary run of `options` is to do.
[[nodiscard]] station::RunSettings RunSettingsOf(const Options& options);
// What the station of `options` is to do.
[[nodiscard]] station::StationSettings StationSettingsOf(const Options& options);

// Tells the operator why `device`, port `index`, did not open and what the set-up checks find.
// A network port is not connected to a second time: its open's own error says enough.
void ReportOpenFailure(CConsole& console, std::size_t index, const std::string& device,
                       const Options& options, const platform::SystemError& error);

}  // namespace vandrelux::cli
