// The Gmail backup is not built yet. Its steps stay in the run, and these stand-ins say so in the
// activity log and succeed, so a run that selects it still ends.
#include "backup/backup_service.h"
#include "log/log_db.h"
#include "orvenna_task.h"

namespace {

int Service_Not_Available(GWSTask* pTask, const char* pszUser, sqlite3* db, const char* pszText) {
    if (pTask != nullptr)
        Sql_Log_Insert_Data(db, "Orvenna", pTask->Get_Task_ID(), pTask->Get_Admin_Email(), pszUser ? pszUser : "",
                            "SUCCESS", "backup", "warn", pszText);
    return 0;
}

}  // namespace

int Backup_Gmail(GWSTask* pTask, std::string, const char* pszCurrentLoginUser, sqlite3* sqlDatabase) {
    return Service_Not_Available(pTask, pszCurrentLoginUser, sqlDatabase, "Gmail backup is not available.");
}

int Count_Gmail(GWSTask*, int64_t* llCount, const char*, sqlite3*) {
    if (llCount) *llCount = 0;
    return 0;
}
