// Calendar commands on a user's primary calendar: the event listing (flattened columns) and the
// import of one event under a given iCalUID.
#include "gam.h"
#include "gam_out.h"

#include <cctype>
#include <cstring>
#include <ctime>
#include <string>

namespace {

int Load_Calendar(GamCtx& ctx, GwsCalendar& cal) {
    if (Gwssim_Load_Calendar(ctx.root, ctx.user->email, cal) != 0)
        return Gam_Error("500: backendError: the calendar of " + ctx.user->email + " cannot be read");
    return 0;
}

// Digits where the pattern has 'd', the pattern's own character elsewhere.
bool Matches(const std::string& s, size_t at, const char* pattern) {
    for (size_t i = 0; pattern[i]; ++i) {
        if (at + i >= s.size()) return false;
        char c = s[at + i];
        if (pattern[i] == 'd' ? !isdigit((unsigned char)c) : c != pattern[i]) return false;
    }
    return true;
}

// YYYY-MM-DD, or YYYY-MM-DDTHH:MM:SS followed by optional fractions and Z or an offset.
bool Valid_Time(const std::string& s, bool all_day) {
    if (all_day) return s.size() == 10 && Matches(s, 0, "dddd-dd-dd");
    if (!Matches(s, 0, "dddd-dd-ddTdd:dd:dd")) return false;
    size_t i = 19;
    if (i < s.size() && s[i] == '.')
        for (++i; i < s.size() && isdigit((unsigned char)s[i]);) ++i;
    if (i == s.size()) return true;
    if (s[i] == 'Z') return i + 1 == s.size();
    return (s[i] == '+' || s[i] == '-') && s.size() == i + 6 && Matches(s, i + 1, "dd:dd");
}

// Seconds since 1970 of a valid time (a date counts from its midnight UTC), for ordering only.
long long Instant(const std::string& s, bool all_day) {
    struct tm t {};
    t.tm_year = std::stoi(s.substr(0, 4)) - 1900;
    t.tm_mon = std::stoi(s.substr(5, 2)) - 1;
    t.tm_mday = std::stoi(s.substr(8, 2));
    if (all_day) return (long long)timegm(&t);
    t.tm_hour = std::stoi(s.substr(11, 2));
    t.tm_min = std::stoi(s.substr(14, 2));
    t.tm_sec = std::stoi(s.substr(17, 2));
    long long at = (long long)timegm(&t);
    size_t z = s.find_first_of("Z+-", 19);
    if (z != std::string::npos && s[z] != 'Z') {
        long long off = std::stoi(s.substr(z + 1, 2)) * 3600LL + std::stoi(s.substr(z + 4, 2)) * 60LL;
        at -= s[z] == '+' ? off : -off;
    }
    return at;
}

// The columns that hold a timestamp ("created", "updated", "start.dateTime", ...).
bool Is_Time_Key(const std::string& key) {
    auto ends = [&](const char* tail) {
        size_t n = strlen(tail);
        return key.size() >= n && key.compare(key.size() - n, n, tail) == 0;
    };
    return key == "created" || key == "updated" || ends("dateTime");
}

}  // namespace

int Gam_Print_Events(const GamCmd&, GamCtx& ctx) {
    GwsCalendar cal;
    if (int rc = Load_Calendar(ctx, cal)) return rc;
    std::vector<FlatRow> rows;
    for (const GwsEvent& e : cal.events) {
        const std::string* status = Gwssim_Event_Field(e, "status");
        if (status && *status == "cancelled") continue;
        FlatRow row;
        for (const auto& [key, value] : e.fields) row[key] = Is_Time_Key(key) ? Gam_Time(value) : value;
        row.emplace("calendarId", ctx.user->email);
        rows.push_back(std::move(row));
    }
    return Listing_Status(Csv_Table(ctx.out, {"calendarId", "id"}, rows));
}

int Gam_Import_Event(const GamCmd& cmd, GamCtx& ctx) {
    if (cmd.start.empty() || cmd.end.empty()) return Gam_Error("400: Missing start or end of the event");
    if (!Valid_Time(cmd.start, cmd.start_all_day)) return Gam_Error("400: Invalid start: " + cmd.start);
    if (!Valid_Time(cmd.end, cmd.end_all_day)) return Gam_Error("400: Invalid end: " + cmd.end);
    if (cmd.start_all_day != cmd.end_all_day) return Gam_Error("400: Start and end must both be all-day or timed");
    if (Instant(cmd.end, cmd.end_all_day) < Instant(cmd.start, cmd.start_all_day))
        return Gam_Error("400: timeRangeEmpty: The specified time range is empty.");
    GwsLock lock;
    if (Gwssim_Lock_State(ctx.root, lock) != 0) return Gam_Error("500: backendError: the domain cannot be locked");
    GwsCalendar cal;
    if (int rc = Load_Calendar(ctx, cal)) return rc;
    // Import semantics: an event with the same iCalUID is replaced.
    std::erase_if(cal.events, [&](const GwsEvent& e) {
        const std::string* uid = Gwssim_Event_Field(e, "iCalUID");
        return uid && *uid == cmd.ical_uid;
    });
    GwsEvent ev;
    std::string id, now = Gwssim_Now_Time();
    if (Gwssim_New_Id(ctx.root, "event", id) != 0) return Gam_Error("500: backendError: no new id");
    const char* kind = cmd.start_all_day ? ".date" : ".dateTime";
    ev.fields = {{"id", id}, {"iCalUID", cmd.ical_uid}, {"status", "confirmed"}};
    if (!cmd.summary.empty()) ev.fields.emplace_back("summary", cmd.summary);
    if (!cmd.location.empty()) ev.fields.emplace_back("location", cmd.location);
    ev.fields.emplace_back(std::string("start") + kind, cmd.start);
    ev.fields.emplace_back(std::string("end") + kind, cmd.end);
    ev.fields.insert(ev.fields.end(), {{"created", now},
                                       {"updated", now},
                                       {"creator.email", ctx.user->email},
                                       {"creator.self", "True"},
                                       {"organizer.email", ctx.user->email},
                                       {"organizer.self", "True"},
                                       {"eventType", "default"},
                                       {"sequence", "0"},
                                       {"reminders.useDefault", "True"}});
    cal.events.push_back(std::move(ev));
    if (Gwssim_Save_Calendar(ctx.root, ctx.user->email, cal) != 0)
        return Gam_Error("500: backendError: the calendar cannot be written");
    return 0;
}
