// Mission records: per-cent figures, the key-word filter, the history order and the running-record
// progress the services keep.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "../platform_testdir.h"
#include "backup/backup_service.h"
#include "mission/mission_record.h"
#include "plat_json.h"

namespace {

PT_JSON Parse(const char* text) {
    PT_JSON obj = Json_From_String(text);
    EXPECT_NE(obj, nullptr) << text;
    return obj;
}

double Double_Key(PT_JSON obj, const char* key) {
    PT_JSON v = json_object_object_get(obj, key);
    EXPECT_NE(v, nullptr) << key;
    return json_object_get_double(v);
}

TEST(MissionPercent, ZeroTotalAndClampsAtBothEnds) {
    struct Case {
        int64_t current, total;
        double expected;
    } cases[] = {
        {5, 0, 0.0},     {0, 0, 0.0},       {-3, 10, 0.0},    {0, 10, 0.0},  {1, 4, 25.0},
        {10, 10, 100.0}, {11, 10, 100.0},   {1, 3, 100.0 / 3}, {5, -10, 0.0},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(qlm::Mission_Percent(c.current, c.total), c.expected) << c.current << "/" << c.total;
}

TEST(MissionRecord, PercentsComeFromTheStoredCountersNotTheStoredPercents) {
    RAIIful_Json r(Parse(R"({"total_progress": 55.0, "backup_current": 3, "backup_total": 0,
        "drive_current": 12, "drive_total": 10, "shared_drive_current": -1, "shared_drive_total": 4,
        "gmail_current": 1, "gmail_total": 4, "calendar_progress": 80.0})"));
    qlm::Mission_Recompute_Percents(r.get());
    EXPECT_EQ(Double_Key(r.get(), "total_progress"), 0.0);  // a total of 0 whatever the current
    EXPECT_EQ(Double_Key(r.get(), "drive_progress"), 100.0);
    EXPECT_EQ(Double_Key(r.get(), "shared_drive_progress"), 0.0);
    EXPECT_EQ(Double_Key(r.get(), "gmail_progress"), 25.0);
    EXPECT_EQ(Double_Key(r.get(), "contact_progress"), 0.0);   // missing counters count as 0
    EXPECT_EQ(Double_Key(r.get(), "calendar_progress"), 0.0);  // a stored figure never survives
}

TEST(MissionRecord, KeyWordMatchesNameThenDomainCaseSensitively) {
    struct Case {
        const char* record;
        const char* word;
        bool kept;
    } cases[] = {
        {R"({"mission_name": "Task20261210-1", "domain": "a@x.org"})", "1210", true},
        {R"({"mission_name": "Task20261210-1", "domain": "a@x.org"})", "x.org", true},
        {R"({"mission_name": "Task20261210-1", "domain": "a@x.org"})", "X.ORG", false},
        {R"({"mission_name": "Task20261210-1", "domain": "a@x.org"})", "task", false},
        {R"({"mission_name": "Task20261210-1"})", "zz", false},
        {R"({"start_time": 5})", "", false},  // neither key: dropped even for an empty word
        {R"({"start_time": 5})", nullptr, true},
        {R"({"domain": "a@x.org"})", "a@", true},
    };
    for (const Case& c : cases) {
        RAIIful_Json r(Parse(c.record));
        EXPECT_EQ(qlm::Mission_Matches_Key_Word(r.get(), c.word), c.kept) << c.record << " / " << (c.word ? c.word : "NULL");
    }
}

TEST(MissionRecord, HistoryOrderIsNewestStartFirstWithMissingAsZero) {
    std::vector<RAIIful_Json> owned;
    std::vector<PT_JSON> recs;
    for (const char* text : {R"({"start_time": 20})", R"({})", R"({"start_time": 300})", R"({"start_time": 20})",
                             R"({"start_time": 4000000000})", R"({"start_time": -5})"}) {
        owned.emplace_back(Parse(text));
        recs.push_back(owned.back().get());
    }
    qsort(recs.data(), recs.size(), sizeof(PT_JSON), cmp_nStartTime_for_qsort);
    std::vector<int64_t> order;
    for (PT_JSON r : recs) order.push_back(qlm::Mission_Int(r, "start_time"));
    EXPECT_EQ(order, (std::vector<int64_t>{4000000000LL, 300, 20, 20, 0, -5}));
    PT_JSON a = owned[0].get(), b = owned[3].get();
    EXPECT_EQ(cmp_nStartTime_for_qsort(&a, &b), 0);
}

TEST(MissionRecord, IdMapsAreRemovedAndStampsKept) {
    RAIIful_Json r(Parse(R"({"restore_idmap_drive": ["a"], "restore_idmap_shared_drive": [], "restore_idmap_gmail": ["b"],
        "restore_idmap_contact": ["u\tc"], "restore_stamp_drive": "s"})"));
    qlm::Mission_Remove_Id_Maps(r.get());
    EXPECT_STREQ(Json_To_Plain_String(r.get()), R"({"restore_stamp_drive":"s"})");
}

TEST(MissionRecord, ServiceSwitchesAndTheServiceListAgree) {
    const struct {
        const char* record;
        qlm::Service_Switches sw;  // drive, shared drive, calendar, gmail, contact
        const char* list;          // the list the switches give back
    } cases[] = {
        {R"({"service": ["drive", "gmail"]})", {1, 0, 0, 1, 0}, R"(["drive","gmail"])"},
        {R"({"service": ["contact", "calendar", "shared_drive", "gmail", "drive"]})", {1, 1, 1, 1, 1},
         R"(["drive","shared_drive","gmail","calendar","contact"])"},
        {R"({"service": ["Drive", "mail", 7, null, "contact", "contact"]})", {0, 0, 0, 0, 1}, R"(["contact"])"},
        {R"({"service": "drive"})", {0, 0, 0, 0, 0}, "[]"},
        {"{}", {0, 0, 0, 0, 0}, "[]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        RAIIful_Json r(Parse(c.record));
        const qlm::Service_Switches sw = qlm::Service_Switches_Of(r.get());
        EXPECT_EQ(sw.nDrive, c.sw.nDrive);
        EXPECT_EQ(sw.nSharedDrive, c.sw.nSharedDrive);
        EXPECT_EQ(sw.nCalendar, c.sw.nCalendar);
        EXPECT_EQ(sw.nGmail, c.sw.nGmail);
        EXPECT_EQ(sw.nContact, c.sw.nContact);
        RAIIful_Json list(qlm::Service_List(sw));
        EXPECT_STREQ(Json_To_Plain_String(list.get()), c.list);
    }
    // A switch that was not given (-1) is off.
    RAIIful_Json unset(qlm::Service_List({-1, 1, -1, 0, -1}));
    EXPECT_STREQ(Json_To_Plain_String(unset.get()), R"(["shared_drive"])");
}

// The services' counters in a running record written by the driver.
struct Progress : ::testing::Test {
    plattest::TempDir dir;
    plattest::ScopedEnv root{"QLM_ROOT", dir.path()};
    std::string path = dir / "mission";
    void Store(const char* text) { plattest::Write_File(path, text); }
    RAIIful_Json Load() { return RAIIful_Json(Json_From_File(path.c_str())); }
};

TEST_F(Progress, ARepeatedAttemptRestartsItsOwnCountWithoutCountingTwice) {
    Store(R"({"mission_name": "n", "backup_current": 30, "drive_current": 12, "gmail_current": 18, "backup_total": 90})");
    MissionProgress p;
    ASSERT_EQ(Mission_Progress_Begin(p, path, "drive_current"), 0);
    EXPECT_EQ(p.nBackupCurrent, 18);
    EXPECT_EQ(p.nServiceCurrent, 0);
    for (int i = 0; i < 5; ++i) Mission_Progress_Add(p);
    ASSERT_EQ(Mission_Progress_Flush(p), 0);
    RAIIful_Json r = Load();
    EXPECT_EQ(qlm::Mission_Int(r.get(), "drive_current"), 5);
    EXPECT_EQ(qlm::Mission_Int(r.get(), "backup_current"), 23);
    // Keys the service does not own stay as they were.
    EXPECT_EQ(qlm::Mission_Int(r.get(), "gmail_current"), 18);
    EXPECT_EQ(qlm::Mission_Int(r.get(), "backup_total"), 90);
    const char* name = nullptr;
    ASSERT_EQ(Json_Dict_Find_Str(r.get(), "mission_name", name), 0);
    EXPECT_STREQ(name, "n");
}

TEST_F(Progress, OverallCountNeverStartsBelowZero) {
    Store(R"({"backup_current": 2, "shared_drive_current": 9})");
    MissionProgress p;
    ASSERT_EQ(Mission_Progress_Begin(p, path, "shared_drive_current"), 0);
    EXPECT_EQ(p.nBackupCurrent, 0);
}

TEST_F(Progress, AMissingRecordIsAnErrorAndIsNotCreated) {
    MissionProgress p;
    EXPECT_LT(Mission_Progress_Begin(p, path, "drive_current"), 0);
    Mission_Progress_Add(p, 3);
    EXPECT_LT(Mission_Progress_Flush(p), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0);  // an aborted mission's record is never brought back
    EXPECT_EQ(p.nServiceCurrent, 3);
}

}  // namespace
