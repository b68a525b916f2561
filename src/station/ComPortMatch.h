// Which of the system's COM ports a station's --watch globs take. Windows names its ports
// itself, so a glob may name a port by its COM name (COM*, COM1?), by the name the device
// manager shows ("USB Serial Port (COM*)") or by where its adapter sits (Port_#0002.Hub_#*).
// Names are compared without regard to case, as Windows compares them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "device/SerialPortInfo.h"

namespace vandrelux::station {

// Whether `glob` (*, ?, and [...] sets with ranges and a leading !) matches all of `text`,
// letters of either case counting as one.
[[nodiscard]] bool GlobMatchesIgnoringCase(std::string_view glob, std::string_view text);

// The devices of the ports that some glob matches by COM name, device, friendly name or
// location, each once, in the order of `ports`.
[[nodiscard]] std::vector<std::string> MatchComPorts(
    const std::vector<std::string>& globs, const std::vector<platform::SerialPortInfo>& ports);

}  // namespace vandrelux::station
