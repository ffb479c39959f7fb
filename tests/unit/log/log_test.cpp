// The activity log: stored form, inserts from many processes, lists, literal keyword search and
// clearing that never loses the rows of processes holding the log open.
#include "log/log_db.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "../catalog_testutil.h"

namespace {

using cattest::List;
using Names = std::vector<std::string>;

struct LogDb {
    sqlite3* db = nullptr;
    LogDb() {
        EXPECT_EQ(Sql_Open_Datebase(&db), 0);
        EXPECT_EQ(Sql_Log_Create_Table(db), 0);
    }
    ~LogDb() { sqlite3_close(db); }
    LogDb(const LogDb&) = delete;
    LogDb& operator=(const LogDb&) = delete;
    int Add(const char* task, const char* message) {
        return Sql_Log_Insert_Data(db, "Orvenna", task, "admin@x.org", "admin", "SUCCESS", "backup", "info", message);
    }
};

struct ActivityLog : ::testing::Test {
    cattest::Root root;
    std::string file = qlm::Log_Db_Path();
};

TEST_F(ActivityLog, StoredFileShowsTheTableToTheCli) {
    LogDb log;
    EXPECT_EQ(Sql_Log_Create_Table(log.db), 0);  // a second time is fine
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT sql FROM sqlite_master WHERE name='quillmere_sql_database';"),
              "CREATE TABLE quillmere_sql_database(ID INTEGER PRIMARY KEY AUTOINCREMENT,task_type TEXT NOT NULL,task_id "
              "TEXT NOT NULL,domain TEXT NOT NULL,user TEXT NOT NULL,sql_status TEXT NOT NULL,sql_timestamp INTEGER NOT "
              "NULL,sql_event TEXT NOT NULL,sql_type TEXT NOT NULL,sql_name TEXT NOT NULL)\n");
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT name FROM pragma_index_info('idx_quillmere_sql_database_task_id');"),
              "task_id\n");
    EXPECT_EQ(cattest::Sqlite_Cli(file, "PRAGMA journal_mode;"), "delete\n");
    struct stat st;
    ASSERT_EQ(stat(root.Db_Dir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(Sql_Log_Create_Table(nullptr), -1);
}

TEST_F(ActivityLog, InsertsNeedEveryTextAndStampTheClock) {
    plattest::ScopedEnv clock("QLM_FIXED_TIME", "1700000000");
    LogDb log;
    const char* v[9] = {"Orvenna", "task", "admin@x.org", "admin", "FAIL", "restore", "error", "message"};
    for (int i = 0; i < 8; ++i) {
        const char* a[8];
        std::copy(v, v + 8, a);
        a[i] = nullptr;
        EXPECT_EQ(Sql_Log_Insert_Data(log.db, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]), -22) << i;
    }
    EXPECT_EQ(Sql_Log_Insert_Data(nullptr, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]), -22);
    EXPECT_EQ(Sql_Get_Number_Of_Log(log.db), 0);
    EXPECT_EQ(Sql_Log_Insert_Data(log.db, v[0], " ", "", "", v[4], " ", v[6], ""), 0);

    List rows;
    ASSERT_EQ(Sql_Log_Get_All_Data(log.db, rows.get(), "All", -1, -1, nullptr), 0);
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(cattest::Keys(rows.at(0)), (std::set<std::string>{"ID", "task_type", "task_id", "domain", "user", "sql_status",
                                                                 "sql_timestamp", "sql_event", "sql_type", "sql_name"}));
    int64_t stamp = 0;
    EXPECT_EQ(Json_Dict_Find_Int64(rows.at(0), "sql_timestamp", stamp), 0);
    EXPECT_EQ(stamp, 1700000000);
    EXPECT_EQ(cattest::Type_Of(rows.at(0), "ID"), json_type_int);
    EXPECT_EQ(rows.Strings("task_id")[0], " ");
    EXPECT_EQ(Sql_Get_Number_Of_Record_By_Task_Type(log.db, "Orvenna"), 1);
    EXPECT_EQ(Sql_Get_Number_Of_Record_By_Task_Type(log.db, "' OR 1=1 --"), 0);
}

TEST_F(ActivityLog, ABatchKeepsItsOrderAndStampsOrStoresNothing) {
    LogDb log;
    EXPECT_EQ(Sql_Log_Insert_Rows(nullptr, {}), -22);
    EXPECT_EQ(Sql_Log_Insert_Rows(log.db, {}), 0);
    std::vector<Sql_Log_Row> batch;
    for (int i = 0; i < 3; ++i)
        batch.push_back(Sql_Log_Row{"Orvenna", "T", "d@x", "admin", "SUCCESS", "backup", "info",
                                    "row " + std::to_string(i) + " 'quoted'", 1000 + i});
    ASSERT_EQ(Sql_Log_Insert_Rows(log.db, batch), 0);
    List rows;
    ASSERT_EQ(Sql_Log_Get_All_Data(log.db, rows.get(), "All", -1, -1, nullptr), 0);
    EXPECT_EQ(rows.Strings("sql_name"), (Names{"row 2 'quoted'", "row 1 'quoted'", "row 0 'quoted'"}));
    int64_t stamp = 0;
    EXPECT_EQ(Json_Dict_Find_Int64(rows.at(2), "sql_timestamp", stamp), 0);
    EXPECT_EQ(stamp, 1000);
    // A batch the database refuses as a whole leaves no row of it behind.
    ASSERT_EQ(sqlite3_exec(log.db, "CREATE TRIGGER refuse BEFORE INSERT ON quillmere_sql_database WHEN "
                                   "NEW.sql_name = 'bad' BEGIN SELECT RAISE(ABORT, 'no'); END;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    batch[1].strMessage = "bad";
    EXPECT_EQ(Sql_Log_Insert_Rows(log.db, batch), -5052);
    EXPECT_EQ(Sql_Get_Number_Of_Log(log.db), 3);
}

// The queue of a process that logs item by item: written at 500 rows, when its oldest row is a
// second old, or when flushed; never row by row.
TEST_F(ActivityLog, AQueueWritesItsRowsByTheHundredsOrWhenOld) {
    LogDb log;
    Sql_Log_Batch queue;
    auto row = [](int i) {
        return Sql_Log_Row{"Orvenna", "T", "d@x", "admin", "SUCCESS", "backup", "info", "row " + std::to_string(i), 1};
    };
    for (int i = 0; i < 499; ++i) ASSERT_EQ(Sql_Log_Batch_Add(log.db, queue, row(i)), 0);
    EXPECT_EQ(Sql_Get_Number_Of_Log(log.db), 0);
    ASSERT_EQ(Sql_Log_Batch_Add(log.db, queue, row(499)), 0);
    EXPECT_EQ(Sql_Get_Number_Of_Log(log.db), 500);
    EXPECT_TRUE(queue.vRows.empty());
    // A young queue waits; one whose oldest row is a second old goes, by itself or with the next row.
    ASSERT_EQ(Sql_Log_Batch_Add(log.db, queue, row(500)), 0);
    EXPECT_EQ(Sql_Log_Batch_Due(log.db, queue), 0);
    EXPECT_EQ(Sql_Get_Number_Of_Log(log.db), 500);
    queue.llOldestMs -= 1000;
    EXPECT_EQ(Sql_Log_Batch_Due(log.db, queue), 0);
    EXPECT_EQ(Sql_Get_Number_Of_Log(log.db), 501);
    ASSERT_EQ(Sql_Log_Batch_Add(log.db, queue, row(501)), 0);
    queue.llOldestMs -= 1000;
    ASSERT_EQ(Sql_Log_Batch_Add(log.db, queue, row(502)), 0);
    EXPECT_EQ(Sql_Get_Number_Of_Log(log.db), 503);
    ASSERT_EQ(Sql_Log_Batch_Add(log.db, queue, row(503)), 0);
    EXPECT_EQ(Sql_Log_Batch_Flush(log.db, queue), 0);
    EXPECT_EQ(Sql_Get_Number_Of_Log(log.db), 504);
    List rows;
    ASSERT_EQ(Sql_Log_Get_All_Data(log.db, rows.get(), "All", 0, 2, nullptr), 0);
    EXPECT_EQ(rows.Strings("sql_name"), (Names{"row 503", "row 502"}));
    // A process without a log skips its rows.
    ASSERT_EQ(Sql_Log_Batch_Add(nullptr, queue, row(504)), 0);
    EXPECT_EQ(Sql_Log_Batch_Flush(nullptr, queue), 0);
    EXPECT_TRUE(queue.vRows.empty());
}

TEST_F(ActivityLog, ListsComeNewestFirstByPageAndTask) {
    LogDb log;
    const std::pair<const char*, const char*> rows[] = {{"T1", "r1"}, {"T2", "r2"}, {"T1", "r3"},
                                                        {" ", "r4"},  {"T1", "r5"}, {"T2", "r6"}};
    for (const auto& [task, msg] : rows) ASSERT_EQ(log.Add(task, msg), 0);
    struct Case {
        const char* type;
        int start, limit;
        const char* task;
        int rc;
        Names names;
    } cases[] = {
        {"All", -1, -1, nullptr, 0, {"r6", "r5", "r4", "r3", "r2", "r1"}},
        {"Orvenna", -1, -1, nullptr, 0, {"r6", "r5", "r4", "r3", "r2", "r1"}},
        {"All", 0, 2, nullptr, 0, {"r6", "r5"}},
        {"All", 4, 10, nullptr, 0, {"r2", "r1"}},
        {"All", -1, -1, "T1", 0, {"r5", "r3", "r1"}},
        {"Orvenna", 1, 1, "T1", 0, {"r3"}},
        {"All", 0, 10, "T1' OR '1'='1", 0, {}},
        {"orvenna", 0, 10, nullptr, -5052, {}},
        {"Backup", -1, -1, "T1", -5052, {}},
    };
    for (const Case& c : cases) {
        List list;
        EXPECT_EQ(Sql_Log_Get_All_Data(log.db, list.get(), c.type, c.start, c.limit, c.task), c.rc) << c.type;
        EXPECT_EQ(list.Strings("sql_name"), c.names) << c.type << " " << c.start << " " << (c.task ? c.task : "NULL");
    }
    EXPECT_EQ(Sql_Get_Number_Of_Log(log.db), 6);
    EXPECT_EQ(Sql_Get_Number_Of_Log(nullptr), 0);
}

TEST_F(ActivityLog, KeywordsMatchLiterally) {
    LogDb log;
    const char* messages[] = {"50% done", "50/ done x", "a_b", "axb", "(x) y", "/path/to", "[y] z", "it's", "it''s"};
    for (const char* m : messages) ASSERT_EQ(log.Add("T1", m), 0);
    ASSERT_EQ(log.Add("T2", "50% of T2"), 0);
    struct Case {
        const char* keyword;
        const char* task;
        Names found;
    } cases[] = {
        {"50%", nullptr, {"50% of T2", "50% done"}},
        {"50%", "T1", {"50% done"}},
        {"a_b", nullptr, {"a_b"}},
        {"(x)", nullptr, {"(x) y"}},
        {"/path", nullptr, {"/path/to"}},
        {"[y]", nullptr, {"[y] z"}},
        {"it's", nullptr, {"it's"}},
        {"DONE", nullptr, {"50/ done x", "50% done"}},
        {"'; DROP TABLE quillmere_sql_database; --", nullptr, {}},
        {"x", "T1' OR '1'='1", {}},
    };
    for (const Case& c : cases) {
        List found;
        EXPECT_EQ(Sql_Log_Find_Data(log.db, found.get(), c.task, c.keyword, 0, 50), 0);
        EXPECT_EQ(found.Strings("sql_name"), c.found) << c.keyword;
    }
    List page;
    Sql_Log_Find_Data(log.db, page.get(), nullptr, "", 1, 2);
    EXPECT_EQ(page.Strings("sql_name"), (Names{"it''s", "it's"}));
    List none;
    EXPECT_EQ(Sql_Log_Find_Data(log.db, none.get(), nullptr, nullptr, 0, 50), 0);
    EXPECT_EQ(none.size(), 0);
    EXPECT_EQ(Sql_Get_Number_Of_Log(log.db), 10);
}

TEST_F(ActivityLog, ClearingATaskLeavesTheOthers) {
    LogDb log;
    for (const char* t : {"T1", "T2", "T1", "T3"}) ASSERT_EQ(log.Add(t, "m"), 0);
    EXPECT_EQ(Sql_Log_Delete_Data("T9' OR '1'='1"), 0);
    EXPECT_EQ(Sql_Get_Number_Of_Log(log.db), 4);
    EXPECT_EQ(Sql_Log_Delete_Data("T1"), 0);
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT task_id FROM quillmere_sql_database ORDER BY ID;"), "T2\nT3\n");
    EXPECT_EQ(Sql_Log_Delete_Data(nullptr), -22);
}

TEST_F(ActivityLog, ClearingAllKeepsTheFileSoOpenHandlesKeepLogging) {
    LogDb worker;  // a backup worker that opened the log long before
    for (int i = 0; i < 5; ++i) ASSERT_EQ(worker.Add("T1", "before"), 0);
    struct stat before, after;
    ASSERT_EQ(stat(file.c_str(), &before), 0);

    EXPECT_EQ(Sql_Log_Delete_Data("All"), 0);
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    {
        LogDb action;
        EXPECT_EQ(Sql_Get_Number_Of_Log(action.db), 0);
        ASSERT_EQ(action.Add("All", "Cleared log entries before now."), 0);
    }
    ASSERT_EQ(worker.Add("T1", "after"), 0);
    LogDb reader;
    List rows;
    ASSERT_EQ(Sql_Log_Get_All_Data(reader.db, rows.get(), "All", -1, -1, nullptr), 0);
    EXPECT_EQ(rows.Strings("sql_name"), (Names{"after", "Cleared log entries before now."}));
    EXPECT_EQ(rows.Strings("task_id"), (Names{"T1", "All"}));
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT MIN(ID) FROM quillmere_sql_database;"), "1\n");  // ids start afresh
}

// The states a power cut or a stray write leaves a log in.
enum class Damage { CutTo1000Bytes, PagesAfterTheFirstZeroed, NotADatabase };

std::string Read_File(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Damages the log file in place and gives back its bytes as damaged.
std::string Damage_Log(const std::string& file, Damage d) {
    std::string bytes = Read_File(file);
    if (d == Damage::CutTo1000Bytes) {
        bytes.resize(1000);
    } else if (d == Damage::PagesAfterTheFirstZeroed) {
        const size_t page = (static_cast<unsigned char>(bytes[16]) << 8) | static_cast<unsigned char>(bytes[17]);
        std::fill(bytes.begin() + static_cast<long>(page), bytes.end(), '\0');
    } else {
        bytes = std::string(3000, 'x');
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    return bytes;
}

// The kept copies of the log in its folder.
Names Kept_Files(const std::string& dir) {
    Names kept;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind("quillmere_log_datebase.db.unreadable-", 0) == 0)
            kept.push_back(e.path().string());
    return kept;
}

// A log of enough rows to span many pages, damaged; then each way of meeting it. Whatever meets it
// moves the file aside unchanged, the fresh log begins with the row that names the kept copy, and
// the row that was being written when the damage was met is in the fresh log.
TEST_F(ActivityLog, ADamagedLogIsKeptAsideAndAFreshOneTakesEveryRow) {
    // Whose handle meets it: one opened before the damage (a worker running at a power cut), one
    // opened after it (an action), or none (the clears open their own).
    enum class By { OldHandle, NewHandle, NoHandle };
    struct Meet {
        const char* name;
        By by;
        const char* expectRow;  // the row the call leaves after the note, or nullptr
        std::function<void(sqlite3*)> call;
    };
    const std::vector<Meet> meets = {
        {"insert through a new handle", By::NewHandle, "after", [](sqlite3* db) {
             EXPECT_EQ(Sql_Log_Insert_Data(db, "Orvenna", "T", "d", "u", "SUCCESS", "backup", "info", "after"), 0);
         }},
        {"insert through an old handle", By::OldHandle, "after", [](sqlite3* db) {
             EXPECT_EQ(Sql_Log_Insert_Data(db, "Orvenna", "T", "d", "u", "SUCCESS", "backup", "info", "after"), 0);
         }},
        {"batch through an old handle", By::OldHandle, "after", [](sqlite3* db) {
             EXPECT_EQ(Sql_Log_Insert_Rows(db, {Sql_Log_Row{"Orvenna", "T", "d", "u", "SUCCESS", "backup", "info",
                                                            "after", 5}}),
                       0);
         }},
        {"whole list", By::NewHandle, nullptr, [](sqlite3* db) {
             List rows;
             EXPECT_EQ(Sql_Log_Get_All_Data(db, rows.get(), "All", -1, -1, nullptr), 0);
             EXPECT_EQ(rows.size(), 1);
         }},
        {"page and count", By::NewHandle, nullptr, [](sqlite3* db) {
             List rows;
             EXPECT_EQ(Sql_Log_Get_All_Data(db, rows.get(), "All", 0, 10, nullptr), 0);
             EXPECT_EQ(rows.size(), 1);
             EXPECT_EQ(Sql_Get_Number_Of_Log(db), 1);
         }},
        {"find", By::NewHandle, nullptr, [](sqlite3* db) {
             List rows;
             EXPECT_EQ(Sql_Log_Find_Data(db, rows.get(), nullptr, "damaged", 0, 10), 0);
             EXPECT_EQ(rows.size(), 1);
         }},
        {"clear of all", By::NoHandle, nullptr, [](sqlite3*) { EXPECT_EQ(Sql_Log_Delete_Data("All"), 0); }},
        {"clear of a task", By::NoHandle, nullptr, [](sqlite3*) { EXPECT_EQ(Sql_Log_Delete_Data("T"), 0); }},
    };
    for (Damage d : {Damage::CutTo1000Bytes, Damage::PagesAfterTheFirstZeroed, Damage::NotADatabase}) {
        for (const Meet& m : meets) {
            SCOPED_TRACE(std::string(m.name) + " damage " + std::to_string(static_cast<int>(d)));
            std::filesystem::remove_all(root.Db_Dir());
            std::unique_ptr<LogDb> old;
            {
                LogDb fill;
                std::vector<Sql_Log_Row> rows;
                for (int i = 0; i < 300; ++i)
                    rows.push_back(Sql_Log_Row{"Orvenna", "T", "d", "u", "SUCCESS", "backup", "info",
                                               "row " + std::to_string(i) + std::string(200, 'r'), i});
                ASSERT_EQ(Sql_Log_Insert_Rows(fill.db, rows), 0);
            }
            if (m.by == By::OldHandle) old = std::make_unique<LogDb>();
            const std::string damaged = Damage_Log(file, d);
            if (m.by == By::OldHandle) {
                m.call(old->db);
            } else if (m.by == By::NewHandle) {
                sqlite3* db = nullptr;
                ASSERT_EQ(Sql_Open_Datebase(&db), 0);
                m.call(db);
                sqlite3_close(db);
            } else {
                m.call(nullptr);
            }
            const Names kept = Kept_Files(root.Db_Dir());
            ASSERT_EQ(kept.size(), 1u);
            EXPECT_EQ(Read_File(kept[0]), damaged);
            EXPECT_EQ(cattest::Sqlite_Cli(file, "PRAGMA quick_check;"), "ok\n");
            const std::string rows =
                cattest::Sqlite_Cli(file, "SELECT ID, sql_status, sql_type, task_id, sql_name FROM quillmere_sql_database ORDER BY ID;");
            const std::string note = "1|FAIL|error| |The activity log " + file + " was damaged: it was kept as " +
                                     kept[0] + " and a new log was started.\n";
            EXPECT_EQ(rows, m.expectRow ? note + "2|SUCCESS|info|T|" + m.expectRow + "\n" : note);
        }
    }
}

// A log that SQLite can open but not use for now, or not open at all, is never moved.
TEST_F(ActivityLog, ALogThatCannotBeOpenedStaysWhereItIs) {
    std::filesystem::create_directories(file);  // a folder in the log's place
    sqlite3* db = nullptr;
    EXPECT_EQ(Sql_Open_Datebase(&db), -1);
    EXPECT_EQ(db, nullptr);
    EXPECT_EQ(Sql_Log_Delete_Data("All"), -1);
    EXPECT_TRUE(std::filesystem::is_directory(file));
    EXPECT_EQ(Kept_Files(root.Db_Dir()), Names{});
}

TEST_F(ActivityLog, FourProcessesInsertingAtOnceKeepEveryRow) {
    { LogDb create; }
    constexpr int kProcs = 4, kRows = 100;
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            int failed = 0;
            sqlite3* db = nullptr;
            if (Sql_Open_Datebase(&db) != 0 || Sql_Log_Create_Table(db) != 0) _exit(2);
            const std::string task = "P" + std::to_string(p);
            for (int i = 0; i < kRows; ++i) {
                const std::string msg = std::to_string(i);
                if (Sql_Log_Insert_Data(db, "Orvenna", task.c_str(), "", "", "SUCCESS", "backup", "info", msg.c_str()) != 0)
                    ++failed;
            }
            sqlite3_close(db);
            _exit(failed == 0 ? 0 : 1);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    LogDb log;
    EXPECT_EQ(Sql_Get_Number_Of_Log(log.db), kProcs * kRows);
    EXPECT_EQ(cattest::Scalar(file, "SELECT COUNT(DISTINCT ID) FROM quillmere_sql_database;"), kProcs * kRows);
    for (int p = 0; p < kProcs; ++p) {
        List rows;
        ASSERT_EQ(Sql_Log_Get_All_Data(log.db, rows.get(), "All", -1, -1, ("P" + std::to_string(p)).c_str()), 0);
        ASSERT_EQ(rows.size(), kRows);
        // Each process's rows got increasing ids in the order it wrote them.
        for (int i = 0; i < kRows; ++i) EXPECT_EQ(rows.Strings("sql_name")[i], std::to_string(kRows - 1 - i));
    }
}

TEST_F(ActivityLog, AWholeLogReadPassesEveryRowInOrder) {
    { LogDb create; }
    constexpr int kRows = 12345;
    cattest::Exec_On(file, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < 12345) "
                           "INSERT INTO quillmere_sql_database (task_type,task_id,domain,user,sql_status,sql_timestamp,"
                           "sql_event,sql_type,sql_name) SELECT 'Orvenna', CASE WHEN i % 3 = 0 THEN 'T3' ELSE 'T' END,"
                           "'','','SUCCESS',i,'backup','info',i FROM n;");
    LogDb log;
    List all;
    ASSERT_EQ(Sql_Log_Get_All_Data(log.db, all.get(), "All", -1, -1, nullptr), 0);
    ASSERT_EQ(all.size(), kRows);
    const Names names = all.Strings("sql_name");
    for (int i = 0; i < kRows; ++i) ASSERT_EQ(names[i], std::to_string(kRows - i));
    List third;
    ASSERT_EQ(Sql_Log_Get_All_Data(log.db, third.get(), "All", -1, -1, "T3"), 0);
    EXPECT_EQ(third.size(), kRows / 3);
    EXPECT_EQ(third.Strings("sql_name").front(), "12345");
    EXPECT_EQ(third.Strings("sql_name").back(), "3");
}

}  // namespace
