// The one clock and the one deliberate sleep of the system, with the test-only knobs.
// The knobs are honoured only under a test root (QLM_ROOT):
//   QLM_FIXED_TIME=<epoch seconds>  the clock reads this instant
//   QLM_TIME_OFFSET=<seconds>       the clock runs on, this many seconds (maybe negative) ahead of
//                                   the real time; QLM_FIXED_TIME wins when both are set
//   QLM_SLEEP_SCALE=<factor>        deliberate pauses (retry pauses) are multiplied by it; the
//                                   scheduler daemon's sleeps until a clock time are not
//   QLM_TOOL_TIMEOUT=<seconds>      replaces the tools' time-out
#pragma once

#include <ctime>

namespace qlm {

// Seconds since 1970: the real time, or under a test root the fixed instant or the shifted time.
time_t Now();
// Sleeps a deliberate pause of the given seconds (scaled under a test root); returns early on a signal.
void Sleep_Seconds(double seconds);
// The time-out in seconds for a tool run whose normal time-out is `normal`.
int Tool_Timeout_Sec(int normal);

}  // namespace qlm
