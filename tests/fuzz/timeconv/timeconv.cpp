// The date and time parsers: the first line through every parser, the second as a zone name.
#include <cstdlib>
#include <stdexcept>

#include "common/timeconv.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text, zone;
    fuzz::Split_First_Line(data, size, text, zone);
    int64_t calendar = calendar_parse_iso8601(text);
    (void)parseDateToTimestamp(text);
    (void)parseDateToTimestamp(text.c_str());
    int64_t iso = -1;
    try {
        iso = parseISO8601(text);
    } catch (const std::runtime_error&) {
    }
    for (int64_t t : {calendar, iso})
        if (t > 0 && t < (int64_t{1} << 40)) (void)timestamp_to_iso8601(static_cast<time_t>(t));
    std::string out;
    Convert_TimeZone_By_Zoneinfo("/usr/share/zoneinfo", text.c_str(), zone.c_str(), out);
    return 0;
}
