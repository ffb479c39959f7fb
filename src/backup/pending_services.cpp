// Calendar and Contacts backups are not built yet. Their steps stay in the run, and these
// stand-ins say so in the activity log and succeed, so a run that selects them still ends.
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

int Backup_Calendar(GWSTask* pTask, std::string, const char* pszCurrentLoginUser, sqlite3* sqlDatabase) {
    return Service_Not_Available(pTask, pszCurrentLoginUser, sqlDatabase, "Calendar backup is not available.");
}

int Backup_Contact(GWSTask* pTask, std::string, const char* pszCurrentLoginUser, sqlite3* sqlDatabase) {
    return Service_Not_Available(pTask, pszCurrentLoginUser, sqlDatabase, "Contact backup is not available.");
}

int Count_Calendar(GWSTask*, int64_t* llCount, const char*, sqlite3*) {
    if (llCount) *llCount = 0;
    return 0;
}

int Count_Contact(GWSTask*, int64_t* llCount, const char*, sqlite3*) {
    if (llCount) *llCount = 0;
    return 0;
}
