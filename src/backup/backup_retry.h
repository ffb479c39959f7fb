// The retry wrapper every service of a run goes through, and the scoutix permission check.
#pragma once
#include <sqlite3.h>

#include <string>

#include "backup/backup_service.h"
#include "mission/worker.h"

class GWSTask;


// Calls fn until an attempt gives 0 or more, at most RETRY_MAX times, pausing 20 s doubled after
// each failed attempt (capped at 30000 s). Each failure stores the row "Error occurred while backing
// up all accounts in domain %s: %s." and each pause "%s Waiting %u sec before retry %d.". The
// service always gets db (its own rows are FAIL and warn rows unless bForceLog asks for all). A pause
// ends early, and so does the wrapper, when the worker is being stopped.
// Returns the last attempt's result.
int Backup_Service_With_Retry(BackupServiceFn fn, GWSTask* pTask, const std::string& strMissionPath,
                              const char* pszTaskID, const char* pszCurrentLoginUser, sqlite3* db,
                              const char* pszFailureText, bool bForceLog);

using qlm::Check_Permission_By_Cmd;
