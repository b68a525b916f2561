// An ordinary run: one unit on each port, all at once on one engine thread, each port ending with
// its result. SIGINT or SIGTERM abandons the units under way; a second signal ends the program.
#pragma once

#include <vector>

#include "station/Events.h"
#include "station/Results.h"
#include "station/Settings.h"

namespace vandrelux::station {

// Runs a unit on every port of `settings` and returns each port's result, in their order.
[[nodiscard]] std::vector<PortResult> RunUnits(const RunSettings& settings, IRunEvents& events);

}  // namespace vandrelux::station
