#include "backup/backup_retry.h"

#include <string>

#include "common/clock.h"
#include "common/cmdrun.h"
#include "log/log_db.h"
#include "orvenna_task.h"
#include "plat_json.h"

using qlm::Backup_Calc_Backoff_Sec;
using qlm::Backup_Sleep_Full;

int Backup_Service_With_Retry(BackupServiceFn fn, GWSTask* pTask, const std::string& strMissionPath,
                              const char* pszTaskID, const char* pszCurrentLoginUser, sqlite3* db,
                              const char* pszFailureText, bool bForceLog) {
    (void)bForceLog;  // every service gets the handle; what it stores without force-log is its own rule
    const char* pszAdmin = pTask ? pTask->Get_Admin_Email() : "";
    const char* pszText = pszFailureText ? pszFailureText : "";
    int rc = -1;
    for (int n = 1;; ++n) {
        rc = fn(pTask, strMissionPath, pszCurrentLoginUser, db);
        if (rc >= 0) return rc;
        std::string row = "Error occurred while backing up all accounts in domain " + std::string(pszAdmin) + ": " +
                          pszText + ".";
        Sql_Log_Insert_Data(db, "Orvenna", pszTaskID, pszAdmin, pszCurrentLoginUser, "FAIL", "backup", "info",
                            row.c_str());
        if (n == qlm::RETRY_MAX) return rc;
        unsigned w = Backup_Calc_Backoff_Sec(n, qlm::BASE_SEC, qlm::CAP_SEC);
        std::string pause = std::string(pszText) + " Waiting " + std::to_string(w) + " sec before retry " +
                            std::to_string(n + 1) + ".";
        Sql_Log_Insert_Data(db, "Orvenna", pszTaskID, pszAdmin, pszCurrentLoginUser, "FAIL", "backup", "warn",
                            pause.c_str());
        Backup_Sleep_Full(w);
    }
}
