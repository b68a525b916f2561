// Station mode: every slot runs units without end, one box after another: arm, beacon, wait for
// a box, send the files, record the unit, wait for the line to go quiet, arm again. Slots are
// the --port lines and the devices matching --watch globs, which come and go as they appear and
// disappear. SIGINT or SIGTERM lets the units under way finish and starts no new one; a second
// signal abandons them. Then the totals per slot, and the run ends.
#pragma once

#include <string>

#include "cli/Console.h"
#include "cli/Options.h"

namespace vandrelux::cli {

// Runs the station until a signal ends it; the exit status.
[[nodiscard]] int RunStation(const Options& options, CConsole& console);

}  // namespace vandrelux::cli
