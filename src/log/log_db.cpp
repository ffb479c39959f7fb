#include "log/log_db.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
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

// Runs one bound query into the list; SQLite's code (0 on success).
int Query_Into(sqlite3* db, const char* sql, const std::vector<Bind_Value>& binds, PT_JSON list) {
    StmtHandle stmt;
    if (const int rc = Prepare(db, sql, stmt); rc != SQLITE_OK) return rc;
    if (const int rc = Bind_All(stmt.get(), binds); rc != SQLITE_OK) return rc;
    if (Rows_To_Json(stmt.get(), list, kJsonForm) == 0) return SQLITE_OK;
    const int rc = sqlite3_errcode(db);
    return rc != SQLITE_OK ? rc : SQLITE_ERROR;
}

// Every row newest first, kChunkRows at a time below the last ID read.
int Query_All_Chunked(sqlite3* db, PT_JSON list, const char* pszTaskID) {
    long long below = LLONG_MAX;
    for (;;) {
        const int before = Json_List_Size(list);
        int rc;
        if (pszTaskID)
            rc = Query_Into(db,
                            "SELECT * from quillmere_sql_database WHERE task_id = ?1 AND ID < ?2 ORDER BY ID DESC "
                            "LIMIT ?3;",
                            {std::string(pszTaskID), below, static_cast<long long>(kChunkRows)}, list);
        else
            rc = Query_Into(db, "SELECT * from quillmere_sql_database WHERE ID < ?1 ORDER BY ID DESC LIMIT ?2;",
                            {below, static_cast<long long>(kChunkRows)}, list);
        const int after = Json_List_Size(list);
        if (rc != SQLITE_OK || after - before < kChunkRows) return rc;
        int64_t last = 0;
        if (Json_Dict_Find_Int64(Json_List_Child(list, after - 1), "ID", last) != 0) return SQLITE_ERROR;
        below = last;
    }
}

int Count(sqlite3* db, const char* sql, const std::vector<Bind_Value>& binds) {
    if (db == nullptr) return 0;
    StmtHandle stmt;
    if (Prepare(db, sql, stmt) != SQLITE_OK || Bind_All(stmt.get(), binds) != SQLITE_OK) return 0;
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) return 0;
    return sqlite3_column_int(stmt.get(), 0);
}

// Empties the table in place: the inode stays, so handles other processes opened earlier keep
// writing into the log that everybody reads. The row ids restart at 1 as in a fresh file.
int Clear_All_Rows(sqlite3* db) {
    Transaction txn(db);
    if (txn.Begin_Immediate() != SQLITE_OK) return -5052;
    if (Exec_Constant(db, "DELETE FROM quillmere_sql_database;") != SQLITE_OK) return -5052;
    if (Exec_Constant(db, "DELETE FROM sqlite_sequence WHERE name='quillmere_sql_database';") != SQLITE_OK) return -5052;
    return txn.Commit() == SQLITE_OK ? 0 : -5052;
}

int Open_With_Table(DbHandle& db) {
    sqlite3* raw = nullptr;
    const int rc = Sql_Open_Datebase(&raw);
    db.reset(raw);
    if (rc != 0) return -1;
    return Sql_Log_Create_Table(db.get()) == 0 ? 0 : -1;
}

}  // namespace

int Sql_Open_Datebase(sqlite3** ppDb) {
    if (ppDb == nullptr) return -1;
    *ppDb = nullptr;
    const std::string dir = qlm::Db_Dir();
    if (access(dir.c_str(), F_OK) != 0) smbbackup::Create_Path(dir.c_str(), 0700);
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(qlm::Log_Db_Path().c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    DbHandle db(raw);
    if (rc != SQLITE_OK) return -1;
    Configure_Handle(raw, kBusyMs);
    Exec_Constant(raw, "PRAGMA journal_mode=DELETE;");
    Exec_Constant(raw, "PRAGMA synchronous=FULL;");
    *ppDb = db.release();
    return 0;
}

int Sql_Log_Create_Table(sqlite3* db) {
    if (db == nullptr) return -1;
    if (Exec_Constant(db,
                      "CREATE TABLE IF NOT EXISTS quillmere_sql_database(ID INTEGER PRIMARY KEY AUTOINCREMENT,"
                      "task_type TEXT NOT NULL,task_id TEXT NOT NULL,domain TEXT NOT NULL,user TEXT NOT NULL,"
                      "sql_status TEXT NOT NULL,sql_timestamp INTEGER NOT NULL,sql_event TEXT NOT NULL,"
                      "sql_type TEXT NOT NULL,sql_name TEXT NOT NULL);") != SQLITE_OK)
        return -1;
    // Task pages and per-task clears would otherwise scan the whole, never rotated log.
    if (Exec_Constant(db, "CREATE INDEX IF NOT EXISTS idx_quillmere_sql_database_task_id ON "
                          "quillmere_sql_database(task_id);") != SQLITE_OK)
        return -1;
    return 0;
}

namespace {

constexpr const char* kInsertSql =
    "INSERT INTO quillmere_sql_database (task_type,task_id,domain,user,sql_status,sql_timestamp,sql_event,"
    "sql_type,sql_name) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?);";

int Insert_Row(sqlite3_stmt* stmt, const Sql_Log_Row& r) {
    const std::vector<Bind_Value> values{r.strTaskType, r.strTaskID, r.strDomain, r.strUser, r.strStatus,
                                         static_cast<long long>(r.llTimestamp), r.strEvent, r.strType, r.strMessage};
    sqlite3_reset(stmt);
    if (Bind_All(stmt, values) != SQLITE_OK) return -5052;
    return sqlite3_step(stmt) == SQLITE_DONE ? 0 : -5052;
}

}  // namespace

int Sql_Log_Insert_Data(sqlite3* db, const char* pszTaskType, const char* pszTaskID, const char* pszDomain,
                        const char* pszUser, const char* pszStatus, const char* pszEvent, const char* pszType,
                        const char* pszMessage) {
    if (!db || !pszTaskType || !pszTaskID || !pszDomain || !pszUser || !pszStatus || !pszEvent || !pszType || !pszMessage)
        return -22;
    int fd = -1;
    if (Get_File_Lock(qlm::Sql_Lock_Path().c_str(), kInsertLockWaitMs, fd) != 0) return -5052;
    LockGuard lock(&fd);
    StmtHandle stmt;
    if (Prepare(db, kInsertSql, stmt) != SQLITE_OK) return -5052;
    return Insert_Row(stmt.get(), Sql_Log_Row{pszTaskType, pszTaskID, pszDomain, pszUser, pszStatus, pszEvent, pszType,
                                              pszMessage, static_cast<int64_t>(qlm::Now())});
}

int Sql_Log_Insert_Rows(sqlite3* db, const std::vector<Sql_Log_Row>& rows) {
    if (db == nullptr) return -22;
    if (rows.empty()) return 0;
    int fd = -1;
    if (Get_File_Lock(qlm::Sql_Lock_Path().c_str(), kInsertLockWaitMs, fd) != 0) return -5052;
    LockGuard lock(&fd);
    Transaction txn(db);
    if (txn.Begin_Immediate() != SQLITE_OK) return -5052;
    StmtHandle stmt;
    if (Prepare(db, kInsertSql, stmt) != SQLITE_OK) return -5052;
    for (const Sql_Log_Row& row : rows)
        if (Insert_Row(stmt.get(), row) != 0) return -5052;
    stmt.reset();
    return txn.Commit() == SQLITE_OK ? 0 : -5052;
}

namespace {

constexpr size_t kBatchRows = 500;
constexpr int64_t kBatchAgeMs = 1000;

int64_t Monotonic_Ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
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

int Sql_Log_Get_All_Data(sqlite3* db, PT_JSON jsonList, const char* pszTaskType, int iStart, int iLimit,
                         const char* pszTaskID) {
    if (pszTaskType == nullptr || (strcmp(pszTaskType, "All") != 0 && strcmp(pszTaskType, "Orvenna") != 0))
        return -5052;
    if (db == nullptr || jsonList == nullptr) return -22;
    if (iStart == -1 && iLimit == -1) return Query_All_Chunked(db, jsonList, pszTaskID);
    const long long s = iStart, l = iLimit;
    if (pszTaskID)
        return Query_Into(db, "SELECT * from quillmere_sql_database WHERE task_id = ?1 ORDER BY ID DESC LIMIT ?2,?3;",
                          {std::string(pszTaskID), s, l}, jsonList);
    return Query_Into(db, "SELECT * from quillmere_sql_database ORDER BY ID DESC LIMIT ?1,?2;", {s, l}, jsonList);
}

int Sql_Get_Number_Of_Log(sqlite3* db) { return Count(db, "SELECT COUNT(*) FROM quillmere_sql_database;", {}); }

int Sql_Get_Number_Of_Record_By_Task_Type(sqlite3* db, const char* pszTaskType) {
    if (pszTaskType == nullptr) return 0;
    return Count(db, "SELECT COUNT(*) FROM quillmere_sql_database WHERE task_type = ?;", {std::string(pszTaskType)});
}

int Sql_Log_Delete_Data(const char* pszTaskID) {
    if (pszTaskID == nullptr) return -22;
    if (strcmp(pszTaskID, "All") != 0) {
        DbHandle db;
        if (Open_With_Table(db) != 0) return -1;
        StmtHandle stmt;
        if (Prepare(db.get(), "DELETE from quillmere_sql_database WHERE task_id = ?;", stmt) != SQLITE_OK) return -5052;
        sqlite3_bind_text(stmt.get(), 1, pszTaskID, -1, SQLITE_STATIC);
        return sqlite3_step(stmt.get()) == SQLITE_DONE ? 0 : -5052;
    }
    // Under the insert lock no row is half written while the table empties.
    int fd = -1;
    if (Get_File_Lock(qlm::Sql_Lock_Path().c_str(), kInsertLockWaitMs, fd) != 0) return -5052;
    LockGuard lock(&fd);
    DbHandle db;
    if (Open_With_Table(db) != 0) {
        // Only a file that is no database at all is replaced: nobody can be writing into it.
        const bool notADatabase = db && sqlite3_errcode(db.get()) == SQLITE_NOTADB;
        db.reset();
        if (!notADatabase) return -1;
        Remove_Catalog_Files(qlm::Log_Db_Path());
        return Open_With_Table(db);
    }
    return Clear_All_Rows(db.get());
}

int Sql_Log_Find_Data(sqlite3* db, PT_JSON jsonList, const char* pszTaskID, const char* pszKeyWord, int iStart,
                      int iLimit) {
    if (db == nullptr || jsonList == nullptr || pszKeyWord == nullptr) return 0;
    const long long s = iStart, l = iLimit;
    if (pszTaskID)
        return Query_Into(db,
                          "SELECT * from quillmere_sql_database WHERE sql_name LIKE ?1 ESCAPE '/' AND task_id = ?4 "
                          "ORDER BY ID DESC LIMIT ?2,?3;",
                          {Like_Contains_Literal(pszKeyWord), s, l, std::string(pszTaskID)}, jsonList);
    return Query_Into(db, "SELECT * from quillmere_sql_database WHERE sql_name LIKE ?1 ESCAPE '/' ORDER BY ID DESC LIMIT ?2,?3;",
                      {Like_Contains_Literal(pszKeyWord), s, l}, jsonList);
}
