// Next run times over once, daily, weekly and monthly records, in a zone without daylight saving
// (Asia/Taipei) and one with it (Europe/Berlin, across both changes), with the clock injected.
#include "common/next_time.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "../platform_testdir.h"
#include "plat_json.h"

namespace {

constexpr const char* kTaipei = "Asia/Taipei";
constexpr const char* kBerlin = "Europe/Berlin";
constexpr const char* kNewYork = "America/New_York";
constexpr time_t kNone = 0;

class Zone {
public:
    explicit Zone(const char* name) : env_("TZ", name) { tzset(); }
    ~Zone() { tzset(); }

private:
    plattest::ScopedEnv env_;
};

// A record as the schedule actions store it: every value a text, the lists as JSON text.
struct Rec {
    const char* frequency;
    const char* list;  // schedule_day for once and monthly, schedule_week for weekly
    const char* hour;
    const char* minute;
    const char* interval = nullptr;
    const char* hourEnd = nullptr;
    const char* minuteEnd = nullptr;
    const char* year = nullptr;
    const char* month = nullptr;
};

RAIIful_Json Make(const Rec& r) {
    RAIIful_Json rec(Json_Dict_Init());
    const bool weekly = r.frequency != nullptr && std::string(r.frequency) == "weekly";
    const std::pair<const char*, const char*> keys[] = {
        {"schedule_frequency", r.frequency}, {"schedule_interval", r.interval},
        {"schedule_year", r.year},           {"schedule_month", r.month},
        {weekly ? "schedule_week" : "schedule_day", r.list},
        {"schedule_hour", r.hour},           {"schedule_minute", r.minute},
        {"schedule_hour_end", r.hourEnd},    {"schedule_minute_end", r.minuteEnd}};
    for (const auto& [k, v] : keys)
        if (v != nullptr) Json_Dict_Add_Str(rec.get(), k, v);
    return rec;
}

// The next run at a fixed now; kNone when there is none (next is then left as it was).
time_t Next_At(json_object* rec, time_t now) {
    long next = 0;
    int rc = qlm::Get_Next_Time_At(rec, [now] { return now; }, next);
    EXPECT_EQ(rc == 0, next != 0);
    return next;
}

struct Row {
    const char* name;
    const char* zone;
    Rec rec;
    time_t now;
    time_t want;
};

const Rec kOnce{"once", R"(["10"])", "9", "0", nullptr, nullptr, nullptr, "2024", "3"};
const Rec kDailyRepeat{"daily", nullptr, "9", "0", "60", "17", "0"};
const Rec kMonWedFri{"weekly", R"(["monday","wednesday","friday"])", "2", "0"};
const Rec kTuesdayRepeat{"weekly", R"(["tuesday"])", "8", "0", "120", "18", "0"};
const Rec kMonthly31{"monthly", R"(["31"])", "8", "0"};
const Rec kDaily0230{"daily", nullptr, "2", "30"};

const Row kRows[] = {
    // once
    {"once a minute ahead", kTaipei, kOnce, 1710032340, 1710032400},
    {"once at its own second", kTaipei, kOnce, 1710032400, kNone},
    {"once 31 February is 3 March", kTaipei, {"once", R"(["31"])", "9", "0", nullptr, nullptr, nullptr, "2025", "2"},
     1735660800, 1740963600},
    {"once months ahead", "UTC", {"once", R"(["1"])", "0", "0", nullptr, nullptr, nullptr, "2026", "6"}, 1772323200,
     1780272000},
    {"once with an empty day list", kTaipei, {"once", "[]", "9", "0", nullptr, nullptr, nullptr, "2025", "3"},
     1735660800, kNone},
    {"once with a day that is no list", kTaipei, {"once", "10", "9", "0", nullptr, nullptr, nullptr, "2024", "3"},
     1710032340, kNone},
    // daily, repeating every hour from 09:00 to 17:00
    {"daily next step today", kTaipei, kDailyRepeat, 1710210600, 1710212400},
    {"daily after the window: tomorrow", kTaipei, kDailyRepeat, 1710235800, 1710291600},
    {"daily at the window's end: tomorrow", kTaipei, kDailyRepeat, 1710234000, 1710291600},
    {"daily a second before the end", kTaipei, kDailyRepeat, 1710233999, 1710234000},
    {"daily before the start", kTaipei, kDailyRepeat, 1710201600, 1710205200},
    {"daily at its start without interval", kTaipei, {"daily", nullptr, "9", "0"}, 1710205200, 1710291600},
    {"daily end before start: no repetition", kTaipei, {"daily", nullptr, "9", "0", "30", "8", "0"}, 1710208800,
     1710291600},
    {"daily late start past midnight", kTaipei, {"daily", nullptr, "23", "30", "60", "23", "59"}, 1710258300,
     1710343800},
    // weekly
    {"weekly later this week", kTaipei, {"weekly", R"(["monday","wednesday"])", "9", "0"}, 1710124200, 1710291600},
    {"weekly next listed day", kTaipei, kMonWedFri, 1710295200, 1710439200},
    {"weekly at its own second: next monday", kTaipei, kMonWedFri, 1710439200, 1710698400},
    {"weekly over the week's end", kTaipei, kMonWedFri, 1710687600, 1710698400},
    {"weekly today passed: next week", kTaipei, {"weekly", R"(["sunday"])", "2", "0"}, 1710010800, 1710612000},
    {"weekly repetition today", kTaipei, kTuesdayRepeat, 1710219600, 1710223200},
    {"weekly repetition over: next week", kTaipei, kTuesdayRepeat, 1710237600, 1710806400},
    {"weekly name in capitals", kTaipei, {"weekly", R"(["Monday"])", "9", "0"}, 1710124200, kNone},
    {"weekly name with a blank", "UTC", {"weekly", R"(["monday"," wednesday"])", "9", "0"}, 1710124200, kNone},
    {"weekly list that is no list", kTaipei, {"weekly", "monday", "9", "0"}, 1710124200, kNone},
    // monthly, month ends and leap years
    {"monthly 31 April is 1 May", kBerlin, {"monthly", R"(["31","15"])", "8", "0"}, 1713600000, 1714543200},
    {"monthly days as JSON numbers", kBerlin, {"monthly", "[1,15]", "8", "0"}, 1713600000, 1714543200},
    {"monthly 29 February 2023 is 1 March", kBerlin, {"monthly", R"(["29","30","31"])", "8", "0"}, 1676019600,
     1677654000},
    {"monthly after 1 March 2023: 30 February is 2 March", kBerlin, {"monthly", R"(["29","30","31"])", "8", "0"},
     1677654000, 1677740400},
    {"monthly 31: February skipped", kBerlin, kMonthly31, 1738310400, 1740985200},
    {"monthly 31 after 3 March", kBerlin, kMonthly31, 1740985200, 1743400800},
    {"monthly 31 in a leap year", kBerlin, kMonthly31, 1706688000, 1709362800},
    {"monthly 31 December: month 13", kBerlin, kMonthly31, 1735632000, 1738306800},
    {"monthly only days out of range", kBerlin, {"monthly", R"(["0","32"])", "8", "0"}, 1713600000, kNone},
    // daylight saving
    {"weekly over the spring change", kBerlin, {"weekly", R"(["monday"])", "2", "0"}, 1711710000, 1711929600},
    {"time skipped in spring: first valid time after", kBerlin, kDaily0230, 1711839600, 1711846800},
    {"after the skipped time: next day", kBerlin, kDaily0230, 1711846800, 1711931400},
    {"skipped time in New York", kNewYork, kDaily0230, 1710046800, 1710054000},
    {"repetition across the spring change", kBerlin, {"daily", nullptr, "0", "0", "60", "6", "0"}, 1711845000,
     1711846800},
    {"time twice in autumn: earlier instant", kBerlin, kDaily0230, 1729980000, 1729989000},
    {"after the earlier instant: next day, not the later one", kBerlin, kDaily0230, 1729989000, 1730079000},
    // not runnable
    {"unknown frequency", kTaipei, {"hourly", nullptr, "9", "0"}, 1710210600, kNone},
    {"no frequency", kTaipei, {nullptr, nullptr, "9", "0"}, 1710210600, kNone},
};

TEST(NextTime, Table) {
    for (const Row& r : kRows) {
        Zone zone(r.zone);
        RAIIful_Json rec = Make(r.rec);
        EXPECT_EQ(Next_At(rec.get(), r.now), r.want) << r.name;
    }
}

// Two years (with 29 February 2028) of monthly schedules on the days that months lack. Each day
// of the schedule runs once in every month, on the day it carries over to when the month is
// shorter (30 and 31 February are 2 and 3 March; "31 April" and a listed 1 May are one run).
// Computed from each run as the daemon does after starting it, the runs follow each other with
// none lost; and a daemon that loads, restarts or reloads at any hour of any day announces the
// first of them still ahead.
TEST(NextTime, MonthlyDaysAMonthLacksRunOnceEachMonthOverTwoYears) {
    Zone zone(kBerlin);
    struct Schedule {
        const char* name;
        std::vector<int> days;
        int hour;
        int minute;
        int intervalMin;  // 0: no repetition
        int hourEnd;
    };
    const Schedule schedules[] = {
        {"days 29 30 31", {29, 30, 31}, 8, 0, 0, 0},
        {"days 30 31", {30, 31}, 8, 0, 0, 0},
        {"days 31 and 1", {31, 1}, 8, 0, 0, 0},
        {"day 31 alone", {31}, 23, 45, 0, 0},
        {"days 31 30 every two hours", {31, 30}, 8, 0, 120, 12},
    };
    // Local wall times, carried over as the schedules are: 30 February 2027 is 2 March.
    auto local = [](int y, int mo, int d, int h, int mi) {
        struct tm t {0, mi, h, d, mo - 1, y - 1900, 0, 0, -1, 0, nullptr};  // no hour above is skipped or doubled
        return mktime(&t);
    };
    const time_t start = local(2027, 1, 1, 0, 0), end = local(2029, 1, 1, 0, 0);
    for (const Schedule& s : schedules) {
        SCOPED_TRACE(s.name);
        std::string list = "[";
        for (int d : s.days) list += (list.size() > 1 ? ",\"" : "\"") + std::to_string(d) + "\"";
        list += "]";
        const std::string hour = std::to_string(s.hour), minute = std::to_string(s.minute);
        const std::string interval = std::to_string(s.intervalMin), hourEnd = std::to_string(s.hourEnd);
        RAIIful_Json rec = Make({"monthly", list.c_str(), hour.c_str(), minute.c_str(),
                                 s.intervalMin > 0 ? interval.c_str() : nullptr, hourEnd.c_str(), "0"});

        std::set<time_t> runs;  // by the calendar, from December 2026 (its days carry into January)
        for (int m = 0; m < 26; ++m) {
            for (int d : s.days) {
                const int y = 2026 + (11 + m) / 12, mo = (11 + m) % 12 + 1;
                const time_t first = local(y, mo, d, s.hour, s.minute);
                runs.insert(first);
                struct tm day;
                localtime_r(&first, &day);
                const time_t last = local(day.tm_year + 1900, day.tm_mon + 1, day.tm_mday, s.hourEnd, 0);
                for (time_t t = first + s.intervalMin * 60; s.intervalMin > 0 && t <= last; t += s.intervalMin * 60)
                    runs.insert(t);
            }
        }
        std::vector<time_t> want;
        for (time_t t : runs)
            if (t > start && t < end) want.push_back(t);

        std::vector<time_t> chained;
        for (time_t now = start; (now = Next_At(rec.get(), now)) != kNone && now < end;) chained.push_back(now);
        EXPECT_EQ(chained, want);

        for (time_t t : want) EXPECT_EQ(Next_At(rec.get(), t - 1), t) << "a second before it";
        for (time_t load = start; load < end; load += 6 * 3600) {
            const time_t ahead = *runs.upper_bound(load);
            ASSERT_EQ(Next_At(rec.get(), load), ahead) << "loaded at " << load;
        }
    }
}

TEST(NextTime, NoRunLeavesNextAsItWas) {
    Zone zone(kTaipei);
    RAIIful_Json rec = Make(kOnce);
    long next = 12345;
    EXPECT_EQ(qlm::Get_Next_Time_At(rec.get(), [] { return static_cast<time_t>(1710032400); }, next), -61);
    EXPECT_EQ(next, 12345);
    EXPECT_EQ(qlm::Get_Next_Time_At(nullptr, [] { return static_cast<time_t>(0); }, next), -61);
    EXPECT_EQ(next, 12345);
}

// mktime alone answers the autumn hour by its previous calls; the result must not depend on them.
TEST(NextTime, TwiceOccurringTimeDoesNotDependOnEarlierCalls) {
    Zone zone(kBerlin);
    RAIIful_Json rec = Make(kDaily0230);
    for (long warmMonth : {1L, 7L, 10L}) {
        qlm::Local_Wall_Time(2024, warmMonth, 15, 12, 0);
        EXPECT_EQ(Next_At(rec.get(), 1729980000), 1729989000) << "after a call in month " << warmMonth;
        EXPECT_EQ(qlm::Local_Wall_Time(2024, 10, 27, 2, 30), 1729989000) << warmMonth;
    }
}

TEST(NextTime, FinishedOrAbortedOnceRunsNoMore) {
    Zone zone(kTaipei);
    for (const char* status : {"finish", "abort", "scheduling"}) {
        RAIIful_Json rec = Make(kOnce);
        Json_Dict_Add_Str(rec.get(), "backup_status", status);
        EXPECT_EQ(Next_At(rec.get(), 1710032340), std::string(status) == "scheduling" ? 1710032400 : kNone) << status;
    }
}

// Texts read as leading numbers; JSON numbers and null count as their value and as absent.
TEST(NextTime, ValuesReadAsLeadingNumbersOrJsonNumbers) {
    Zone zone(kTaipei);
    RAIIful_Json rec(json_tokener_parse(
        R"({"schedule_frequency":"daily","schedule_hour":9,"schedule_minute":" +0x","schedule_interval":"60min",)"
        R"("schedule_hour_end":"17","schedule_minute_end":null})"));
    EXPECT_EQ(Next_At(rec.get(), 1710210600), 1710212400);
    RAIIful_Json monthly(json_tokener_parse(
        R"({"schedule_frequency":"monthly","schedule_day":"[\"15abc\",\"\",true]","schedule_hour":"8"})"));
    Zone berlin(kBerlin);
    EXPECT_EQ(Next_At(monthly.get(), 1713600000), 1715752800);  // 15 May 08:00
}

// The clock is read again at each comparison: a computation that runs into the start second
// must not give a time that has already come.
TEST(NextTime, ResultIsLaterThanTheClockAtTheEnd) {
    Zone zone(kTaipei);
    RAIIful_Json rec = Make(kDailyRepeat);
    time_t t = 1710212399;  // 10:59:59, one second before a step
    long next = 0;
    ASSERT_EQ(qlm::Get_Next_Time_At(rec.get(), [&t] { return t++; }, next), 0);
    EXPECT_GT(next, t - 1);
}

}  // namespace
