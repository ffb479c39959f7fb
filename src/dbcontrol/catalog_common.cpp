#include "dbcontrol/catalog_common.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/clock.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "plat_file.h"

namespace qlm::catalog {

namespace {

// The files SQLite keeps beside a catalog file (the file itself first).
constexpr const char* kCompanions[] = {"", "-journal", "-wal", "-shm"};

const char* Kind_Folder(Kind kind) {
    switch (kind) {
        case Kind::Drive: return "drive_db";
        case Kind::SharedDrive: return "shared_drive_db";
        case Kind::SharedDriveMap: return "shared_drive_map_db";
        case Kind::Gmail: return "gmail_db";
        case Kind::Contact: return "contact_db";
        case Kind::GroupContact: return "group_contact_db";
        case Kind::Calendar: return "calendar_db";
    }
    return "unknown_db";
}

}  // namespace

// A fresh file must not meet a journal or WAL of the file it replaces: SQLite would take a
// stale journal as hot and "recover" old pages into the new database.
void Remove_Catalog_Files(const std::string& file) {
    for (const char* suffix : kCompanions) unlink((file + suffix).c_str());
}

bool File_Damaged(const std::string& file, int busyMs) {
    struct stat st;
    if (stat(file.c_str(), &st) != 0) return false;
    sqlite3* raw = nullptr;
    const int open = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    DbHandle db(raw);
    if (open != SQLITE_OK) return false;
    Configure_Handle(raw, busyMs);
    auto damaged = [](int rc) { return rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT; };
    StmtHandle stmt;
    int rc = Prepare(db.get(), "PRAGMA quick_check;", stmt);
    if (rc != SQLITE_OK) return damaged(rc) || damaged(sqlite3_errcode(db.get()));
    rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW) return Column_String(stmt.get(), 0) != "ok";
    return damaged(rc) || damaged(sqlite3_extended_errcode(db.get()) & 0xff);
}

bool Catalog_Damaged(Kind kind, const char* key, const char* task) {
    if (key == nullptr || task == nullptr) return false;
    if (!qlm::Is_Single_Path_Component(key) || !qlm::Is_Single_Path_Component(task)) return false;
    return File_Damaged(Catalog_File(kind, key, task), Busy_Ms(kind));
}

int Move_File_Aside(const std::string& file, std::string& moved) {
    const time_t now = qlm::Now();
    struct tm tm {};
    char stamp[32];
    if (localtime_r(&now, &tm) == nullptr || strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &tm) == 0) return -161;
    std::string aside = file + ".unreadable-" + stamp;
    // A second damage within the same second must not overwrite the first copy.
    for (int n = 1; access(aside.c_str(), F_OK) == 0; ++n) aside = file + ".unreadable-" + stamp + "-" + std::to_string(n);
    if (rename(file.c_str(), aside.c_str()) != 0) return -161;
    for (const char* suffix : kCompanions)
        if (suffix[0] != '\0') rename((file + suffix).c_str(), (aside + suffix).c_str());
    moved = aside;
    return 0;
}

int Move_Catalog_Aside(Kind kind, const char* key, const char* task, std::string& moved) {
    return Move_File_Aside(Catalog_File(kind, key, task), moved);
}

bool Catalog_Names_Fit(Kind kind, const char* key, const char* task) {
    long max = pathconf(Catalog_Folder(kind, task).c_str(), _PC_NAME_MAX);
    if (max <= 0) max = NAME_MAX;  // the folder is not made yet
    const std::string file = Catalog_File(kind, key, task);
    const size_t name = file.size() - file.rfind('/') - 1;
    for (const char* suffix : kCompanions)
        if (name + strlen(suffix) > static_cast<size_t>(max)) return false;
    return true;
}

int Busy_Ms(Kind kind) { return kind == Kind::Gmail ? 5000 : 10000; }

std::string Catalog_Folder(Kind kind, const char* task) {
    return qlm::Backup_Service_Dir(Kind_Folder(kind)) + "/" + task;
}

std::string Catalog_File(Kind kind, const char* key, const char* task) {
    std::string file = Catalog_Folder(kind, task) + "/" + key;
    file += kind == Kind::SharedDriveMap ? "_mapping.db" : ".db";
    return file;
}

void Configure_Handle(sqlite3* db, int busyMs) {
    sqlite3_busy_timeout(db, busyMs);
    sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
}

int Open_Catalog(Kind kind, const char* key, const char* task, Open_Mode mode, DbHandle& out) {
    out.reset();
    if (key == nullptr || task == nullptr) return -22;
    if (!qlm::Is_Single_Path_Component(key) || !qlm::Is_Single_Path_Component(task)) return -22;
    const std::string file = Catalog_File(kind, key, task);
    int flags = SQLITE_OPEN_READWRITE;
    if (mode == Open_Mode::Reader) {
        struct stat st;
        if (stat(file.c_str(), &st) != 0) return (errno == ENOENT || errno == ENOTDIR) ? kMissing : -161;
    } else {
        const std::string folder = Catalog_Folder(kind, task);
        if (access(folder.c_str(), F_OK) != 0) smbbackup::Create_Path(folder.c_str(), 0700);
        if (mode == Open_Mode::Writer_Fresh) Remove_Catalog_Files(file);
        flags |= SQLITE_OPEN_CREATE;
    }
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
    DbHandle db(raw);  // sqlite3_open_v2 hands out a handle even on failure
    if (rc != SQLITE_OK) return -161;
    Configure_Handle(raw, Busy_Ms(kind));
    out = std::move(db);
    return 0;
}

int Open_Catalog_For_Caller(Kind kind, sqlite3** ppDb, const char* key, const char* task, Open_Mode mode) {
    if (ppDb == nullptr) return -22;
    *ppDb = nullptr;
    DbHandle db;
    const int rc = Open_Catalog(kind, key, task, mode, db);
    if (rc != 0) return rc == -22 ? -22 : -161;
    *ppDb = db.release();
    return 0;
}

int Exec_Constant(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

int Prepare(sqlite3* db, const char* sql, StmtHandle& out) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    out.reset(raw);
    return rc;
}

int Table_Exists(sqlite3* db, const char* table) {
    StmtHandle stmt;
    if (Prepare(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?;", stmt) != SQLITE_OK) return -161;
    sqlite3_bind_text(stmt.get(), 1, table, -1, SQLITE_STATIC);
    const int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW) return 1;
    return rc == SQLITE_DONE ? 0 : -161;
}

int Bind_Text_Ref(sqlite3_stmt* stmt, int index, const std::string& text) {
    return sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

int Bind_All(sqlite3_stmt* stmt, const std::vector<Bind_Value>& values) {
    int index = 1;
    for (const Bind_Value& v : values) {
        int rc = SQLITE_OK;
        if (const auto* text = std::get_if<std::string>(&v))
            rc = Bind_Text_Ref(stmt, index, *text);
        else if (const auto* num = std::get_if<long long>(&v))
            rc = sqlite3_bind_int64(stmt, index, *num);
        else
            rc = sqlite3_bind_null(stmt, index);
        if (rc != SQLITE_OK) return rc;
        ++index;
    }
    return SQLITE_OK;
}

void Where::Add(const std::string& constantCondition, std::initializer_list<Bind_Value> values) {
    if (!sql.empty()) sql += " AND ";
    sql += constantCondition;
    binds.insert(binds.end(), values.begin(), values.end());
}

void Where::Add_Range(const char* column, long long early, long long late) {
    const std::string col(column);
    if (early > 0 && late > 0)
        Add(col + " >= ? AND " + col + " <= ?", {early, late});
    else if (early > 0)
        Add(col + " >= ?", {early});
    else if (late > 0)
        Add(col + " <= ?", {late});
}

std::string Like_Contains(const char* keyword) {
    std::string pattern = "%";
    if (keyword) pattern += keyword;
    pattern += "%";
    return pattern;
}

std::string Like_Contains_Literal(const char* keyword) {
    std::string pattern = "%";
    for (const char* p = keyword ? keyword : ""; *p; ++p) {
        if (strchr("%_/()[]", *p)) pattern += '/';
        pattern += *p;
    }
    pattern += "%";
    return pattern;
}

namespace {

int Add_Column(PT_JSON dict, const Json_Column& col, const char* text) {
    switch (col.kind) {
        case Json_Kind::Integer: return smbbackup::Json_Dict_Add_Integer_String(dict, col.key, text);
        case Json_Kind::Text_Or_Epoch:
            return Json_Dict_Add_Str(dict, col.key, (text && *text) ? text : "1970-01-01T00:00:00Z");
        case Json_Kind::Text: break;
    }
    return Json_Dict_Add_Str(dict, col.key, text);
}

}  // namespace

int Rows_Each_Json(sqlite3_stmt* stmt, Json_Form form, const Json_Row_Sink& onRow) {
    const int n = sqlite3_column_count(stmt);
    std::vector<const Json_Column*> byIndex(n, nullptr);
    for (int i = 0; i < n; ++i) {
        const char* name = sqlite3_column_name(stmt, i);
        for (const Json_Column& col : form)
            if (name && strcmp(col.column, name) == 0) byIndex[i] = &col;
    }
    for (;;) {
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) return 0;
        if (rc != SQLITE_ROW) return -161;
        RAIIful_Json dict(Json_Dict_Init());
        if (!dict) return -161;
        for (int i = 0; i < n; ++i) {
            if (!byIndex[i]) continue;
            const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
            if (Add_Column(dict.get(), *byIndex[i], text) != 0) return -161;
        }
        if (onRow(dict) != 0) return -161;
    }
}

Json_Row_Sink List_Appender(PT_JSON list) {
    return [list](RAIIful_Json& row) { return Json_List_Add_Dict(list, row.release()); };
}

int Rows_To_Json(sqlite3_stmt* stmt, PT_JSON list, Json_Form form) {
    return Rows_Each_Json(stmt, form, List_Appender(list));
}

int Query_Json_Each(Kind kind, const char* key, const char* task, const char* sql,
                    const std::vector<Bind_Value>& binds, Json_Form form, const Json_Row_Sink& onRow) {
    DbHandle db;
    if (const int rc = Open_Catalog(kind, key, task, Open_Mode::Reader, db); rc != 0) return rc;
    StmtHandle stmt;
    if (Prepare(db.get(), sql, stmt) != SQLITE_OK) return -161;
    if (Bind_All(stmt.get(), binds) != SQLITE_OK) return -161;
    return Rows_Each_Json(stmt.get(), form, onRow);
}

int Query_Json(Kind kind, const char* key, const char* task, const char* sql,
               const std::vector<Bind_Value>& binds, Json_Form form, PT_JSON list) {
    if (list == nullptr) return -22;
    return Query_Json_Each(kind, key, task, sql, binds, form, List_Appender(list));
}

long long Query_Count(Kind kind, const char* key, const char* task, const char* sql,
                      const std::vector<Bind_Value>& binds) {
    DbHandle db;
    if (Open_Catalog(kind, key, task, Open_Mode::Reader, db) != 0) return 0;
    StmtHandle stmt;
    if (Prepare(db.get(), sql, stmt) != SQLITE_OK) return 0;
    if (Bind_All(stmt.get(), binds) != SQLITE_OK) return 0;
    long long count = 0;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) count = sqlite3_column_int64(stmt.get(), 0);
    return rc == SQLITE_DONE ? count : 0;
}

int Step_Row(sqlite3_stmt* stmt) {
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return rc == SQLITE_DONE ? 0 : -161;
}

Transaction::~Transaction() {
    if (m_open) Exec_Constant(m_db, "ROLLBACK;");
}

int Transaction::Begin_Immediate() {
    const int rc = Exec_Constant(m_db, "BEGIN IMMEDIATE;");
    m_open = rc == SQLITE_OK;
    return rc;
}

int Transaction::Commit() {
    const int rc = Exec_Constant(m_db, "COMMIT;");
    if (rc == SQLITE_OK) m_open = false;
    return rc;
}

namespace {

// Prepares the insert and hands it to the row writer inside the open transaction, then commits.
int Insert_And_Commit(sqlite3* db, Transaction& txn, const char* insertSql, const Row_Writer& rows) {
    StmtHandle stmt;
    if (Prepare(db, insertSql, stmt) != SQLITE_OK) return -161;
    if (rows(stmt.get()) != 0) return -161;
    stmt.reset();
    return txn.Commit() == SQLITE_OK ? 0 : -161;
}

}  // namespace

int Upsert_Catalog(Kind kind, const char* key, const char* task, const char* createTable,
                   std::span<const char* const> createIndexes, bool emptyData, const char* insertSql,
                   const Row_Writer& rows, int* failedStage) {
    auto fail = [failedStage](int stage, int rc) {
        if (failedStage) *failedStage = stage;
        return rc;
    };
    DbHandle db;
    if (const int rc = Open_Catalog(kind, key, task, Open_Mode::Writer, db); rc != 0)
        return fail(0, rc == -22 ? -22 : -161);
    // A large page cache keeps a big upsert from spilling, which would hold the exclusive lock
    // against readers for the rest of the transaction.
    Exec_Constant(db.get(), "PRAGMA cache_size=-65536;");
    // Table, indexes and rows share one transaction: a new catalog costs one commit and its syncs,
    // not one for each statement of its set-up.
    Transaction txn(db.get());
    if (txn.Begin_Immediate() != SQLITE_OK) return fail(1, -161);
    if (Exec_Constant(db.get(), createTable) != SQLITE_OK) return fail(1, -161);
    for (const char* index : createIndexes)
        if (Exec_Constant(db.get(), index) != SQLITE_OK) return fail(2, -161);
    if (emptyData) return txn.Commit() == SQLITE_OK ? 0 : fail(2, -161);
    if (Insert_And_Commit(db.get(), txn, insertSql, rows) != 0) return fail(3, -161);
    return 0;
}

int Rewrite_Snapshot(Kind kind, const char* key, const char* task, const char* dropTable,
                     const char* createTable, const char* insertSql, const Row_Writer& rows) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        DbHandle db;
        const Open_Mode mode = attempt == 0 ? Open_Mode::Writer : Open_Mode::Writer_Fresh;
        if (const int rc = Open_Catalog(kind, key, task, mode, db); rc != 0) return rc == -22 ? -22 : -161;
        Transaction txn(db.get());
        int rc = txn.Begin_Immediate();
        if (rc == SQLITE_OK) rc = Exec_Constant(db.get(), dropTable);
        if ((rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) && attempt == 0) continue;  // start afresh
        if (rc != SQLITE_OK) return -161;
        if (Exec_Constant(db.get(), createTable) != SQLITE_OK) return -161;
        return Insert_And_Commit(db.get(), txn, insertSql, rows);
    }
    return -161;
}

int Run_Change(Kind kind, const char* key, const char* task, const char* sql,
               const std::vector<Bind_Value>& binds) {
    DbHandle db;
    if (const int rc = Open_Catalog(kind, key, task, Open_Mode::Reader, db); rc != 0)
        return rc == -22 ? -22 : -161;
    StmtHandle stmt;
    if (Prepare(db.get(), sql, stmt) != SQLITE_OK) return -161;
    if (Bind_All(stmt.get(), binds) != SQLITE_OK) return -161;
    return sqlite3_step(stmt.get()) == SQLITE_DONE ? 0 : -161;
}

int Read_Records(Kind kind, const char* key, const char* task, const char* table, const char* sql,
                 const std::function<void(sqlite3_stmt*)>& onRow, bool printError) {
    DbHandle db;
    if (const int rc = Open_Catalog(kind, key, task, Open_Mode::Reader, db); rc != 0) {
        if (rc == kMissing) return 0;
        return rc == -22 ? -22 : -161;
    }
    auto fail = [&](int code) {
        // Diagnostics go to stderr: stdout carries a request's one reply.
        if (printError) fprintf(stderr, "%s(%d)\n", sqlite3_errmsg(db.get()), code);
        return -161;
    };
    const int exists = Table_Exists(db.get(), table);
    if (exists < 0) return fail(sqlite3_errcode(db.get()));
    if (exists == 0) return 0;  // no table yet: nothing backed up
    StmtHandle stmt;
    if (const int rc = Prepare(db.get(), sql, stmt); rc != SQLITE_OK) return fail(rc);
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) onRow(stmt.get());
    return rc == SQLITE_DONE ? 0 : fail(rc);
}

int Read_Text_Pairs(Kind kind, const char* key, const char* task, const char* table, const char* sql,
                    std::vector<std::pair<std::string, std::string>>& out) {
    std::vector<std::pair<std::string, std::string>> pairs;
    const int rc = Read_Records(kind, key, task, table, sql, [&](sqlite3_stmt* st) {
        pairs.emplace_back(Column_String(st, 0), Column_String(st, 1));
    });
    if (rc == 0) out.swap(pairs);
    return rc;
}

std::string Column_String(sqlite3_stmt* stmt, int col) {
    const unsigned char* text = sqlite3_column_text(stmt, col);
    return text ? std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(stmt, col)) : std::string();
}

}  // namespace qlm::catalog
