// The restore worker: the child the restore action forks after its reply. It keeps the running
// mission record, counts what is to be restored, runs the chosen service's restore through the
// retry wrapper, and files the record in the history.
#pragma once

#include <sqlite3.h>

#include <string>

#include "plat_json.h"
#include "restore/restore_service.h"

class GWSTask;

namespace qlm {

// One row per service, in the order the request's switches are read.
struct RestoreServiceRow {
    const char* pszSwitch;   // "drive_enable", ...
    const char* pszName;     // in row texts: "Drive", "Shared Drive", "Gmail", "Calendar", "Contact"
    const char* pszEntry;    // the record's "service" entry
    RestoreServiceFn fn;     // nullptr: not available in this version
    const char* pszFailure;  // "Drive restore fail.", ...
    const char* pszTotalKey;
    const char* pszCurrentKey;
};
inline constexpr int kRestoreServiceCount = 5;
extern const RestoreServiceRow kRestoreServices[kRestoreServiceCount];

// Everything the worker takes from the request; the task and the list belong to the caller.
struct RestoreRequest {
    GWSTask* pTask = nullptr;
    std::string strTaskID, strLoginUser, strMissionID;
    int nService = -1;  // into kRestoreServices; -1 when no switch is 1
    std::string strSource;          // the user, or the shared drive's uuid
    bool bSharedDriveSource = false;
    std::string strSharedDriveName;  // of the uuid's mapping row
    bool bTargetGiven = false;       // the target parameter was present (maybe empty)
    std::string strTarget;
    PT_JSON ptjLocalList = nullptr;  // mode 0 only
    int nMode = 1;
};

// Runs attempts of fn until one returns 0, at most 15, with pauses of 20 s doubled up to 30000 s
// between them and rows for each failure and pause. Every attempt starts with the record's six
// counters at 0, and every attempt after the first with a fresh GAM configuration of its own.
int Restore_Service_With_Retry(RestoreServiceFn fnRestore, GWSTask* pTask, const char* pszSource,
                               const char* pszTarget, PT_JSON ptLocalidList, const std::string& strMissionConfPath,
                               int nRestoreMode, const char* pszTaskID, const char* pszCurrentLoginUser,
                               sqlite3* psqlDataBase, const char* pszServiceErr);

// The total a restore counts for its progress; 0, or -1 after the catalog-failure row (or, for a
// listing of the backed-up accounts that fails, without one).
int Count_Restore_Total(const RestoreRequest& req, int64_t& total, sqlite3* db);

// The worker's whole life, in the forked child; it returns when the record is in the history.
// Without a log handle (db nullptr) the record goes to the history as "error" at once.
void Run_Restore_Worker(const RestoreRequest& req, sqlite3* db);

}  // namespace qlm
