#include "log/log_db.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "common/clock.h"
#include "common/guards.h"
#include "common/paths.h"
#include "dbcontrol/catalog_common.h"
#include "plat_file.h"
#include "plat_lock.h"

using namespace qlm::catalog;

namespace {

constexpr int kBusyMs = 6000;
constexpr int kInsertLockWaitMs = 15000;
// Rows per statement of a whole-log read: each chunk is its own short read transaction.
constexpr int kChunkRows = 5000;

constexpr Json_Column kJsonForm[] = {
    {"ID", "ID", Json_Kind::Integer},
    {"task_type", "task_type", Json_Kind::Text},
    {"task_id", "task_id", Json_Kind::Text},
    {"domain", "domain", Json_Kind::Text},
    {"user", "user", Json_Kind::Text},
    {"sql_status", "sql_status", Json_Kind::Text},
    {"sql_timestamp", "sql_timestamp", Json_Kind::Integer},
    {"sql_event", "sql_event", Json_Kind::Text},
    {"sql_type", "sql_type", Json_Kind::Text},
    {"sql_name", "sql_name", Json_Kind::Text},
};

// SQLite's code of the last failure on db, SQLITE_ERROR when it names none.
int Failure_Code(sqlite3* db) {
    const int rc = sqlite3_errcode(db);
    return rc != SQLITE_OK ? rc : SQLITE_ERROR;
}

// Hands the rows of one bound query to onRow; SQLite's code (0 on success).
int Query_Each(sqlite3* db, const char* sql, const std::vector<Bind_Value>& binds, const Json_Row_Sink& onRow) {
    StmtHandle stmt;
    if (const int rc = Prepare(db, sql, stmt); rc != SQLITE_OK) return rc;
    if (const int rc = Bind_All(stmt.get(), binds); rc != SQLITE_OK) return rc;
    return Rows_Each_Json(stmt.get(), kJsonForm, onRow) == 0 ? SQLITE_OK : Failure_Code(db);
}

// Every row newest first, kChunkRows at a time below the last ID read.
int Query_All_Chunked(sqlite3* db, const char* pszTaskID, const Json_Row_Sink& onRow) {
    long long below = LLONG_MAX;
    for (;;) {
        long long rows = 0;
        bool idMissing = false;
        const Json_Row_Sink chunk = [&](RAIIful_Json& row) {
            int64_t id = 0;
            if (Json_Dict_Find_Int64(row.get(), "ID", id) != 0) idMissing = true;
            below = id;
            ++rows;
            return onRow(row);
        };
        int rc;
        if (pszTaskID)
            rc = Query_Each(db,
                            "SELECT * from quillmere_sql_database WHERE task_id = ?1 AND ID < ?2 ORDER BY ID DESC "
                            "LIMIT ?3;",
                            {std::string(pszTaskID), below, static_cast<long long>(kChunkRows)}, chunk);
        else
            rc = Query_Each(db, "SELECT * from quillmere_sql_database WHERE ID < ?1 ORDER BY ID DESC LIMIT ?2;",
                            {below, static_cast<long long>(kChunkRows)}, chunk);
        if (rc != SQLITE_OK || rows < kChunkRows) return rc;
        if (idMissing) return SQLITE_ERROR;
    }
}

// The first column of a count; SQLite's code.
int Count(sqlite3* db, const char* sql, const std::vector<Bind_Value>& binds, int& n) {
    StmtHandle stmt;
    if (const int rc = Prepare(db, sql, stmt); rc != SQLITE_OK) return rc;
    if (const int rc = Bind_All(stmt.get(), binds); rc != SQLITE_OK) return rc;
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) return Failure_Code(db);
    n = sqlite3_column_int(stmt.get(), 0);
    return SQLITE_OK;
}

// Empties the table in place: the inode stays, so handles other processes opened earlier keep
// writing into the log that everybody reads. The row ids restart at 1 as in a fresh file.
int Clear_All_Rows(sqlite3* db) {
    Transaction txn(db);
    if (const int rc = txn.Begin_Immediate(); rc != SQLITE_OK) return rc;
    if (const int rc = Exec_Constant(db, "DELETE FROM quillmere_sql_database;"); rc != SQLITE_OK) return rc;
    if (const int rc = Exec_Constant(db, "DELETE FROM sqlite_sequence WHERE name='quillmere_sql_database';");
        rc != SQLITE_OK)
        return rc;
    return txn.Commit();
}

constexpr const char* kCreateTableSql =
    "CREATE TABLE IF NOT EXISTS quillmere_sql_database(ID INTEGER PRIMARY KEY AUTOINCREMENT,"
    "task_type TEXT NOT NULL,task_id TEXT NOT NULL,domain TEXT NOT NULL,user TEXT NOT NULL,"
    "sql_status TEXT NOT NULL,sql_timestamp INTEGER NOT NULL,sql_event TEXT NOT NULL,"
    "sql_type TEXT NOT NULL,sql_name TEXT NOT NULL);";
// Task pages and per-task clears would otherwise scan the whole, never rotated log.
constexpr const char* kCreateIndexSql =
    "CREATE INDEX IF NOT EXISTS idx_quillmere_sql_database_task_id ON quillmere_sql_database(task_id);";

int Create_Table(sqlite3* db) {
    if (const int rc = Exec_Constant(db, kCreateTableSql); rc != SQLITE_OK) return rc;
    return Exec_Constant(db, kCreateIndexSql);
}

constexpr const char* kInsertSql =
    "INSERT INTO quillmere_sql_database (task_type,task_id,domain,user,sql_status,sql_timestamp,sql_event,"
    "sql_type,sql_name) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?);";

// SQLite's code.
int Insert_Row(sqlite3_stmt* stmt, const Sql_Log_Row& r) {
    const std::vector<Bind_Value> values{r.strTaskType, r.strTaskID, r.strDomain, r.strUser, r.strStatus,
                                         static_cast<long long>(r.llTimestamp), r.strEvent, r.strType, r.strMessage};
    sqlite3_reset(stmt);
    if (const int rc = Bind_All(stmt, values); rc != SQLITE_OK) return rc;
    const int rc = sqlite3_step(stmt);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// The rows in one transaction, all or none. SQLite's code.
int Insert_Rows(sqlite3* db, const std::vector<Sql_Log_Row>& rows) {
    Transaction txn(db);
    if (const int rc = txn.Begin_Immediate(); rc != SQLITE_OK) return rc;
    StmtHandle stmt;
    if (const int rc = Prepare(db, kInsertSql, stmt); rc != SQLITE_OK) return rc;
    for (const Sql_Log_Row& row : rows)
        if (const int rc = Insert_Row(stmt.get(), row); rc != SQLITE_OK) return rc;
    stmt.reset();
    return txn.Commit();
}

// --- A damaged log ---
//
// A log file that SQLite finds damaged (a power cut tore it, or it is no database at all) would
// refuse every row from then on, and with it every action that logs. It is moved aside for the
// administrator instead and a fresh log takes its place, beginning with a row that names the kept
// file. Only a file SQLite reports damaged goes; a busy or unopenable one is left as it is.
// Every move happens under the insert lock, so no writer of the log is inside a transaction of
// the file that goes. A handle opened on the old file notices the move (SQLite compares its file
// with the one at the log's path) and writes and reads through a handle of the fresh log.


// True when db's file is no longer the file at the log's path.
bool Moved_Away(sqlite3* db) {
    int moved = 0;
    return sqlite3_file_control(db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved != 0;
}

int Open_Raw(DbHandle& db) {
    const std::string dir = qlm::Db_Dir();
    if (access(dir.c_str(), F_OK) != 0) smbbackup::Create_Path(dir.c_str(), 0700);
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(qlm::Log_Db_Path().c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    db.reset(raw);
    if (rc != SQLITE_OK) return rc;
    Configure_Handle(raw, kBusyMs);
    Exec_Constant(raw, "PRAGMA journal_mode=DELETE;");
    Exec_Constant(raw, "PRAGMA synchronous=FULL;");
    return SQLITE_OK;
}

// With the insert lock held: when SQLite finds the file at the log's path damaged, moves it
// aside and starts a fresh log whose first row names the kept file. True when it did.
bool Start_Fresh_If_Damaged() {
    const std::string file = qlm::Log_Db_Path();
    if (!File_Damaged(file, kBusyMs)) return false;
    std::string kept;
    if (Move_File_Aside(file, kept) != 0) return false;
    DbHandle db;
    if (Open_Raw(db) != SQLITE_OK || Create_Table(db.get()) != SQLITE_OK) return true;
    const Sql_Log_Row row{"Orvenna", " ", "", "", "FAIL", " ", "error",
                          "The activity log " + file + " was damaged: it was kept as " + kept +
                              " and a new log was started.",
                          static_cast<int64_t>(qlm::Now())};
    Insert_Rows(db.get(), {row});
    return true;
}

// SQLite's code of running a constant read to its end.
int Read_Through(sqlite3* db, const char* sql) {
    StmtHandle stmt;
    if (const int rc = Prepare(db, sql, stmt); rc != SQLITE_OK) return rc;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// The cheap reads that meet a torn file at once: the schema, and the newest row of the table.
int Probe(sqlite3* db) {
    if (const int rc = Read_Through(db, "SELECT name FROM sqlite_master;"); rc != SQLITE_OK) return rc;
    if (Table_Exists(db, "quillmere_sql_database") != 1) return SQLITE_OK;
    return Read_Through(db, "SELECT ID FROM quillmere_sql_database ORDER BY ID DESC LIMIT 1;");
}

// Opens the log; a log found damaged at once is moved aside and opened afresh (taking the insert
// lock for that unless the caller holds it). SQLite's code of the open; *pFresh tells whether this
// call started a fresh log.
int Open_Log(DbHandle& db, bool locked, bool* pFresh = nullptr) {
    if (pFresh) *pFresh = false;
    if (const int rc = Open_Raw(db); rc != SQLITE_OK) return rc;
    if (!Sql_Log_Damage_Code(Probe(db.get()))) return SQLITE_OK;
    int fd = -1;
    if (!locked && Get_File_Lock(qlm::Sql_Lock_Path().c_str(), kInsertLockWaitMs, fd) != 0) return SQLITE_OK;
    LockGuard lock(&fd);
    db.reset();
    const bool fresh = Start_Fresh_If_Damaged();
    if (pFresh) *pFresh = fresh;
    return Open_Raw(db);
}

// Runs op (SQLite's code) on db, or on a handle of the fresh log when db's file was moved aside.
// When op meets a damaged log, the log is moved aside and started afresh (under the insert lock,
// which the caller holds when locked) and op runs again on the fresh log when retry says so.
int With_Log(sqlite3* db, bool locked, const std::function<int(sqlite3*)>& op,
             const std::function<bool()>& retry = [] { return true; }) {
    DbHandle fresh;
    if (Moved_Away(db)) {
        if (Open_Log(fresh, locked) != SQLITE_OK || Create_Table(fresh.get()) != SQLITE_OK) return SQLITE_CANTOPEN;
        db = fresh.get();
    }
    const int rc = op(db);
    if (!Sql_Log_Damage_Code(rc)) return rc;
    fresh.reset();
    {
        int fd = -1;
        if (!locked && Get_File_Lock(qlm::Sql_Lock_Path().c_str(), kInsertLockWaitMs, fd) != 0) return rc;
        LockGuard lock(&fd);
        if (!Start_Fresh_If_Damaged() && !Moved_Away(db)) return rc;
    }
    if (!retry() || Open_Raw(fresh) != SQLITE_OK || Create_Table(fresh.get()) != SQLITE_OK) return rc;
    return op(fresh.get());
}

}  // namespace

int Sql_Open_Datebase(sqlite3** ppDb) {
    if (ppDb == nullptr) return -1;
    *ppDb = nullptr;
    DbHandle db;
    if (Open_Log(db, false) != SQLITE_OK) return -1;
    *ppDb = db.release();
    return 0;
}

int Sql_Log_Create_Table(sqlite3* db) {
    if (db == nullptr) return -1;
    return With_Log(db, false, Create_Table) == SQLITE_OK ? 0 : -1;
}

int Sql_Log_Insert_Data(sqlite3* db, const char* pszTaskType, const char* pszTaskID, const char* pszDomain,
                        const char* pszUser, const char* pszStatus, const char* pszEvent, const char* pszType,
                        const char* pszMessage) {
    if (!db || !pszTaskType || !pszTaskID || !pszDomain || !pszUser || !pszStatus || !pszEvent || !pszType || !pszMessage)
        return -22;
    return Sql_Log_Insert_Rows(db, {Sql_Log_Row{pszTaskType, pszTaskID, pszDomain, pszUser, pszStatus, pszEvent,
                                                pszType, pszMessage, static_cast<int64_t>(qlm::Now())}});
}

int Sql_Log_Insert_Rows(sqlite3* db, const std::vector<Sql_Log_Row>& rows) {
    if (db == nullptr) return -22;
    if (rows.empty()) return 0;
    int fd = -1;
    if (Get_File_Lock(qlm::Sql_Lock_Path().c_str(), kInsertLockWaitMs, fd) != 0) return -5052;
    LockGuard lock(&fd);
    return With_Log(db, true, [&rows](sqlite3* use) { return Insert_Rows(use, rows); }) == SQLITE_OK ? 0 : -5052;
}

namespace {

constexpr size_t kBatchRows = 500;
constexpr int64_t kBatchAgeMs = 1000;

int64_t Monotonic_Ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Runs a read that hands rows to onRow. A log found damaged before any row was handed over is
// read again afresh; one found damaged later has gone aside all the same, and the read ends
// there with its SQLite code.
int Read_Rows(sqlite3* db, const Json_Row_Sink& onRow,
              const std::function<int(sqlite3*, const Json_Row_Sink&)>& query) {
    long long handed = 0;
    const Json_Row_Sink counted = [&](RAIIful_Json& row) {
        ++handed;
        return onRow(row);
    };
    return With_Log(
        db, false, [&](sqlite3* use) { return query(use, counted); }, [&handed] { return handed == 0; });
}

}  // namespace

int Sql_Log_Batch_Add(sqlite3* db, Sql_Log_Batch& batch, Sql_Log_Row row) {
    if (batch.vRows.empty()) batch.llOldestMs = Monotonic_Ms();
    batch.vRows.push_back(std::move(row));
    if (batch.vRows.size() >= kBatchRows) return Sql_Log_Batch_Flush(db, batch);
    return Sql_Log_Batch_Due(db, batch);
}

int Sql_Log_Batch_Due(sqlite3* db, Sql_Log_Batch& batch) {
    if (batch.vRows.empty() || Monotonic_Ms() - batch.llOldestMs < kBatchAgeMs) return 0;
    return Sql_Log_Batch_Flush(db, batch);
}

int Sql_Log_Batch_Flush(sqlite3* db, Sql_Log_Batch& batch) {
    const int rc = db && !batch.vRows.empty() ? Sql_Log_Insert_Rows(db, batch.vRows) : 0;
    batch.vRows.clear();
    return rc;
}

int Sql_Log_Each_Row(sqlite3* db, const Json_Row_Sink& onRow, const char* pszTaskType, int iStart, int iLimit,
                     const char* pszTaskID) {
    if (pszTaskType == nullptr || (strcmp(pszTaskType, "All") != 0 && strcmp(pszTaskType, "Orvenna") != 0))
        return -5052;
    if (db == nullptr) return -22;
    const std::string task = pszTaskID ? pszTaskID : "";
    const bool all = iStart == -1 && iLimit == -1;
    const long long s = iStart, l = iLimit;
    return Read_Rows(db, onRow, [&](sqlite3* use, const Json_Row_Sink& sink) {
        if (all) return Query_All_Chunked(use, pszTaskID ? task.c_str() : nullptr, sink);
        if (pszTaskID)
            return Query_Each(use,
                              "SELECT * from quillmere_sql_database WHERE task_id = ?1 ORDER BY ID DESC LIMIT ?2,?3;",
                              {task, s, l}, sink);
        return Query_Each(use, "SELECT * from quillmere_sql_database ORDER BY ID DESC LIMIT ?1,?2;", {s, l}, sink);
    });
}

int Sql_Log_Get_All_Data(sqlite3* db, PT_JSON jsonList, const char* pszTaskType, int iStart, int iLimit,
                         const char* pszTaskID) {
    if (pszTaskType == nullptr || (strcmp(pszTaskType, "All") != 0 && strcmp(pszTaskType, "Orvenna") != 0))
        return -5052;
    if (jsonList == nullptr) return -22;
    return Sql_Log_Each_Row(db, List_Appender(jsonList), pszTaskType, iStart, iLimit, pszTaskID);
}

int Sql_Get_Number_Of_Log(sqlite3* db) {
    if (db == nullptr) return 0;
    int n = 0;
    With_Log(db, false, [&n](sqlite3* use) { return Count(use, "SELECT COUNT(*) FROM quillmere_sql_database;", {}, n); });
    return n;
}

int Sql_Get_Number_Of_Record_By_Task_Type(sqlite3* db, const char* pszTaskType) {
    if (db == nullptr || pszTaskType == nullptr) return 0;
    int n = 0;
    const std::string type = pszTaskType;
    With_Log(db, false, [&](sqlite3* use) {
        return Count(use, "SELECT COUNT(*) FROM quillmere_sql_database WHERE task_type = ?;", {type}, n);
    });
    return n;
}

int Sql_Log_Delete_Data(const char* pszTaskID) {
    if (pszTaskID == nullptr) return -22;
    // Under the insert lock no row is half written while rows go or the file goes aside, and no
    // handle writes into a file that went aside.
    int fd = -1;
    if (Get_File_Lock(qlm::Sql_Lock_Path().c_str(), kInsertLockWaitMs, fd) != 0) return -5052;
    LockGuard lock(&fd);
    if (strcmp(pszTaskID, "All") != 0) {
        DbHandle db;
        if (Open_Log(db, true) != SQLITE_OK || With_Log(db.get(), true, Create_Table) != SQLITE_OK) return -1;
        const std::vector<Bind_Value> task{std::string(pszTaskID)};  // bound without a copy: it outlives the step
        const int rc = With_Log(db.get(), true, [&task](sqlite3* use) {
            StmtHandle stmt;
            if (const int prc = Prepare(use, "DELETE from quillmere_sql_database WHERE task_id = ?;", stmt);
                prc != SQLITE_OK)
                return prc;
            if (const int brc = Bind_All(stmt.get(), task); brc != SQLITE_OK) return brc;
            const int step = sqlite3_step(stmt.get());
            return step == SQLITE_DONE ? SQLITE_OK : step;
        });
        return rc == SQLITE_OK ? 0 : -5052;
    }
    DbHandle db;
    bool fresh = false;
    if (Open_Log(db, true, &fresh) != SQLITE_OK || Create_Table(db.get()) != SQLITE_OK) return -1;
    // A damaged log went aside with its rows; the fresh one keeps only the row that names it.
    if (fresh) return 0;
    const int rc = Clear_All_Rows(db.get());
    if (rc == SQLITE_OK) return 0;
    if (!Sql_Log_Damage_Code(rc)) return -5052;
    db.reset();
    return Start_Fresh_If_Damaged() ? 0 : -5052;
}

int Sql_Log_Find_Each(sqlite3* db, const Json_Row_Sink& onRow, const char* pszTaskID, const char* pszKeyWord,
                      int iStart, int iLimit) {
    if (db == nullptr || pszKeyWord == nullptr) return 0;
    const std::string pattern = Like_Contains_Literal(pszKeyWord), task = pszTaskID ? pszTaskID : "";
    const long long s = iStart, l = iLimit;
    return Read_Rows(db, onRow, [&](sqlite3* use, const Json_Row_Sink& sink) {
        if (pszTaskID)
            return Query_Each(use,
                              "SELECT * from quillmere_sql_database WHERE sql_name LIKE ?1 ESCAPE '/' AND task_id = ?4 "
                              "ORDER BY ID DESC LIMIT ?2,?3;",
                              {pattern, s, l, task}, sink);
        return Query_Each(use,
                          "SELECT * from quillmere_sql_database WHERE sql_name LIKE ?1 ESCAPE '/' ORDER BY ID DESC "
                          "LIMIT ?2,?3;",
                          {pattern, s, l}, sink);
    });
}

int Sql_Log_Find_Data(sqlite3* db, PT_JSON jsonList, const char* pszTaskID, const char* pszKeyWord, int iStart,
                      int iLimit) {
    if (jsonList == nullptr) return 0;
    return Sql_Log_Find_Each(db, List_Appender(jsonList), pszTaskID, pszKeyWord, iStart, iLimit);
}

bool Sql_Log_Damage_Code(int rc) { return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB; }
