#include "backup/backup_retry.h"

#include <string>

#include "common/clock.h"
#include "common/cmdrun.h"
#include "log/log_db.h"
#include "orvenna_task.h"
#include "plat_json.h"

namespace {

unsigned Backup_Calc_Backoff_Sec(int n, unsigned base, unsigned cap) {
    unsigned long long w = base;
    for (int i = 1; i < n && w < cap; ++i) w *= 2;
    return static_cast<unsigned>(w < cap ? w : cap);
}

// The whole pause, one second at a time, so a signal that cuts one piece short costs at most that
// piece. A worker being stopped never gets here again: its SIGTERM handler ends it at once.
void Backup_Sleep_Full(unsigned sec) {
    for (unsigned i = 0; i < sec; ++i) qlm::Sleep_Seconds(1.0);
}

}  // namespace

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

int Check_Permission_By_Cmd(const std::string& strCmdLine, const std::string& strResultPath) {
    int status = -1;
    if (Execute_Tool_Line(status, "%s", strCmdLine.c_str()) < 0 || status != 0) return -1;
    RAIIful_Json result(Json_From_File(strResultPath.c_str()));
    if (!result) return -2;
    bool pass = false;
    Json_Dict_Find_Bool(result.get(), "is_pass", pass);
    return pass ? 0 : -3;
}
