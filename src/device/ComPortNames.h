// Turns the COM<n> port numbers the operator picks into device paths of this machine.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandrelux::platform {

// "COM3" (any case) gives 3; anything else, or a number outside 1..255, gives nothing.
[[nodiscard]] std::optional<int> ParseComName(std::string_view name);

// Paths the operator named on the command line (--com1, --com2), by port number.
struct ComMapping {
    std::map<int, std::string> explicitPaths;
};

using EnvironmentLookup = std::function<std::optional<std::string>(const std::string&)>;

// The device for port n: the explicit mapping, else the variable VANDRELUX_COM<n>, else the
// n-th of `usbAdapters`, else SystemComDevice(n). Empty paths count as unset. A number below 1
// gives an empty path, which no open accepts.
[[nodiscard]] std::string ResolveComPort(int n, const ComMapping& mapping,
                                         const EnvironmentLookup& getEnv,
                                         const std::vector<std::string>& usbAdapters);

// The system's own name for port n: /dev/ttyS<n-1> on Linux, \\.\COM<n> on Windows.
[[nodiscard]] std::string SystemComDevice(int n);

// The USB serial adapters in devDir: every ttyUSB<k> by number, then every ttyACM<k>. Windows
// names its adapters COM<n> itself, so there the list is empty.
[[nodiscard]] std::vector<std::string> ListUsbSerialAdapters(const std::string& devDir = "/dev");

// ResolveComPort with the process environment and the adapters in /dev.
[[nodiscard]] std::string ResolveComPort(int n, const ComMapping& mapping);

}  // namespace vandrelux::platform
