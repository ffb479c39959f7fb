// Scheduling records: built from a request as the page sends it, written whole, and removed with
// their task.
#include "orvenna_cgi/schedule_record.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>

#include <filesystem>
#include <string>

#include "../platform_testdir.h"
#include "common/paths.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_json.h"
#include "plat_string.h"

namespace {

namespace fs = std::filesystem;

class ScheduleRecord : public ::testing::Test {
protected:
    plattest::TempDir root;
    plattest::ScopedEnv rootEnv{"QLM_ROOT", root.path()};
    plattest::ScopedEnv clockEnv{"QLM_FIXED_TIME", "1700000000"};
    plattest::ScopedEnv method{"REQUEST_METHOD", "GET"};
    std::string taskID = smbbackup::Create_New_ID();

    // A loaded task: 12 users, Drive and Calendar on, users auto-added.
    void Fill(GWSTask& t) {
        ASSERT_EQ(t.Set_Task_ID(taskID.c_str()), 0);
        ASSERT_EQ(t.Set_Admin_Email("admin@example.com"), 0);
        t.Set_Total_User_Num(12);
        t.Set_Backup_Drive_Enable(1);
        t.Set_Backup_Calendar_Enable(1);
        t.Set_Backup_Gmail_Enable(0);
        t.Set_Backup_Contact_Enable(0);
        t.Set_Auto_Add_User_Enable(1);
    }

    // The record built from a request with this query string.
    std::string Built(const char* query, GWSTask& task) {
        plattest::ScopedEnv q("QUERY_STRING", query);
        O_APP_CGI_AGENT agent(0);
        qlm::Schedule_Params p;
        qlm::Read_Schedule_Params(&agent, p);
        RAIIful_Json rec(qlm::Build_Schedule_Record(p, task, 1700000000));
        return rec ? Json_To_Plain_String(rec.get()) : "<none>";
    }
};

TEST_F(ScheduleRecord, EveryKeyInCreationOrderWithTheTextsAsSent) {
    GWSTask task;
    Fill(task);
    EXPECT_EQ(Built("contact_enable=1&drive_enable=1&shared_drive_enable=0&gmail_enable=true&calendar_enable=2"
                    "&mission_name=Nightly&backup_scheduling_enable=1&schedule_frequency=weekly"
                    "&schedule_interval=60&schedule_year=2024&schedule_month=3&schedule_day=1,%2015"
                    "&schedule_week=monday,friday&schedule_hour=01&schedule_minute=30"
                    "&schedule_hour_end=23&schedule_minute_end=59",
                    task),
              "{\"service\":[\"drive\",\"gmail\",\"contact\"],\"mission_name\":\"Nightly\","
              "\"backup_scheduling_enable\":1,\"task_id\":\"" + taskID + "\",\"domain\":\"admin@example.com\","
              "\"mode\":\"backup\",\"start_time\":1700000000,\"backup_status\":\"scheduling\","
              "\"total_amount\":12,\"backuped_amount\":12,\"schedule_frequency\":\"weekly\","
              "\"schedule_interval\":\"60\",\"schedule_year\":\"2024\",\"schedule_month\":\"3\","
              "\"schedule_day\":\"[\\\"1\\\",\\\"15\\\"]\",\"schedule_week\":\"[\\\"monday\\\",\\\"friday\\\"]\","
              "\"schedule_hour\":\"01\",\"schedule_minute\":\"30\",\"schedule_hour_end\":\"23\","
              "\"schedule_minute_end\":\"59\",\"backup_mode\":\"scheduling\"}");
}

TEST_F(ScheduleRecord, AbsentParametersStayAbsent) {
    GWSTask task;
    Fill(task);
    RAIIful_Json rec(Json_From_String(Built("", task).c_str()));
    ASSERT_TRUE(rec);
    PT_JSON service = nullptr;
    ASSERT_EQ(Json_Dict_Find_List(rec.get(), "service", service), 0);
    EXPECT_EQ(Json_List_Size(service), 0);
    int enable = 0;
    ASSERT_EQ(Json_Dict_Find_Int(rec.get(), "backup_scheduling_enable", enable), 0);
    EXPECT_EQ(enable, -1);
    for (const char* key : {"schedule_frequency", "schedule_interval", "schedule_year", "schedule_month",
                            "schedule_hour", "schedule_minute", "schedule_hour_end", "schedule_minute_end"}) {
        json_object* v = nullptr;
        EXPECT_TRUE(json_object_object_get_ex(rec.get(), key, &v)) << key << " is kept as null";
        EXPECT_EQ(v, nullptr) << key;
    }
    const char* day = nullptr;
    ASSERT_EQ(Json_Dict_Find_Str(rec.get(), "schedule_day", day), 0);
    EXPECT_STREQ(day, "[]");
    const char* name = nullptr;
    ASSERT_EQ(Json_Dict_Find_Str(rec.get(), "mission_name", name), 0);
    // The default name: "Task", the eight digits of the date, "-1" in a root without missions.
    std::string n = name;
    EXPECT_TRUE(n.size() == 14 && n.rfind("Task", 0) == 0 && n.compare(12, 2, "-1") == 0 &&
                n.find_first_not_of("0123456789", 4) == 12)
        << n;
}

TEST_F(ScheduleRecord, BackupedAmountFollowsTheTasksStoredSwitches) {
    struct Case {
        const char* name;
        int autoAdd, drive, calendar, gmail, contact;
        const char* picked;  // nullptr: unset
        int amount;
    } cases[] = {
        {"auto-add, Drive on", 1, 1, 0, 0, 0, nullptr, 12},
        {"auto-add, only Contacts on", 1, 0, 0, 0, 1, nullptr, 12},
        {"auto-add, no user service", 1, 0, 0, 0, 0, nullptr, 0},
        {"picked", 0, 0, 0, 1, 0, "[\"a\",\"b\",\"c\"]", 3},
        {"picked, no user service", 0, 0, 0, 0, 0, "[\"a\"]", 0},
        {"picked, list stored empty", 0, 1, 0, 0, 0, "", 0},
        {"picked, list unset", 0, 1, 0, 0, 0, nullptr, 0},
    };
    for (const Case& c : cases) {
        GWSTask t;
        Fill(t);
        t.Set_Auto_Add_User_Enable(c.autoAdd);
        t.Set_Backup_Drive_Enable(c.drive);
        t.Set_Backup_Calendar_Enable(c.calendar);
        t.Set_Backup_Gmail_Enable(c.gmail);
        t.Set_Backup_Contact_Enable(c.contact);
        if (c.picked) t.Set_Manual_Select_Domain_User(c.picked);
        EXPECT_EQ(qlm::Schedule_Backuped_Amount(t), c.amount) << c.name;
    }
}

TEST_F(ScheduleRecord, AnEditReplacesTheTimesInPlace) {
    GWSTask task;
    Fill(task);
    RAIIful_Json rec(Json_From_String(Built("schedule_frequency=daily&schedule_day=1&schedule_hour=2", task).c_str()));
    ASSERT_TRUE(rec);
    qlm::Schedule_Params edit;
    edit.pszFrequency = "monthly";
    edit.pszDay = "5,6";
    ASSERT_EQ(qlm::Schedule_Record_Set_Times(rec.get(), edit), 0);
    std::string text = Json_To_Plain_String(rec.get());
    EXPECT_NE(text.find("\"backuped_amount\":12,\"schedule_frequency\":\"monthly\","), std::string::npos) << text;
    EXPECT_NE(text.find("\"schedule_day\":\"[\\\"5\\\",\\\"6\\\"]\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"schedule_hour\":null"), std::string::npos) << "sent absent, stored absent: " << text;
    EXPECT_EQ(text.rfind("\"backup_mode\":\"scheduling\"}"), text.size() - 27) << text;
}

TEST_F(ScheduleRecord, RecordsAreWrittenUnderTheirIdAndRemovedWithTheirTask) {
    GWSTask task;
    Fill(task);
    qlm::Schedule_Params p;
    RAIIful_Json rec(qlm::Build_Schedule_Record(p, task, 1700000000));
    ASSERT_TRUE(rec);

    EXPECT_EQ(qlm::Write_Schedule_Record("../../conf/x", rec.get()), -22);
    EXPECT_EQ(qlm::Write_Schedule_Record(smbbackup::Create_New_ID().c_str(), nullptr), -22);
    EXPECT_FALSE(fs::exists(qlm::Mission_Dir()));

    std::string mine1 = smbbackup::Create_New_ID(), mine2 = smbbackup::Create_New_ID();
    std::string other = smbbackup::Create_New_ID();
    const std::string written = Json_To_Plain_String(rec.get());
    ASSERT_EQ(qlm::Write_Schedule_Record(mine1.c_str(), rec.get()), 0);
    ASSERT_EQ(qlm::Write_Schedule_Record(mine2.c_str(), rec.get()), 0);
    Json_Dict_Add_Str(rec.get(), "task_id", smbbackup::Create_New_ID().c_str());
    ASSERT_EQ(qlm::Write_Schedule_Record(other.c_str(), rec.get()), 0);
    std::string dir = qlm::Scheduling_Mission_Dir();
    plattest::Write_File(dir + "/not-json", "task_id " + taskID);
    plattest::Write_File(dir + "/no-task", "{\"mission_name\":\"x\"}");
    for (const std::string& d : {qlm::Mission_Dir(), dir}) {
        struct stat st {};
        ASSERT_EQ(stat(d.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << d;
    }
    RAIIful_Json back(Json_From_File((dir + "/" + mine1).c_str()));
    ASSERT_TRUE(back);
    EXPECT_EQ(Json_To_Plain_String(back.get()), written);

    EXPECT_EQ(qlm::Remove_Task_Schedule_Records("../x"), 0);
    EXPECT_EQ(qlm::Remove_Task_Schedule_Records(taskID.c_str()), 2);
    EXPECT_FALSE(fs::exists(dir + "/" + mine1));
    EXPECT_FALSE(fs::exists(dir + "/" + mine2));
    for (const std::string& kept : {other, std::string("not-json"), std::string("no-task")})
        EXPECT_TRUE(fs::exists(dir + "/" + kept)) << kept;
    EXPECT_EQ(qlm::Remove_Task_Schedule_Records(taskID.c_str()), 0);
}

TEST_F(ScheduleRecord, AnAbortMarksOnlyAOnceScheduleAndNeverBringsBackADeletedOne) {
    GWSTask task;
    Fill(task);
    const struct {
        const char* name;
        const char* query;
        bool bDeletedMeanwhile;  // by mission_delete, or the run now of an enable-0 schedule
        int result;
        const char* stored;  // backup_status in the file afterwards; nullptr: no file
    } cases[] = {
        {"once", "schedule_frequency=once", false, 0, "abort"},
        {"daily", "schedule_frequency=daily", false, 0, "scheduling"},
        {"no frequency", "", false, 0, "scheduling"},
        {"once, deleted between the abort's read and its write", "schedule_frequency=once", true, -ENOENT, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plattest::ScopedEnv q("QUERY_STRING", c.query);
        O_APP_CGI_AGENT agent(0);
        qlm::Schedule_Params p;
        qlm::Read_Schedule_Params(&agent, p);
        RAIIful_Json rec(qlm::Build_Schedule_Record(p, task, 1700000000));
        const std::string id = smbbackup::Create_New_ID();
        const std::string path = qlm::Scheduling_Mission_Dir() + "/" + id;
        ASSERT_EQ(qlm::Write_Schedule_Record(id.c_str(), rec.get()), 0);
        RAIIful_Json read(Json_From_File(path.c_str()));
        if (c.bDeletedMeanwhile) fs::remove(path);
        EXPECT_EQ(qlm::Mark_Once_Schedule_Aborted(id.c_str(), read.get()), c.result);
        RAIIful_Json after(Json_From_File(path.c_str()));
        if (c.stored == nullptr) {
            EXPECT_FALSE(fs::exists(path));
            continue;
        }
        ASSERT_TRUE(after);
        const char* status = nullptr;
        Json_Dict_Find_Str(after.get(), "backup_status", status);
        EXPECT_STREQ(status, c.stored);
    }
    EXPECT_TRUE(fs::is_empty(qlm::Db_Tmp_Dir()));  // no temporary file left behind
    RAIIful_Json rec(Json_Dict_Init());
    EXPECT_EQ(qlm::Mark_Once_Schedule_Aborted("../x", rec.get()), -22);
}

}  // namespace
