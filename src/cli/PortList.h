// --list-ports: every serial device, its driver, the USB adapter behind it and the COM<n>
// names that reach it.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "device/ComPortNames.h"
#include "device/SerialPortInfo.h"

namespace vandrelux::cli {

struct ListedPort {
    platform::SerialPortInfo info;
    std::vector<int> comNumbers;  // every n for which COM<n> resolves to this device
};

// The ports with the COM<n> names that resolve to each, given how COM<n> is resolved here; network
// ports that a COM<n> name or `named` (the --port names) give come last, unconnected.
[[nodiscard]] std::vector<ListedPort> ListPorts(const platform::SystemRoots& roots,
                                                const platform::ComMapping& mapping,
                                                const platform::EnvironmentLookup& getEnv,
                                                const std::vector<std::string>& named = {});

[[nodiscard]] std::string FormatPortTable(const std::vector<ListedPort>& ports);
[[nodiscard]] nlohmann::json PortListJson(const std::vector<ListedPort>& ports);

}  // namespace vandrelux::cli
