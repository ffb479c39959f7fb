// The service retry wrapper (rows, pauses, the attempt limit) and the scoutix permission check.
#include "backup/backup_retry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../platform_testdir.h"
#include "log/log_db.h"
#include "orvenna_task.h"
#include "common/shellquote.h"

namespace {

// What the fake service saw, and how many times it fails before it succeeds.
struct FakeService {
    int failures = 0;
    int failResult = -1;
    int okResult = 0;
    int calls = 0;
    std::vector<sqlite3*> dbs;
    std::vector<std::string> paths;
} g_fake;

int Fake(GWSTask*, std::string path, const char*, sqlite3* db) {
    ++g_fake.calls;
    g_fake.dbs.push_back(db);
    g_fake.paths.push_back(path);
    return g_fake.calls <= g_fake.failures ? g_fake.failResult : g_fake.okResult;
}

struct Retry : ::testing::Test {
    plattest::TempDir dir;
    plattest::ScopedEnv root{"QLM_ROOT", dir.path()};
    plattest::ScopedEnv scale{"QLM_SLEEP_SCALE", "0"};
    sqlite3* db = nullptr;
    GWSTask task;
    void SetUp() override {
        g_fake = FakeService{};
        ASSERT_EQ(Sql_Open_Datebase(&db), 0);
        ASSERT_EQ(Sql_Log_Create_Table(db), 0);
        task.Set_Admin_Email("admin@x.org");
    }
    void TearDown() override { sqlite3_close(db); }
    // "status/type/text" of every row, oldest first.
    std::vector<std::string> Rows() {
        std::vector<std::string> out;
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT sql_status, sql_type, sql_name, task_id, user, domain, sql_event, task_type "
                               "FROM quillmere_sql_database ORDER BY ID", -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::string cols[8];
            for (int i = 0; i < 8; ++i) cols[i] = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
            EXPECT_EQ(cols[3], "tid");
            EXPECT_EQ(cols[4], "alice");
            EXPECT_EQ(cols[5], "admin@x.org");
            EXPECT_EQ(cols[6], "backup");
            EXPECT_EQ(cols[7], "Orvenna");
            out.push_back(cols[0] + "/" + cols[1] + "/" + cols[2]);
        }
        sqlite3_finalize(st);
        return out;
    }
    int Run(bool force = false) {
        return Backup_Service_With_Retry(Fake, &task, "/m/rec", "tid", "alice", db, "Drive backup fail.", force);
    }
};

TEST_F(Retry, TwoFailuresThenSuccessLeaveTwoErrorAndTwoPauseRows) {
    g_fake.failures = 2;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(g_fake.calls, 3);
    const std::string err = "FAIL/info/Error occurred while backing up all accounts in domain admin@x.org: Drive backup fail..";
    EXPECT_EQ(Rows(), (std::vector<std::string>{err, "FAIL/warn/Drive backup fail. Waiting 20 sec before retry 2.", err,
                                                "FAIL/warn/Drive backup fail. Waiting 40 sec before retry 3."}));
    // Every attempt gets the record path and the log handle.
    EXPECT_EQ(g_fake.paths, (std::vector<std::string>(3, "/m/rec")));
    EXPECT_EQ(g_fake.dbs, (std::vector<sqlite3*>(3, db)));
}

TEST_F(Retry, PositiveResultsAreDoneAndAreReturned) {
    for (int ok : {0, 1, 7}) {
        g_fake = FakeService{};
        g_fake.okResult = ok;
        EXPECT_EQ(Run(), ok);
        EXPECT_EQ(g_fake.calls, 1);
    }
    EXPECT_TRUE(Rows().empty());
}

TEST_F(Retry, FifteenFailuresReturnTheLastResultAfterFourteenCappedPauses) {
    g_fake.failures = 1000;
    g_fake.failResult = -161;
    EXPECT_EQ(Run(true), -161);
    EXPECT_EQ(g_fake.calls, 15);
    std::vector<std::string> pauses;
    int errors = 0;
    for (const std::string& r : Rows()) {
        if (r.rfind("FAIL/warn/", 0) == 0) pauses.push_back(r.substr(10));
        else ++errors;
    }
    EXPECT_EQ(errors, 15);
    const unsigned expected[] = {20, 40, 80, 160, 320, 640, 1280, 2560, 5120, 10240, 20480, 30000, 30000, 30000};
    ASSERT_EQ(pauses.size(), 14u);
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(pauses[i], "Drive backup fail. Waiting " + std::to_string(expected[i]) + " sec before retry " +
                                 std::to_string(i + 2) + ".");
}

TEST(PermissionCheck, ExitStatusAndVerdictFile) {
    plattest::TempDir dir;
    const std::string out = dir / "verdict";
    struct Case {
        const char* script;
        int expected;
    } cases[] = {
        {"printf '{\"is_pass\": true}'; exit 0", 0},
        {"printf '{\"is_pass\": true}'; exit 1", -1},
        {"printf '{\"is_pass\": false}'", -3},
        {"printf '{\"other\": true}'", -3},
        {"printf '{\"is_pass\": \"true\"}'", -3},
        {"printf '[true]'", -3},
        {"printf ''", -2},
        {"printf 'is_pass: true'", -2},
        {"kill -9 $$", -1},
    };
    for (const Case& c : cases) {
        unlink(out.c_str());
        std::string line = "sh -c " + qlm::ShellQuote(c.script) + " >" + qlm::ShellQuote(out) + " 2>/dev/null";
        EXPECT_EQ(Check_Permission_By_Cmd(line, out), c.expected) << c.script;
    }
}

}  // namespace
