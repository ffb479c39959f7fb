// The one clock and the one deliberate sleep of the system, with the test-only knobs.
// The knobs are honoured only under a test root (QLM_ROOT):
//   QLM_FIXED_TIME=<epoch seconds>  the clock reads this instant
//   QLM_SLEEP_SCALE=<factor>        deliberate sleeps (retry pauses, daemon sleeps) are multiplied by it
//   QLM_TOOL_TIMEOUT=<seconds>      replaces the tools' time-out
#pragma once

#include <ctime>

namespace qlm {

// Seconds since 1970: the real time, or the fixed instant under a test root.
time_t Now();
// Sleeps a deliberate pause of the given seconds (scaled under a test root); returns early on a signal.
void Sleep_Seconds(double seconds);
// The time-out in seconds for a tool run whose normal time-out is `normal`.
int Tool_Timeout_Sec(int normal);

}  // namespace qlm
