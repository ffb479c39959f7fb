#include "common/next_time.h"

#include <json-c/json.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "common/clock.h"
#include "plat_json.h"

namespace qlm {

namespace {

// Far beyond any calendar field, small enough that sums of fields stay inside an int.
constexpr long kFieldLimit = 100000000L;

// The leading decimal number of a text: blanks and a sign may lead, reading stops at the first
// other character, no digits (or no text) give 0. Held within +-kFieldLimit.
long Number(const char* text) {
    if (text == nullptr) return 0;
    while (isspace(static_cast<unsigned char>(*text))) ++text;
    bool negative = *text == '-';
    if (*text == '+' || *text == '-') ++text;
    long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = std::min(kFieldLimit, value * 10 + (*text - '0'));
    return negative ? -value : value;
}

// A key read as text; a JSON number counts as its decimal text. False when absent or null.
bool Key_Text(json_object* rec, const char* key, std::string& out) {
    json_object* v = nullptr;
    if (!json_object_object_get_ex(rec, key, &v) || v == nullptr) return false;
    switch (json_object_get_type(v)) {
        case json_type_string:
            out = json_object_get_string(v);
            return true;
        case json_type_int:
            out = std::to_string(json_object_get_int64(v));
            return true;
        case json_type_double:
            out = std::to_string(static_cast<long long>(json_object_get_double(v)));
            return true;
        default:
            return false;
    }
}

long Key_Number(json_object* rec, const char* key) {
    std::string text;
    return Key_Text(rec, key, text) ? Number(text.c_str()) : 0;
}

// The list that the key's text holds as JSON; nullptr when the key is absent or no list.
RAIIful_Json Key_List(json_object* rec, const char* key) {
    std::string text;
    if (!Key_Text(rec, key, text)) return RAIIful_Json();
    RAIIful_Json list(json_tokener_parse(text.c_str()));
    if (!list || !json_object_is_type(list.get(), json_type_array)) return RAIIful_Json();
    return list;
}

// A list element as a number: a JSON number, or the leading number of a text; 0 otherwise.
long Element_Number(json_object* e) {
    switch (json_object_get_type(e)) {
        case json_type_string:
            return Number(json_object_get_string(e));
        case json_type_int:
            return std::clamp<int64_t>(json_object_get_int64(e), -kFieldLimit, kFieldLimit);
        case json_type_double:
            return std::clamp<long>(static_cast<long>(std::clamp(json_object_get_double(e), -1e8, 1e8)),
                                    -kFieldLimit, kFieldLimit);
        default:
            return 0;
    }
}

bool Same_Wall(const struct tm& a, const struct tm& b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
           a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

// The earliest instant whose local time is exactly the (normalised) wall time; false when the
// wall time does not occur. mktime alone picks one of two instants depending on its history, so
// every reading is tried, and instants an offset change earlier are probed as well.
bool Earliest_Instant(const struct tm& wall, time_t& out) {
    bool found = false;
    auto consider = [&](time_t t) {
        struct tm back;
        if (localtime_r(&t, &back) != nullptr && Same_Wall(back, wall) && (!found || t < out)) {
            out = t;
            found = true;
        }
    };
    for (int dst : {-1, 0, 1}) {
        struct tm b = wall;
        b.tm_isdst = dst;
        time_t t = mktime(&b);
        if (t == static_cast<time_t>(-1) && !Same_Wall(b, wall)) continue;
        consider(t);
    }
    if (found)
        for (time_t delta : {1800, 3600, 7200}) consider(out - delta);
    return found;
}

struct Repeat {
    long nIntervalMin = 0;  // above 0: repeat
    long nHourEnd = 0;
    long nMinuteEnd = 0;
};

// The first run of the repetition from s (s, s + step, ... up to HE:ME of s's local date) that is
// later than now.
bool Repeat_Hit(time_t s, const Repeat& rep, const Clock_Fn& clock, time_t& hit) {
    if (rep.nIntervalMin <= 0) return false;
    struct tm day;
    if (localtime_r(&s, &day) == nullptr) return false;
    time_t end = Local_Wall_Time(day.tm_year + 1900L, day.tm_mon + 1L, day.tm_mday, rep.nHourEnd, rep.nMinuteEnd);
    if (end == static_cast<time_t>(-1)) return false;
    const int64_t step = static_cast<int64_t>(rep.nIntervalMin) * 60;
    const int64_t now = clock();
    int64_t t = s;
    if (t <= now) t += ((now - t) / step + 1) * step;  // the first step later than now
    if (t > end) return false;
    hit = static_cast<time_t>(t);
    return true;
}

// Walks the candidates earliest first: the first later than now, or the first repetition hit.
bool Walk(std::vector<time_t> candidates, const Repeat& rep, const Clock_Fn& clock, long& next) {
    std::sort(candidates.begin(), candidates.end());
    for (time_t c : candidates) {
        time_t hit = 0;
        if (c > clock()) {
            next = c;
            return true;
        }
        if (Repeat_Hit(c, rep, clock, hit)) {
            next = hit;
            return true;
        }
    }
    return false;
}

int Weekday_Number(json_object* e) {
    static const char* const kNames[] = {"monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"};
    if (!json_object_is_type(e, json_type_string)) return 0;
    const char* name = json_object_get_string(e);
    for (int i = 0; i < 7; ++i)
        if (strcmp(name, kNames[i]) == 0) return i + 1;
    return 0;
}

bool Once(json_object* rec, long H, long M, const Clock_Fn& clock, long& next) {
    std::string status;
    if (Key_Text(rec, "backup_status", status) && (status == "finish" || status == "abort")) return false;
    RAIIful_Json days = Key_List(rec, "schedule_day");
    if (!days || json_object_array_length(days.get()) == 0) return false;
    time_t t = Local_Wall_Time(Key_Number(rec, "schedule_year"), Key_Number(rec, "schedule_month"),
                               Element_Number(json_object_array_get_idx(days.get(), 0)), H, M);
    if (t == static_cast<time_t>(-1) || t <= clock()) return false;
    next = t;
    return true;
}

// Today's start, then tomorrow's.
bool Daily(const struct tm& today, long H, long M, const Repeat& rep, const Clock_Fn& clock, long& next) {
    std::vector<time_t> candidates;
    for (int offset = 0; offset <= 1; ++offset) {
        time_t s = Local_Wall_Time(today.tm_year + 1900L, today.tm_mon + 1L, today.tm_mday + offset, H, M);
        if (s != static_cast<time_t>(-1)) candidates.push_back(s);
    }
    return Walk(std::move(candidates), rep, clock, next);
}

bool Weekly(json_object* rec, const struct tm& today, long H, long M, const Repeat& rep, const Clock_Fn& clock,
            long& next) {
    RAIIful_Json names = Key_List(rec, "schedule_week");
    if (!names) return false;
    const int w = today.tm_wday == 0 ? 7 : today.tm_wday;
    const size_t n = json_object_array_length(names.get());
    std::vector<time_t> candidates;
    for (int offset : {0, 7}) {
        for (size_t i = 0; i < n; ++i) {
            int d = Weekday_Number(json_object_array_get_idx(names.get(), i));
            if (d == 0) return false;  // one unknown name spoils the whole schedule
            int dd = d + offset;
            if (dd < w) continue;
            time_t c = Local_Wall_Time(today.tm_year + 1900L, today.tm_mon + 1L, today.tm_mday + (dd - w), H, M);
            if (c != static_cast<time_t>(-1)) candidates.push_back(c);
        }
    }
    return Walk(std::move(candidates), rep, clock, next);
}

bool Monthly(json_object* rec, const struct tm& today, long H, long M, const Repeat& rep, const Clock_Fn& clock,
             long& next) {
    RAIIful_Json days = Key_List(rec, "schedule_day");
    if (!days) return false;
    const size_t n = json_object_array_length(days.get());
    std::vector<time_t> candidates;
    // Last month's days too: the days it lacked carry over into this month (30 and 31 February
    // are 2 and 3 March), and from 1 or 2 March the ones still ahead are this month's next runs.
    for (int offset = -1; offset <= 1; ++offset) {
        for (size_t i = 0; i < n; ++i) {
            long v = Element_Number(json_object_array_get_idx(days.get(), i));
            if (v < 1 || v > 31) continue;
            time_t c = Local_Wall_Time(today.tm_year + 1900L, today.tm_mon + 1L + offset, v, H, M);
            if (c != static_cast<time_t>(-1)) candidates.push_back(c);
        }
    }
    return Walk(std::move(candidates), rep, clock, next);
}

}  // namespace

time_t Local_Wall_Time(long y, long mo, long d, long H, long M) {
    // Calendar normalisation without any zone, so a wall time in a gap is not shifted by it.
    struct tm wall {};
    wall.tm_year = static_cast<int>(std::clamp(y, -kFieldLimit, kFieldLimit) - 1900);
    wall.tm_mon = static_cast<int>(std::clamp(mo, -kFieldLimit, kFieldLimit) - 1);
    wall.tm_mday = static_cast<int>(std::clamp(d, -kFieldLimit, kFieldLimit));
    wall.tm_hour = static_cast<int>(std::clamp(H, -kFieldLimit, kFieldLimit));
    wall.tm_min = static_cast<int>(std::clamp(M, -kFieldLimit, kFieldLimit));
    if (timegm(&wall) == static_cast<time_t>(-1)) return -1;  // seconds are 0, so -1 is only the overflow
    time_t out = 0;
    if (Earliest_Instant(wall, out)) return out;
    // Skipped by a clock change: the first wall minute after it that occurs.
    for (int minutes = 1; minutes <= 24 * 60; ++minutes) {
        struct tm later = wall;
        later.tm_min += minutes;
        if (timegm(&later) == static_cast<time_t>(-1)) return -1;
        if (Earliest_Instant(later, out)) return out;
    }
    return -1;
}

int Get_Next_Time_At(json_object* mission, const Clock_Fn& clock, long& next) {
    if (mission == nullptr || !json_object_is_type(mission, json_type_object)) return -61;
    std::string frequency;
    if (!Key_Text(mission, "schedule_frequency", frequency)) return -61;
    const long H = Key_Number(mission, "schedule_hour");
    const long M = Key_Number(mission, "schedule_minute");
    Repeat rep;
    std::string interval;
    if (Key_Text(mission, "schedule_interval", interval)) rep.nIntervalMin = std::min(Number(interval.c_str()), 10000000L);
    rep.nHourEnd = Key_Number(mission, "schedule_hour_end");
    rep.nMinuteEnd = Key_Number(mission, "schedule_minute_end");

    const time_t start = clock();
    struct tm today;
    if (localtime_r(&start, &today) == nullptr) return -61;
    bool found = false;
    if (frequency == "once")
        found = Once(mission, H, M, clock, next);
    else if (frequency == "daily")
        found = Daily(today, H, M, rep, clock, next);
    else if (frequency == "weekly")
        found = Weekly(mission, today, H, M, rep, clock, next);
    else if (frequency == "monthly")
        found = Monthly(mission, today, H, M, rep, clock, next);
    return found ? 0 : -61;
}

}  // namespace qlm

int Get_Next_Time(json_object* mission, long& next) { return qlm::Get_Next_Time_At(mission, qlm::Now, next); }
