// What every catalog shares: where its file lies, the one open routine, owned handles, bound
// queries, rows as JSON, transactions and whole-snapshot rewrites.
//
// Values from a request or from Google only ever reach SQLite as bound parameters; statement
// texts are constants of this layer, or are joined from constant fragments (Where). Every handle
// refuses ATTACH and waits on a busy database instead of failing at once.
#pragma once

#include <sqlite3.h>

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "plat_json.h"

namespace qlm::catalog {

struct Sqlite_Closer {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct Stmt_Finalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using DbHandle = std::unique_ptr<sqlite3, Sqlite_Closer>;
using StmtHandle = std::unique_ptr<sqlite3_stmt, Stmt_Finalizer>;

// The catalog kinds, each with its folder under the backup root.
enum class Kind { Drive, SharedDrive, SharedDriveMap, Gmail, Contact, GroupContact, Calendar };

// Readers open existing files only. Writers create the task folder (0700) and the file;
// Writer_Fresh removes an existing file (and its journal companions) first.
enum class Open_Mode { Reader, Writer, Writer_Fresh };

// Open result of a reader whose catalog file does not exist.
inline constexpr int kMissing = -2;
// Busy time-out of every handle of a kind: Gmail keeps its own 5000 ms; the others wait long
// enough that a reader never makes a backup's commit fail and a reader waits out a commit.
int Busy_Ms(Kind kind);

// "<backup root>/<kind folder>/<task>" and the catalog file in it.
std::string Catalog_Folder(Kind kind, const char* task);
std::string Catalog_File(Kind kind, const char* key, const char* task);

// The one open routine. key (account, uuid; the task id for the mapping) and task must each be
// one path component. 0; -22 for a NULL or unusable key or task; kMissing for a reader whose
// file is not there; -161 when SQLite cannot open the file.
int Open_Catalog(Kind kind, const char* key, const char* task, Open_Mode mode, DbHandle& out);

// The open routine for callers that hold the handle themselves (the public *_Open_Datebase
// routines): *ppDb is theirs to close. 0; -22; -161 (also for a reader's missing file).
int Open_Catalog_For_Caller(Kind kind, sqlite3** ppDb, const char* key, const char* task, Open_Mode mode);
// Removes a catalog file with its journal, WAL and shared-memory companions.
void Remove_Catalog_Files(const std::string& file);
// True when the catalog file is there and SQLite finds it no database or damaged; false when it
// reads whole, is missing, or only cannot be opened or is busy now (a state that passes).
bool Catalog_Damaged(Kind kind, const char* key, const char* task);
// Moves a catalog and its companions aside in the same folder, its name gaining
// ".unreadable-YYYYMMDD_HHMMSS" (local time; a companion keeps its suffix after that, so SQLite
// still pairs them), and names the moved catalog file in moved. 0; -161 when it cannot be renamed.
int Move_Catalog_Aside(Kind kind, const char* key, const char* task, std::string& moved);
// The two above for any SQLite file of the system by its path (the activity log too); the check
// waits up to busyMs on a busy file.
bool File_Damaged(const std::string& file, int busyMs);
int Move_File_Aside(const std::string& file, std::string& moved);
// True when the catalog file of key and those companions all have names the file system allows.
// A long key (an account's address) can leave room for the file but not for its journal, and
// then every write of the catalog fails.
bool Catalog_Names_Fit(Kind kind, const char* key, const char* task);

// Busy time-out and no ATTACH: set on every handle of the system.
void Configure_Handle(sqlite3* db, int busyMs);

// For constant statements only (PRAGMA, BEGIN/COMMIT/ROLLBACK, CREATE, DROP). SQLite's code.
int Exec_Constant(sqlite3* db, const char* sql);
// SQLite's code; out holds the statement on SQLITE_OK.
int Prepare(sqlite3* db, const char* sql, StmtHandle& out);
// 1 when the table exists, 0 when not, -161 when sqlite_master cannot be read.
int Table_Exists(sqlite3* db, const char* table);

// A bound value: NULL, text or 64-bit integer.
using Bind_Value = std::variant<std::monostate, std::string, long long>;
// Binds values to parameters 1..n. SQLite's code.
int Bind_All(sqlite3_stmt* stmt, const std::vector<Bind_Value>& values);
// A text bound without a copy: it must outlive the next reset of stmt.
int Bind_Text_Ref(sqlite3_stmt* stmt, int index, const std::string& text);

// Conditions joined with " AND " from constant fragments, with their values in order.
struct Where {
    std::string sql;
    std::vector<Bind_Value> binds;
    void Add(const std::string& constantCondition, std::initializer_list<Bind_Value> values);
    // The time rule of the searches (seconds since 1970, a bound counts when above 0): both
    // bounds give "column >= early AND column <= late", one bound its own half, none nothing.
    void Add_Range(const char* column, long long early, long long late);
    bool empty() const { return sql.empty(); }
};

// LIKE pattern for a substring match in which '%' and '_' of the keyword keep their wildcard
// meaning (catalog keywords).
std::string Like_Contains(const char* keyword);
// LIKE pattern for a literal substring match under ESCAPE '/': '%', '_', '/', '(', ')', '[' and
// ']' each stand for themselves.
std::string Like_Contains_Literal(const char* keyword);

// How one column of a row becomes a JSON key.
enum class Json_Kind {
    Text,          // the column's text; SQL NULL becomes JSON null
    Integer,       // smbbackup::Json_Dict_Add_Integer_String
    Text_Or_Epoch  // text; NULL or empty becomes "1970-01-01T00:00:00Z"
};
struct Json_Column {
    const char* column;
    const char* key;
    Json_Kind kind;
};
using Json_Form = std::span<const Json_Column>;

// Gets one row's dictionary, which it may keep (release) or leave to be freed; non-zero stops.
using Json_Row_Sink = std::function<int(RAIIful_Json& row)>;

// The sink that appends every row to list (which takes the rows over).
Json_Row_Sink List_Appender(PT_JSON list);

// Hands one dictionary per row of stmt to onRow; columns are matched by name and those not in
// form are skipped. Rows handed over before an error stay with the sink. 0 when the statement
// ran to its end, -161 otherwise (also when onRow stops).
int Rows_Each_Json(sqlite3_stmt* stmt, Json_Form form, const Json_Row_Sink& onRow);
// Rows_Each_Json appending every dictionary to list.
int Rows_To_Json(sqlite3_stmt* stmt, PT_JSON list, Json_Form form);

// Opens the catalog as a reader and appends the rows of one bound query to list.
// 0; -22 (NULL list, key or task, or an unusable name); kMissing; -161 (open, prepare or step).
int Query_Json(Kind kind, const char* key, const char* task, const char* sql,
               const std::vector<Bind_Value>& binds, Json_Form form, PT_JSON list);
// Query_Json handing each row to onRow instead, so a caller can write rows out one by one.
// 0; -22 (NULL key or task, or an unusable name); kMissing; -161 (open, prepare, step or sink).
int Query_Json_Each(Kind kind, const char* key, const char* task, const char* sql,
                    const std::vector<Bind_Value>& binds, Json_Form form, const Json_Row_Sink& onRow);
// The first column of the last row of a bound query on a reader handle; 0 on any failure.
long long Query_Count(Kind kind, const char* key, const char* task, const char* sql,
                      const std::vector<Bind_Value>& binds);

// Steps a bound row statement and makes it ready for the next row. 0 on SQLITE_DONE, else -161.
int Step_Row(sqlite3_stmt* stmt);

// A transaction that rolls back when its scope ends without Commit.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : m_db(db) {}
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    int Begin_Immediate();  // SQLite's code
    int Commit();           // SQLite's code; a failed commit is rolled back by the destructor
private:
    sqlite3* m_db;
    bool m_open = false;
};

// Binds and steps every row of a writer's data with the prepared insert; 0 or -161.
using Row_Writer = std::function<int(sqlite3_stmt*)>;

// Creates the table and indexes (constant statements) of an incremental catalog and, unless the
// data is empty, runs all its rows, in one transaction: any failure undoes the whole call.
// 0; -22; -161 (the stage that failed is put into *failedStage when given: 0 open, 1 table,
// 2 indexes, 3 rows).
int Upsert_Catalog(Kind kind, const char* key, const char* task, const char* createTable,
                   std::span<const char* const> createIndexes, bool emptyData, const char* insertSql,
                   const Row_Writer& rows, int* failedStage = nullptr);

// Replaces a whole snapshot table in place in one transaction (drop, create, insert every row):
// readers see the old or the new snapshot, row ids restart at 1, and any failure keeps the old
// snapshot. A file that is not a database is removed and written afresh. 0; -22; -161.
int Rewrite_Snapshot(Kind kind, const char* key, const char* task, const char* dropTable,
                     const char* createTable, const char* insertSql, const Row_Writer& rows);

// Runs a bound statement that changes rows (a delete by id) on an existing catalog.
// 0 when it ran to its end (also when nothing matched); -22; -161 (missing file or table).
int Run_Change(Kind kind, const char* key, const char* task, const char* sql,
               const std::vector<Bind_Value>& binds);

// Reads the rows of a record query for a backup's previous state. onRow gets each row.
// 0 also for a missing file or table (nothing backed up yet); -22; -161 on a real read error,
// whose SQLite text and code are printed as "%s(%d)\n" on standard output when printError is set.
int Read_Records(Kind kind, const char* key, const char* task, const char* table, const char* sql,
                 const std::function<void(sqlite3_stmt*)>& onRow, bool printError = false);

// Read_Records of a query of two text columns, as pairs in row order; out is replaced on 0 only.
int Read_Text_Pairs(Kind kind, const char* key, const char* task, const char* table, const char* sql,
                    std::vector<std::pair<std::string, std::string>>& out);

// The result of a reader that reports -22 and -161: a missing catalog is a failed open.
inline int Reported(int rc) { return rc == 0 || rc == -22 ? rc : -161; }

// A record reader's end: on success the freshly read map replaces the caller's; on a read error
// the caller's map is emptied, never left half read; -22 leaves it alone.
template <typename Map>
int Hand_Over(int rc, Map& out, Map& read) {
    if (rc == -22) return -22;
    out.clear();
    if (rc == 0) out.swap(read);
    return rc;
}

// One text column of a table-driven record: its name, its JSON key and the record's field
// (nullptr: the column holds the map key).
template <typename Record>
struct Text_Column {
    const char* column;
    const char* key;
    std::string Record::*field;
};

// The JSON form of a table of text columns.
template <typename Record, size_t N>
std::vector<Json_Column> Form_Of(const Text_Column<Record> (&cols)[N]) {
    std::vector<Json_Column> form;
    for (const auto& c : cols) form.push_back({c.column, c.key, Json_Kind::Text});
    return form;
}

// Binds a record's texts to parameters 1..N in table order. 0 or -161.
template <typename Record, size_t N>
int Bind_Texts(sqlite3_stmt* st, const Text_Column<Record> (&cols)[N], const std::string* key, const Record& r) {
    for (size_t i = 0; i < N; ++i) {
        const std::string& text = cols[i].field ? r.*(cols[i].field) : *key;
        if (Bind_Text_Ref(st, static_cast<int>(i) + 1, text) != SQLITE_OK) return -161;
    }
    return 0;
}

// The column's text, or "" for SQL NULL.
std::string Column_String(sqlite3_stmt* stmt, int col);

}  // namespace qlm::catalog
