// The daemon's record handling under a test root: patching only its own keys of a record read
// again, never bringing back a deleted one, loading, due passes with their commands, and the
// sleep arithmetic.
#include "qlm_deamon/scheduler.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "../platform_testdir.h"
#include "common/paths.h"
#include "plat_json.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kMission = "0b7c6a52-5a0e-4f0e-9a44-2f6f3f7e9c11";
constexpr const char* kOther = "1c8d7b63-6b1f-4a1f-8b55-3a7a4a8f0d22";
constexpr const char* kTask = "9d2e3f40-1111-4222-8333-444455556666";
// Tue 2024-03-12 10:30:00 UTC
constexpr time_t kNow = 1710239400;

// A record as the schedule actions write it: daily at 11:00, Drive and Gmail.
std::string Daily_Record(const char* task = kTask, const char* hour = "11") {
    return std::string(R"({"service":["drive","gmail"],"mission_name":"Nightly","backup_scheduling_enable":1,)") +
           R"("task_id":")" + task + R"(","domain":"admin@example.test","mode":"backup","start_time":1700000000,)" +
           R"("backup_status":"scheduling","total_amount":3,"backuped_amount":3,"schedule_frequency":"daily",)" +
           R"("schedule_interval":null,"schedule_year":null,"schedule_month":null,"schedule_day":"[]",)" +
           R"("schedule_week":"[]","schedule_hour":")" + hour + R"(","schedule_minute":"0",)" +
           R"("schedule_hour_end":null,"schedule_minute_end":null,"backup_mode":"scheduling"})";
}

std::string Once_Record(const char* day) {
    return std::string(R"({"service":["contact"],"task_id":")") + kTask +
           R"(","backup_status":"scheduling","schedule_frequency":"once","schedule_year":"2024",)"
           R"("schedule_month":"3","schedule_day":"[\")" + day + R"(\"]","schedule_hour":"11","schedule_minute":"0"})";
}

qlm::Clock_Fn At(time_t t) {
    return [t] { return t; };
}

class Scheduler : public ::testing::Test {
protected:
    plattest::TempDir root;
    plattest::ScopedEnv rootEnv{"QLM_ROOT", root.path()};
    plattest::ScopedEnv tz{"TZ", "UTC"};

    void SetUp() override {
        tzset();
        fs::create_directories(qlm::Scheduling_Mission_Dir());
    }

    std::string Path(const std::string& id) { return qlm::Scheduling_Mission_Dir() + "/" + id; }
    void Put(const std::string& id, const std::string& text) { plattest::Write_File(Path(id), text); }
    RAIIful_Json Get(const std::string& id) { return RAIIful_Json(Json_From_File(Path(id).c_str())); }
    int64_t Int(const std::string& id, const char* key) {
        RAIIful_Json rec = Get(id);
        json_object* v = nullptr;
        return rec && json_object_object_get_ex(rec.get(), key, &v) ? json_object_get_int64(v) : -1;
    }
    std::string Str(const std::string& id, const char* key) {
        RAIIful_Json rec = Get(id);
        const char* v = nullptr;
        return rec && Json_Dict_Find_Str(rec.get(), key, v) == 0 ? v : "<none>";
    }
    // Names in the scheduling folder and in the temporary folder (no leftovers of atomic writes).
    std::vector<std::string> Listed(const std::string& dir) {
        std::vector<std::string> out;
        if (fs::is_directory(dir))
            for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(Scheduler, PatchKeepsEveryOtherKeyAndTheirOrder) {
    Put(kMission, Daily_Record());
    ASSERT_EQ(qlm::Store_Next_Time(kMission, 1710241200), 0);
    ASSERT_EQ(qlm::Mark_Started(kMission, 1710241201), 0);
    RAIIful_Json got = Get(kMission);
    RAIIful_Json want(json_tokener_parse(Daily_Record().c_str()));
    Json_Dict_Add_Int64(want.get(), "start_time", 1710241200);
    Json_Dict_Add_Int64(want.get(), "next_time", 1710241200);
    Json_Dict_Add_Int64(want.get(), "last_time", 1710241201);
    EXPECT_STREQ(Json_To_Plain_String(got.get()), Json_To_Plain_String(want.get()));
    EXPECT_EQ(Listed(qlm::Scheduling_Mission_Dir()), std::vector<std::string>{kMission});
    EXPECT_EQ(Listed(qlm::Db_Tmp_Dir()), std::vector<std::string>{});
}

TEST_F(Scheduler, OnceIsMarkedFinishedWhenStarted) {
    Put(kMission, Once_Record("12"));
    ASSERT_EQ(qlm::Mark_Started(kMission, kNow), 0);
    EXPECT_EQ(Str(kMission, "backup_status"), "finish");
    EXPECT_EQ(Int(kMission, "last_time"), kNow);
}

TEST_F(Scheduler, VanishedOrBrokenRecordsAreNeverWritten) {
    EXPECT_EQ(qlm::Store_Next_Time(kMission, kNow), -2);
    EXPECT_EQ(qlm::Mark_Started(kMission, kNow), -2);
    EXPECT_FALSE(fs::exists(Path(kMission)));
    Put(kMission, "{\"task_id\":");
    EXPECT_EQ(qlm::Store_Next_Time(kMission, kNow), -2);
    EXPECT_EQ(plattest::Read_File(Path(kMission)), "{\"task_id\":");
    EXPECT_EQ(qlm::Store_Next_Time("../../conf/x", kNow), -22);

    // Deleted between the read and the write: the patch is where the window would be.
    Put(kMission, Daily_Record());
    std::string path = Path(kMission);
    EXPECT_EQ(qlm::Patch_Schedule_Record(kMission, [&](json_object* rec) {
                  fs::remove(path);
                  return Json_Dict_Add_Int64(rec, "next_time", 1);
              }),
              -2);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(Listed(qlm::Db_Tmp_Dir()), std::vector<std::string>{});
}

// The daemon holds no copy of a record: an edit made after the load, with no reload, is what the
// due pass writes its keys into and computes the next run from. The time the edit took away does
// not run, nor does a "once" schedule aborted meanwhile.
TEST_F(Scheduler, DuePassWorksOnTheRecordAsItIsNow) {
    Put(kMission, Daily_Record());
    Put(kOther, Once_Record("12"));
    qlm::Schedule_List list;
    qlm::Load_Schedule_List(list, {}, At(kNow));
    ASSERT_EQ(list.size(), 2u);
    ASSERT_EQ(list[0].tNext, list[1].tNext);  // both at 11:00 today
    Put(kMission, Daily_Record(kTask, "15"));
    RAIIful_Json aborted(json_tokener_parse(Once_Record("12").c_str()));
    Json_Dict_Add_Str(aborted.get(), "backup_status", "abort");
    Put(kOther, Json_To_Plain_String(aborted.get()));
    std::vector<qlm::Due_Run> runs;
    qlm::Take_Due_Missions(list, At(list[0].tNext), runs);
    EXPECT_TRUE(runs.empty());
    EXPECT_EQ(Str(kMission, "schedule_hour"), "15");
    EXPECT_EQ(Int(kMission, "next_time"), 1710255600);  // 15:00 today
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].strMissionID, kMission);
    EXPECT_EQ(list[0].tNext, 1710255600);
    EXPECT_EQ(Str(kOther, "backup_status"), "abort");

    // At 15:00 the edited one runs.
    qlm::Take_Due_Missions(list, At(1710255600), runs);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].strMissionID, kMission);
}

TEST_F(Scheduler, LoadListsOnlyIdNamedRecordsWithAFutureRun) {
    const std::string past = Once_Record("1");
    Put(kMission, Daily_Record());
    Put(kOther, past);                              // its day has passed: untouched, not listed
    Put("not-an-id", Daily_Record());               // never read
    Put("2e9e8c74-7c20-4b20-9c66-4b8b5b9a1e33", "[1,2]");  // no object
    qlm::Schedule_List list;
    qlm::Load_Schedule_List(list, {}, At(kNow));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].strMissionID, kMission);
    EXPECT_EQ(list[0].tNext, 1710241200);  // 11:00 today
    EXPECT_EQ(Int(kMission, "start_time"), 1710241200);
    EXPECT_EQ(Int(kMission, "next_time"), 1710241200);
    EXPECT_EQ(plattest::Read_File(Path(kOther)), past);
    EXPECT_EQ(Int("not-an-id", "next_time"), -1);

    fs::remove_all(qlm::Scheduling_Mission_Dir());
    qlm::Load_Schedule_List(list, {}, At(kNow));
    EXPECT_TRUE(list.empty());
}

// A reload that comes in the second a run falls due must not skip the run, unless the schedule
// no longer has that time.
TEST_F(Scheduler, ReloadKeepsARunThatIsDueByTheScheduleAsItStands) {
    Put(kMission, Daily_Record());
    Put(kOther, Daily_Record());
    const time_t eleven = 1710241200;
    qlm::Schedule_List previous{{kMission, eleven}, {kOther, eleven}};
    Put(kOther, Daily_Record(kTask, "12"));  // edited to 12:00 meanwhile
    qlm::Schedule_List list;
    qlm::Load_Schedule_List(list, previous, At(eleven));
    ASSERT_EQ(list.size(), 2u);
    for (const auto& e : list)
        EXPECT_EQ(e.tNext, e.strMissionID == kMission ? eleven : eleven + 3600) << e.strMissionID;
}

TEST_F(Scheduler, DuePassStartsWhatIsDueWithItsCommandAndRelistsIt) {
    Put(kMission, Daily_Record());
    Put(kOther, Once_Record("12"));
    qlm::Schedule_List list{{kMission, 1710241200}, {kOther, 1710241200}, {"3f0f9d85-8d31-4c31-8d77-5c9c6cab2f44", 1710244800}};
    std::vector<qlm::Due_Run> runs;
    qlm::Take_Due_Missions(list, At(1710241200), runs);
    ASSERT_EQ(runs.size(), 2u);
    const std::string cgi = qlm::Cgi_Path();
    EXPECT_EQ(runs[0].vArgv, (std::vector<std::string>{cgi, "-backup", kMission, kTask, "1", "0", "0", "1", "0"}));
    EXPECT_EQ(runs[1].vArgv, (std::vector<std::string>{cgi, "-backup", kOther, kTask, "0", "0", "0", "0", "1"}));
    // The daily one is back for tomorrow; the once one is gone; the one not due stays.
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].strMissionID, kMission);
    EXPECT_EQ(list[1].tNext, 1710241200 + 86400);
    EXPECT_EQ(Int(kMission, "next_time"), 1710241200 + 86400);
    EXPECT_EQ(list[0].tNext, 1710244800);
}

TEST_F(Scheduler, DeletedRecordsAndForeignTaskIdsStartNothing) {
    Put(kOther, Daily_Record("../../../../etc/passwd"));
    qlm::Schedule_List list{{kMission, kNow}, {kOther, kNow}};
    std::vector<qlm::Due_Run> runs;
    qlm::Take_Due_Missions(list, At(kNow), runs);
    EXPECT_TRUE(runs.empty());
    EXPECT_FALSE(fs::exists(Path(kMission)));  // not made again
    ASSERT_EQ(list.size(), 1u);                // the schedule itself stands; its task is not run
    EXPECT_EQ(list[0].strMissionID, kOther);

    RAIIful_Json noTask(json_tokener_parse(R"({"service":["drive"]})"));
    std::vector<std::string> argv;
    EXPECT_EQ(qlm::Backup_Command(kMission, noTask.get(), argv), -22);
    RAIIful_Json ok(json_tokener_parse(Daily_Record().c_str()));
    EXPECT_EQ(qlm::Backup_Command("x y", ok.get(), argv), -22);
    RAIIful_Json odd(json_tokener_parse((std::string(R"({"task_id":")") + kTask +
                                         R"(","service":["calendar",7,"shared_drive","photos"]})").c_str()));
    ASSERT_EQ(qlm::Backup_Command(kMission, odd.get(), argv), 0);
    EXPECT_EQ(argv.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(argv.begin() + 4, argv.end()),
              (std::vector<std::string>{"0", "1", "1", "0", "0"}));
}

// A record of any frequency, as the schedule actions write it (day and week lists as JSON text).
std::string Schedule_Record(const char* frequency, const char* days, const char* weeks, const char* hour,
                            const char* minute) {
    RAIIful_Json rec(json_tokener_parse(Daily_Record().c_str()));
    Json_Dict_Add_Str(rec.get(), "schedule_frequency", frequency);
    Json_Dict_Add_Str(rec.get(), "schedule_day", days);
    Json_Dict_Add_Str(rec.get(), "schedule_week", weeks);
    Json_Dict_Add_Str(rec.get(), "schedule_hour", hour);
    Json_Dict_Add_Str(rec.get(), "schedule_minute", minute);
    return Json_To_Plain_String(rec.get());
}

time_t Utc(int y, int mo, int d, int h, int mi) {
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    return timegm(&t);  // carries over as the schedules do: 31 April is 1 May
}

// A year of the daemon's passes with the test clock: each pass at the earliest listed time, and
// reloads (another schedule changed) at 00:00:30 and at noon every day. Every run a record
// announced is started once, at its time, and the runs are the schedule's: monthly ones on the
// 29th, 30th and 31st (a day the month lacks carries over into the next month), weekly, daily,
// and daily at an hour that overflows into the next day.
TEST_F(Scheduler, AYearOfPassesStartsEveryAnnouncedRunOnceAtItsTime) {
    const time_t start = Utc(2025, 1, 1, 0, 0), end = Utc(2026, 1, 1, 0, 0);
    struct Case {
        const char* id;
        std::string record;
        std::function<time_t(int)> nth;  // the k-th run by the calendar, k = 0, 1, ...
    };
    const Case cases[] = {
        {"a0000000-0000-4000-8000-000000000029", Schedule_Record("monthly", "[29]", "[]", "8", "0"),
         [](int k) { return Utc(2025, 1 + k, 29, 8, 0); }},
        {"a0000000-0000-4000-8000-000000000030", Schedule_Record("monthly", "[\"30\"]", "[]", "8", "0"),
         [](int k) { return Utc(2025, 1 + k, 30, 8, 0); }},
        {"a0000000-0000-4000-8000-000000000031", Schedule_Record("monthly", "[31]", "[]", "8", "0"),
         [](int k) { return Utc(2025, 1 + k, 31, 8, 0); }},
        {"b0000000-0000-4000-8000-000000000003", Schedule_Record("weekly", "[]", "[\"wednesday\"]", "8", "0"),
         [](int k) { return Utc(2025, 1, 1 + 7 * k, 8, 0); }},  // 1 January 2025 is a Wednesday
        {"c0000000-0000-4000-8000-000000000008", Schedule_Record("daily", "[]", "[]", "8", "0"),
         [](int k) { return Utc(2025, 1, 1 + k, 8, 0); }},
        {"c0000000-0000-4000-8000-000000000025", Schedule_Record("daily", "[]", "[]", "25", "30"),
         [](int k) { return Utc(2025, 1, 1 + k, 25, 30); }},  // "today at 25:30" is 01:30 tomorrow
    };
    for (const Case& c : cases) Put(c.id, c.record);

    std::map<std::string, std::set<int64_t>> announced;
    std::map<std::string, std::vector<int64_t>> started;
    auto note_announcements = [&] {
        for (const Case& c : cases) announced[c.id].insert(Int(c.id, "next_time"));
    };
    qlm::Schedule_List list;
    qlm::Load_Schedule_List(list, {}, At(start));
    note_announcements();
    time_t reload = Utc(2025, 1, 1, 0, 0) + 30;
    std::vector<qlm::Due_Run> runs;
    for (time_t now = start; now < end;) {
        ASSERT_EQ(list.size(), std::size(cases)) << now;
        int64_t earliest = list[0].tNext;
        for (const auto& e : list) earliest = std::min(earliest, e.tNext);
        ASSERT_GT(earliest, now - 1) << "a listed run was left behind";
        now = static_cast<time_t>(std::min<int64_t>(earliest, reload));
        if (now == reload) {
            qlm::Schedule_List previous;
            previous.swap(list);
            qlm::Load_Schedule_List(list, previous, At(now));
            reload += (reload - start) % 86400 == 30 ? 12 * 3600 - 30 : 12 * 3600 + 30;
        }
        qlm::Take_Due_Missions(list, At(now), runs);
        for (const auto& r : runs) started[r.strMissionID].push_back(now);
        note_announcements();
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        std::vector<int64_t> want;
        for (int k = 0; c.nth(k) < end; ++k)
            if (c.nth(k) > start) want.push_back(c.nth(k));
        EXPECT_EQ(started[c.id], want);
        // Announced: exactly the runs started, and the one after the year.
        std::vector<int64_t> said(announced[c.id].begin(), announced[c.id].end());
        ASSERT_FALSE(said.empty());
        EXPECT_GE(said.back(), end);
        said.pop_back();
        EXPECT_EQ(said, want);
    }
    EXPECT_EQ(started["a0000000-0000-4000-8000-000000000031"].size(), 12u);
}

// An edit withdraws the announcement (the edit action removes next_time): the announced time
// that the edited schedule no longer gives starts nothing, even where only the announcement
// would have given it (a daily hour past 23, carried into the next day: from that day the rule
// gives the day after). A monthly day a month lacks is no such case: the rule gives its
// carried-over run from the days after the month's end too.
TEST_F(Scheduler, AWithdrawnAnnouncementOfACarriedOverDateStartsNothing) {
    Put(kMission, Schedule_Record("daily", "[]", "[]", "25", "30"));
    qlm::Schedule_List list;
    qlm::Load_Schedule_List(list, {}, At(Utc(2025, 4, 20, 0, 0)));
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0].tNext, Utc(2025, 4, 21, 1, 30));
    RAIIful_Json rec = Get(kMission);
    Json_Dict_Remove(rec.get(), "next_time");
    Put(kMission, Json_To_Plain_String(rec.get()));
    std::vector<qlm::Due_Run> runs;
    qlm::Take_Due_Missions(list, At(Utc(2025, 4, 21, 1, 30)), runs);
    EXPECT_TRUE(runs.empty());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].tNext, Utc(2025, 4, 22, 1, 30));

    // The same withdrawal of "31 April": the schedule itself still gives 1 May, which starts.
    Put(kMission, Schedule_Record("monthly", "[31]", "[]", "8", "0"));
    qlm::Load_Schedule_List(list, {}, At(Utc(2025, 4, 20, 0, 0)));
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0].tNext, Utc(2025, 5, 1, 8, 0));
    rec = Get(kMission);
    Json_Dict_Remove(rec.get(), "next_time");
    Put(kMission, Json_To_Plain_String(rec.get()));
    qlm::Take_Due_Missions(list, At(Utc(2025, 5, 1, 8, 0)), runs);
    EXPECT_EQ(runs.size(), 1u);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].tNext, Utc(2025, 5, 31, 8, 0));
}

TEST(DaemonSleep, SixtyFourBitsAndCapped) {
    struct {
        int64_t d;
        int64_t ms;
    } rows[] = {
        {-10, 1000},
        {0, 1000},
        {5, 1000},
        {6, 1000},
        {100, 95000},
        {3605, 3600000},
        {3606, 3600000},
        {60LL * 86400, 3600000},       // where a 32-bit count wraps
        {2147484LL + 5, 3600000},      // where an int count overflows
    };
    const int64_t now = 1780000000;
    for (const auto& r : rows) EXPECT_EQ(qlm::Daemon_Sleep_Ms(now + r.d, now), r.ms) << r.d;
    EXPECT_EQ(qlm::Daemon_Sleep_Ms(INT64_MAX, INT64_MIN), 3600000);
    EXPECT_EQ(qlm::Daemon_Sleep_Ms(INT64_MIN, INT64_MAX), 1000);
}

TEST(DaemonEnvironment, CgiVariablesGoOthersStay) {
    plattest::ScopedEnv a("REQUEST_METHOD", "GET"), b("GATEWAY_INTERFACE", "CGI/1.1"), c("HTTP_COOKIE", "NAS_SID=x"),
        d("QUERY_STRING", "act=x"), e("QLM_ROOT_KEEP", "1"), f("HTTPS_LIKE", "1");
    qlm::Drop_Cgi_Environment();
    for (const char* gone : {"REQUEST_METHOD", "GATEWAY_INTERFACE", "HTTP_COOKIE", "QUERY_STRING"})
        EXPECT_EQ(getenv(gone), nullptr) << gone;
    EXPECT_STREQ(getenv("QLM_ROOT_KEEP"), "1");
    EXPECT_STREQ(getenv("HTTPS_LIKE"), "1");
    EXPECT_NE(getenv("PATH"), nullptr);
}

}  // namespace
