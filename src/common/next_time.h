// Next run time of a scheduling record (schedule keys as described in orvenna_cgi/schedule_record.h).
//
// Frequencies: "once" (schedule_year, schedule_month, the first day of schedule_day, at H:M),
// "daily", "weekly" (schedule_week: JSON list of "monday" ... "sunday"), "monthly" (schedule_day:
// JSON list of days 1-31, as numbers or as texts). Daily, weekly and monthly runs repeat every
// schedule_interval minutes from H:M up to HE:ME of the same day when the interval is above 0.
// Dates are carried over as local-time normalisation does (31 April is 1 May, month 13 is January).
// A monthly day runs once in every month, on the day it carries over to when the month lacks it:
// days 30 and 31 run on 2 and 3 March 2027, and "31 April" and 1 May are one run on 1 May.
//
// Local times come from the process's zone (TZ, else the system's). A wall-clock time that occurs
// twice (the autumn change) is its earlier instant; one that does not occur (the spring change) is
// the first valid time after it. A "once" record with an empty day list, or whose backup_status is
// already "finish" or "abort", has no next run.
#pragma once

#include <ctime>
#include <functional>

struct json_object;

namespace qlm {

// The current time as the computation sees it; read again at each comparison.
using Clock_Fn = std::function<time_t()>;

// Sets next to the first run later than clock(), and returns 0; -61 (no run) leaves next as it was.
int Get_Next_Time_At(json_object* mission, const Clock_Fn& clock, long& next);

// The instant of the local wall-clock time y-mo-d H:M:00 after normalisation, with the rules above
// for times that occur twice or never; -1 when it cannot be represented.
time_t Local_Wall_Time(long y, long mo, long d, long H, long M);

}  // namespace qlm

// Get_Next_Time_At with the system's clock (qlm::Now).
int Get_Next_Time(json_object* mission, long& next);
