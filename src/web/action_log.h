// The activity log as the actions use it: one handle per action, rows of task type "Orvenna".
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

#include "log/log_db.h"

namespace qlm {

struct Log_Db_Closer {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Log_Db = std::unique_ptr<sqlite3, Log_Db_Closer>;

// Opens the activity log and makes sure of its table. 0; on failure the 5623 reply
// ("KVT_Sql_Open_Datebase error." or "KVT_Sql_Log_Create_Table error.") is printed and -1 returned.
int Open_Action_Log(Log_Db& db);

// Appends one row with task type "Orvenna" and status "SUCCESS"; the insert's result, which the
// actions do not act on.
int Log_Action_Row(sqlite3* db, const char* pszTaskID, const char* pszDomain, const char* pszUser,
                   const char* pszEvent, const char* pszType, const char* pszMessage);

// Queues the same row in batch (stamped now), to be written with the batch's next transaction;
// pszStatus "FAIL" for a failure.
int Queue_Action_Row(sqlite3* db, Sql_Log_Batch& batch, const char* pszTaskID, const char* pszDomain,
                     const char* pszUser, const char* pszEvent, const char* pszType, const std::string& strMessage,
                     const char* pszStatus = "SUCCESS");

}  // namespace qlm
