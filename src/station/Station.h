// The station: every slot runs units without end, one box after another: arm, beacon, wait for
// a box, send the files, record the unit, wait for the line to go quiet, arm again. Slots are
// the ports named and the devices matching the watched globs, which come and go as they appear
// and disappear. SIGINT or SIGTERM lets the units under way finish and starts no new one; a
// second signal abandons them; SIGHUP reopens the units log. Then the totals per slot, and the
// run ends.
#pragma once

#include <string>

#include "station/Events.h"
#include "station/Settings.h"

namespace vandrelux::station {

// Runs the station until a signal ends it; the exit status.
[[nodiscard]] int RunStation(const StationSettings& settings, IRunEvents& events);

}  // namespace vandrelux::station
