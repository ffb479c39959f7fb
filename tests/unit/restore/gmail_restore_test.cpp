// The Gmail restore against a gam that logs its arguments: the insert line, what a repeated attempt
// skips, and the accounts a restore passes over.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../platform_testdir.h"
#include "common/atomicfile.h"
#include "common/filehelpers.h"
#include "common/paths.h"
#include "dbcontrol/gmail_db.h"
#include "log/log_db.h"
#include "mission/mission_record.h"
#include "orvenna_task.h"
#include "plat_file.h"
#include "plat_json.h"
#include "restore/gmail_restore.h"
#include "restore/restore_cmd.h"
#include "restore/restore_state.h"

namespace {

using Argv = std::vector<std::string>;

struct GmailFixture : ::testing::Test {
    plattest::TempDir dir;
    plattest::ScopedEnv root{"QLM_ROOT", dir.path()};
    plattest::ScopedEnv scale{"QLM_SLEEP_SCALE", "0"};
    std::string mission, log;
    sqlite3* db = nullptr;
    GWSTask task;

    void SetUp() override {
        smbbackup::Create_Path(qlm::Mission_Dir().c_str(), 0700);
        smbbackup::Create_Path(qlm::Bin_Dir().c_str(), 0755);
        smbbackup::Create_Path(qlm::Tmp_Dir().c_str(), 0700);
        mission = qlm::Mission_Dir() + "/m1";
        plattest::Write_File(mission, R"({"gmail_current": 0, "backup_current": 0})");
        log = dir / "gam.log";
        ASSERT_EQ(Sql_Open_Datebase(&db), 0);
        ASSERT_EQ(Sql_Log_Create_Table(db), 0);
        task.Set_Task_ID("t1");
        task.Set_Admin_Email("admin@x.org");
        Gam("exit 0");
    }
    void TearDown() override { sqlite3_close(db); }

    // gam logs its arguments one per line, a blank line after each call, then runs body ($LOG: the log).
    void Gam(const std::string& body) {
        const std::string script = "#!/bin/sh\nLOG='" + log + "'\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >>\"$LOG\"; "
                                   "done\necho >>\"$LOG\"\n" + body + "\n";
        plattest::Write_File(qlm::Tool_Path("gam"), script);
        chmod(qlm::Tool_Path("gam").c_str(), 0755);
    }
    std::vector<Argv> Calls() {
        std::vector<Argv> calls(1);
        std::ifstream in(log);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty()) calls.emplace_back();
            else calls.back().push_back(line);
        }
        calls.pop_back();
        unlink(log.c_str());
        return calls;
    }
    // A backed-up account: its store folder, and (unless bNoCatalog) a catalog of the local ids.
    void Backed_Up(const std::string& user, const std::vector<std::string>& ids, bool bNoCatalog = false) {
        smbbackup::Create_Path(qlm::Backup_Service_Dir("gmail").c_str(), 0700);
        smbbackup::Create_Path((qlm::Backup_Service_Dir("gmail") + "/t1/" + user).c_str(), 0700);
        std::map<std::string, GmailData> rows;
        for (const std::string& id : ids) {
            plattest::Write_File(qlm::Gmail_Stored_Message_Path("t1", user, id), "Subject: " + id + "\r\n\r\nx\r\n");
            rows["g-" + id].strLocalID = id;
        }
        if (!bNoCatalog) {
            ASSERT_EQ(Gmail_Write_DB_Append(rows, user.c_str(), "t1", nullptr), 0);
        }
    }
    int Restore(const char* source, const char* target, int mode, PT_JSON list = nullptr) {
        return Restore_Gmail(&task, source, target, list, mission, mode, db);
    }
    int64_t Record_Int(const char* key) {
        RAIIful_Json r(qlm::Json_Read_Object_File(mission));
        return qlm::Mission_Int(r.get(), key);
    }
    std::vector<std::string> Rows(const char* prefix) {
        std::vector<std::string> out;
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT sql_status || ' ' || sql_type || ' ' || sql_name FROM quillmere_sql_database "
                               "WHERE sql_name LIKE ?1 || '%' ORDER BY ID", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, prefix, -1, SQLITE_TRANSIENT);
        while (sqlite3_step(st) == SQLITE_ROW) out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        sqlite3_finalize(st);
        return out;
    }
    std::string Label() {
        RAIIful_Json r(qlm::Json_Read_Object_File(mission));
        const char* s = "";
        Json_Dict_Find_Str(r.get(), qlm::kKeyRestoreStampGmail, s);
        return s;
    }
};

TEST_F(GmailFixture, TheInsertLineKeepsEveryTextOneArgumentAndNamesLatin1RightAfterTheFile) {
    const char* target = "o'neil&co@x.org";
    const std::string file = dir / "it's $(touch pwned) ; mail.eml";
    const std::string label = "Restore \"`id`\" 100%";
    struct Case {
        const char* body;
        int result;
        size_t runs;
    } cases[] = {
        {"exit 0", 0, 1},
        {"[ $(grep -c '^$' \"$LOG\") -ge 3 ] && exit 0; exit 1", 0, 3},  // fails twice, then works
        {"exit 6", 1, 5},
        {"echo 'ERROR: Connection error: reset' >&2; exit 0", -1, 1},  // whatever the status says
    };
    for (const Case& c : cases) {
        Gam(c.body);
        EXPECT_EQ(Upload_Gmail_With_Retry(target, file, label), c.result) << c.body;
        std::vector<Argv> calls = Calls();
        ASSERT_EQ(calls.size(), c.runs) << c.body;
        for (const Argv& argv : calls)
            EXPECT_EQ(argv, (Argv{"user", target, "insert", "messages", "emlfile", file, "charset", "latin1", "deleted",
                                  "false", "addlabel", label}));
    }
    struct stat st {};
    EXPECT_NE(stat((dir / "pwned").c_str(), &st), 0);
    std::vector<std::string> left;
    GetFolderList(left, qlm::Tmp_Dir().c_str());
    EXPECT_EQ(left, std::vector<std::string>{});
    EXPECT_EQ(Upload_Gmail_With_Retry("", file, label), 1);
    EXPECT_TRUE(Calls().empty()) << "no line runs without an account";
}

TEST_F(GmailFixture, ARepeatedAttemptSkipsWhatTheJournalHoldsAndKeepsTheLabel) {
    Backed_Up("alice@x.org", {"L1", "L2", "L3"});
    Backed_Up("bob@x.org", {"B1"});
    // The first attempt loses its connection at the second message.
    Gam("[ $(grep -c '^$' \"$LOG\") -ge 2 ] && { echo 'ERROR: Connection error' >&2; exit 1; }; exit 0");
    EXPECT_EQ(Restore("alice@x.org", "carol@x.org", 1), -1);
    EXPECT_EQ(Calls().size(), 2u);
    const std::string label = Label();
    EXPECT_EQ(label.rfind("Quillmere_Restore_", 0), 0u);
    EXPECT_EQ(Record_Int(qlm::kKeyGmailCurrent), 1);

    // The wrapper zeroes the counters; the journal raises them again before anything runs.
    plattest::Write_File(mission, R"({"gmail_current": 0, "backup_current": 0, "restore_stamp_gmail": ")" + label +
                                      R"("})");
    Gam("exit 0");
    EXPECT_EQ(Restore("alice@x.org", "carol@x.org", 1), 0);
    std::vector<Argv> calls = Calls();
    ASSERT_EQ(calls.size(), 2u);
    for (const Argv& argv : calls) {
        EXPECT_EQ(argv[1], "carol@x.org");
        EXPECT_EQ(argv.back(), label);
        EXPECT_NE(argv[5].find("/t1/alice@x.org/"), std::string::npos);
    }
    EXPECT_EQ(Record_Int(qlm::kKeyGmailCurrent), 3);
    EXPECT_EQ(Record_Int(qlm::kKeyBackupCurrent), 3);
    std::unordered_map<std::string, std::string> journal;
    qlm::Read_Restore_Journal(qlm::Restore_Journal_Path(mission), journal);
    EXPECT_EQ(journal.size(), 3u);
    EXPECT_EQ(journal.count("alice@x.org/L1") + journal.count("alice@x.org/L2") + journal.count("alice@x.org/L3"), 3u);

    // Everything is in the journal: a third attempt inserts nothing.
    EXPECT_EQ(Restore("alice@x.org", "carol@x.org", 1), 0);
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(Rows("Gmail restore summary.").back(),
              "SUCCESS info Gmail restore summary. source_user=alice@x.org target_user=carol@x.org task_id=t1 "
              "restore_mode=1 success=0 fail=0 skipped_users=0");
}

TEST_F(GmailFixture, SelectionsAndTheAccountsPassedOver) {
    Backed_Up("alice@x.org", {"L1", "L2"});
    Backed_Up("bob@x.org", {"B1", "B2"});
    Backed_Up("ghost@x.org", {"G1"}, /*bNoCatalog=*/true);
    RAIIful_Json list(Json_From_String(R"(["L2", "B1", "G1"])"));
    EXPECT_EQ(Restore("alice@x.org", nullptr, 0, list.get()), 0);
    std::map<std::string, std::string> into;  // stored file -> account
    for (const Argv& argv : Calls()) into[argv[5]] = argv[1];
    EXPECT_EQ(into, (std::map<std::string, std::string>{
                        {qlm::Gmail_Stored_Message_Path("t1", "alice@x.org", "L2"), "alice@x.org"},
                        {qlm::Gmail_Stored_Message_Path("t1", "bob@x.org", "B1"), "bob@x.org"}}));
    EXPECT_EQ(Rows("Skipped Gmail restore of an account that has no catalog."),
              std::vector<std::string>{"FAIL warn Skipped Gmail restore of an account that has no catalog. "
                                       "source_user=ghost@x.org task_id=t1"});

    // The whole domain passes over it as well (an empty mailbox has nothing to restore) and
    // restores every other account.
    EXPECT_EQ(Restore("alice@x.org", nullptr, 2), 0);
    EXPECT_EQ(Rows("Skipped Gmail restore of an account that has no catalog.").size(), 2u);
    EXPECT_EQ(Rows("Gmail restore summary.").back().substr(0, 8), "SUCCESS ");
    std::unordered_map<std::string, std::string> journal;
    qlm::Read_Restore_Journal(qlm::Restore_Journal_Path(mission), journal);
    EXPECT_EQ(journal.size(), 4u);
    EXPECT_EQ(journal.count("alice@x.org/L1") + journal.count("bob@x.org/B2"), 2u);

    // A catalog that exists and cannot be read is no empty mailbox: it fails the attempt.
    plattest::Write_File(qlm::Backup_Service_Dir("gmail_db") + "/t1/ghost@x.org.db", std::string(4096, 'x'));
    EXPECT_EQ(Restore("alice@x.org", nullptr, 2), -161);
    EXPECT_EQ(Rows("Failed to get Gmail backup DB data.").size(), 1u);
    EXPECT_EQ(Rows("Gmail restore summary.").back().substr(0, 4), "FAIL");
}

TEST_F(GmailFixture, AMissingStoreFailsTheListing) {
    smbbackup::Create_Path(qlm::Backup_Service_Dir("gmail").c_str(), 0700);
    EXPECT_EQ(Restore("alice@x.org", nullptr, 2), -161);  // no store folder of the task
    EXPECT_EQ(Rows("Failed to list Gmail backup users."),
              std::vector<std::string>{"FAIL info Failed to list Gmail backup users. task_id=t1 ret=-161"});
    EXPECT_TRUE(Calls().empty());
}

}  // namespace
