// Limits of a run the simulated host cannot enforce itself: wall-clock time.
// A run that hangs in the host (a livelock no virtual deadline ends) is
// stopped from outside by a watchdog thread, which names the run and exits.
#pragma once

#include <string>

namespace tolvanex::sim {

// Arms the watchdog for the run now starting: if it is still running
// `seconds` of wall time from now, the process prints "tolvanex-sim: LABEL
// ran past the wall-clock limit of S s", then REPLAY, and exits with
// kWallLimit. Does nothing when `seconds` is 0.
void arm_wall_limit(double seconds, std::string label, std::string replay);
// The run ended in time.
void disarm_wall_limit();

} // namespace tolvanex::sim
