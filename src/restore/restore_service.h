// The service restores as the restore worker calls them, and the activity-log rows they write.
//
// A service restore function puts one service's backup back into Google. 0: the restore went
// through; anything else is a failed attempt that the retry wrapper repeats from the top, where
// the id map lets it go on from what earlier attempts finished.
#pragma once

#include <sqlite3.h>

#include <string>

#include "plat_json.h"

class GWSTask;

// (task, source user or shared-drive uuid, target account or shared-drive id as the request gave
// it (null or empty: none), selection list or null, running-record path, mode, activity log)
typedef int (*RestoreServiceFn)(GWSTask* pTask, const char* pszSource, const char* pszTarget, PT_JSON ptjLocalList,
                                std::string strMissionPath, int nRestoreMode, sqlite3* sqlDatabase);

// Modes: 0 the selected items (catalog indexes), 1 everything of the source, 2 the whole domain,
// each user or shared drive into itself.
int Restore_Drive(GWSTask* pTask, const char* pszDomainUserEmail, const char* pszTargetAccount, PT_JSON ptjLocalList,
                  std::string strMissionPath, int nRestoreMode, sqlite3* sqlDatabase);
int Restore_Shared_Drive(GWSTask* pTask, const char* pszSharedDriveUUID, const char* pszTargetSharedDriveID,
                         PT_JSON ptjLocalList, std::string strMissionPath, int nRestoreMode, sqlite3* sqlDatabase);

namespace qlm {

// Rows of task type "Orvenna", event "restore".
struct RestoreLog {
    sqlite3* db = nullptr;
    std::string strTaskID, strDomain;
};
void Restore_Row(const RestoreLog& log, const char* pszStatus, const char* pszType, const std::string& user,
                 const std::string& text);
std::string Restore_Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// True when the catalog file of a Drive account ("drive_db") or a shared drive ("shared_drive_db")
// exists. A whole-domain restore passes over an account or shared drive that never got one (listed,
// but nothing of it was ever backed up) instead of failing for it.
bool Restore_Catalog_Exists(const char* pszCatalogService, const std::string& strTaskID, const std::string& strKey);

// The Drive lock files of a task and of one of its accounts, and the Shared Drive lock of a task.
std::string Drive_Task_Lock_Path(const std::string& strTaskID);
std::string Drive_User_Lock_Path(const std::string& strTaskID, const std::string& strUser);
std::string Shared_Drive_Task_Lock_Path(const std::string& strTaskID);

}  // namespace qlm
