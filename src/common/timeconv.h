// Conversions between Google's date texts and seconds since 1970 (UTC).
// None keeps state; Convert_TimeZone_By_Zoneinfo changes TZ and TZDIR for the length of one call
// and restores them, so it must not run beside other threads that read the time zone.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// A calendar start or end: "...Z", "...+hh:mm" / "...-hh:mm" (optional ".digits" after the
// seconds), or a bare date "YYYY-MM-DD", which is local midnight of that day. -1 when unreadable.
int64_t calendar_parse_iso8601(const std::string& datetime);

// A mail Date header such as "Sun, 10 Mar 2024 16:30:15 +0800", old forms included: weekday and
// seconds optional, two-digit years 00-49 as 20xx and 50-99 as 19xx, three-digit years from 1900,
// the US zone names, comments and folds anywhere. -1 for NULL, empty or unreadable text. An
// unknown or out-of-range zone word (the military letters too) counts as offset 0.
int64_t parseDateToTimestamp(const char* pszDateTime);
int64_t parseDateToTimestamp(const std::string& datetime_str);

// "YYYY-MM-DDTHH:MM:SS[.digits]Z" as a whole; anything else throws
// std::runtime_error("Failed to parse date: " + datetime).
int64_t parseISO8601(std::string datetime);

// Local date-time with its offset, e.g. "2024-03-10T16:30:15+08:00"; empty for t <= 0 or failure.
std::string timestamp_to_iso8601(time_t t);

// Writes the wall time of the zone pszDstTimeZone (a zone file under pszZoneinfoRoot) at the
// instant pszSrcDateTime ("...Z" or "...+hh:mm") into strOutDateTime, with its offset. Leaves
// strOutDateTime unchanged on any failure, including a zone name that is absolute, has a ".."
// component or names no regular file under the root. TZ and TZDIR are restored exactly.
void Convert_TimeZone_By_Zoneinfo(const char* pszZoneinfoRoot, const char* pszSrcDateTime,
                                  const char* pszDstTimeZone, std::string& strOutDateTime);

// The fourteen-digit local time stamp "%Y%m%d%H%M%S" of the system clock (qlm::Now) that names a
// file sent to the browser or written into an export; empty when the local time cannot be had.
namespace qlm {
std::string GetCurrentDateTimeString();
}  // namespace qlm
