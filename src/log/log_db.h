// The activity log: one SQLite database shared by all tasks and processes,
// <db dir>/quillmere_log_datebase.db, table quillmere_sql_database. Every action and worker keeps
// one handle for its whole run (open, create table, any number of inserts, sqlite3_close).
// Inserts are serialised across processes by the lock file sqldb.lck beside it; every handle
// also waits up to 6000 ms on a busy database.
//
// A row as JSON: "ID" and "sql_timestamp" as JSON integers; "task_type", "task_id", "domain",
// "user", "sql_status", "sql_event", "sql_type", "sql_name" as texts.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dbcontrol/catalog_common.h"
#include "plat_json.h"

// A log file that SQLite finds damaged (torn by a power cut, or no database at all) is moved aside
// in its folder as "quillmere_log_datebase.db.unreadable-YYYYMMDD_HHMMSS", kept byte for byte,
// and a fresh log starts whose first row (status FAIL, level "error", belonging to no task) names
// the kept file. Every routine below does that wherever it meets the damage (on open, insert,
// read or clear) and then carries on with the fresh log, so neither an action nor a row is lost
// to it; a handle opened on the file that went aside reads and writes the fresh log from then on.
// A log that is only busy or cannot be opened is never moved.

// True for SQLite codes that say the log file is damaged (corrupt, or no database): such a log
// goes aside for a fresh one, and a read that met it may be made again on the fresh log.
bool Sql_Log_Damage_Code(int rc);

// Opens (and creates, with its folder) the log. 0; -1 when SQLite cannot open it (*ppDb NULL).
int Sql_Open_Datebase(sqlite3** ppDb);
// Makes sure of the table (and its task_id index). 0 created or already there; -1 otherwise.
int Sql_Log_Create_Table(sqlite3* db);
// Appends one row stamped with the current time. 0; -22 when any argument is NULL (nothing
// locked); -5052 when the insert lock cannot be had within 15 s or the insert fails.
int Sql_Log_Insert_Data(sqlite3* db, const char* pszTaskType, const char* pszTaskID, const char* pszDomain,
                        const char* pszUser, const char* pszStatus, const char* pszEvent, const char* pszType,
                        const char* pszMessage);
// One row of a batch: the columns of Sql_Log_Insert_Data, and the time it is stamped with (the
// moment the row was made, not the moment it is stored).
struct Sql_Log_Row {
    std::string strTaskType, strTaskID, strDomain, strUser, strStatus, strEvent, strType, strMessage;
    int64_t llTimestamp = 0;
};
// Appends the rows in their order in one transaction under the insert lock: a worker that logs
// thousands of items pays one lock, one commit and one sync per batch instead of one per row.
// 0 (also for no rows); -22 for a NULL db; -5052 when the lock cannot be had within 15 s or any
// insert or the commit fails (then none of the rows is stored).
int Sql_Log_Insert_Rows(sqlite3* db, const std::vector<Sql_Log_Row>& rows);
// Rows of one action or worker waiting for their transaction. A process that logs item by item
// queues its rows here; they go into the log (Sql_Log_Insert_Rows) when the queue holds 500 rows
// or its oldest row is a second old, and at Sql_Log_Batch_Flush. Rows still queued when the
// process dies are lost, so a row never claims more than was done.
struct Sql_Log_Batch {
    std::vector<Sql_Log_Row> vRows;
    int64_t llOldestMs = 0;  // monotonic time the oldest queued row was queued
};
// Queues the row; writes the queue when it is full or old. 0, or the write's result.
int Sql_Log_Batch_Add(sqlite3* db, Sql_Log_Batch& batch, Sql_Log_Row row);
// Writes the queue when its oldest row is a second old: for a long item between two rows.
int Sql_Log_Batch_Due(sqlite3* db, Sql_Log_Batch& batch);
// Writes the queue now. 0 (also for an empty queue or a NULL db, which skips its rows), or the
// result of Sql_Log_Insert_Rows; the queue is emptied either way, as a refused row is no reason
// to stop the work it describes.
int Sql_Log_Batch_Flush(sqlite3* db, Sql_Log_Batch& batch);
// Rows newest first, only those of pszTaskID when it is not NULL: skip iStart, then at most
// iLimit; iStart = iLimit = -1 lists every row (read in short chunks, so a long read never holds
// off the inserts). pszTaskType must be "All" or "Orvenna" (a check, not a filter), else -5052;
// -22 for a NULL db or list; otherwise SQLite's result code, 0 on success.
int Sql_Log_Get_All_Data(sqlite3* db, PT_JSON jsonList, const char* pszTaskType, int iStart, int iLimit,
                         const char* pszTaskID);
// Sql_Log_Get_All_Data handing each row to onRow instead, so a reply can be written row by row.
// A log met damaged after rows were handed over goes aside all the same; the read then ends with
// SQLite's code (SQLITE_CORRUPT or SQLITE_NOTADB) and the rows handed over stay with the sink.
int Sql_Log_Each_Row(sqlite3* db, const qlm::catalog::Json_Row_Sink& onRow, const char* pszTaskType, int iStart,
                     int iLimit, const char* pszTaskID);
// The number of all rows; 0 when db is NULL or the count fails.
int Sql_Get_Number_Of_Log(sqlite3* db);
// The number of rows of one task type; 0 when an argument is NULL or the count fails.
int Sql_Get_Number_Of_Record_By_Task_Type(sqlite3* db, const char* pszTaskType);
// Clears the rows of one task id, or with "All" every row (the row ids restarting at 1), under the
// insert lock. The file stays, so processes that hold it open keep logging into it; a damaged one
// goes aside instead, and the fresh log holds only the row that names the kept file. 0; -22 for
// NULL; -1 when the log cannot be opened or its table made; -5052 when the lock or the delete fails.
int Sql_Log_Delete_Data(const char* pszTaskID);
// One page of the rows whose message contains the keyword literally ('%', '_', '/', quotes,
// brackets and parentheses stand for themselves; ASCII case is ignored), only those of
// pszTaskID when it is not NULL. A NULL keyword finds nothing. 0, or the query's SQLite result
// code when it fails: a page that could not be read is not an empty one.
int Sql_Log_Find_Data(sqlite3* db, PT_JSON jsonList, const char* pszTaskID, const char* pszKeyWord, int iStart,
                      int iLimit);
// Sql_Log_Find_Data handing each row to onRow, as Sql_Log_Each_Row does.
int Sql_Log_Find_Each(sqlite3* db, const qlm::catalog::Json_Row_Sink& onRow, const char* pszTaskID,
                      const char* pszKeyWord, int iStart, int iLimit);
