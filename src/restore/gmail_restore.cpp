#include "restore/gmail_restore.h"

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "common/filehelpers.h"
#include "common/guards.h"
#include "common/paths.h"
#include "dbcontrol/gmail_db.h"
#include "log/log_db.h"
#include "mission/mission_record.h"
#include "orvenna_task.h"
#include "plat_lock.h"
#include "restore/account_restore.h"
#include "restore/restore_cmd.h"
#include "restore/restore_service.h"
#include "restore/restore_state.h"
#include "restore/restore_tree.h"

namespace qlm {

std::string Gmail_Stored_Message_Path(const std::string& strTaskID, const std::string& strUser,
                                      const std::string& strLocalID) {
    return Backup_Service_Dir("gmail") + "/" + strTaskID + "/" + strUser + "/" + strLocalID;
}

namespace {

// The Gmail locks a backup of the same task takes: the task's, then each account's.
std::string Gmail_Task_Lock_Path(const std::string& strTaskID) {
    return Backup_Service_Dir("gmail") + "/" + strTaskID + ".gmail_lck";
}
std::string Gmail_User_Lock_Path(const std::string& strTaskID, const std::string& strUser) {
    return Backup_Service_Dir("gmail") + "/" + strTaskID + "/" + strUser + ".gmail_lck";
}

struct GmailRun {
    RestoreLog log;
    std::string strTaskID, strSource, strTarget, strLabel;
    int nMode = 1;
    bool bTarget = false;  // a target account was given (not empty)
    const std::set<std::string>* pSelection = nullptr;
    RestoreState* pState = nullptr;
    int nSuccess = 0, nFail = 0, nSkippedUsers = 0;
};

std::string Run_Args(const GmailRun& run) {
    return Restore_Format("source_user=%s target_user=%s task_id=%s restore_mode=%d", run.strSource.c_str(),
                          (run.bTarget ? run.strTarget : run.strSource).c_str(), run.strTaskID.c_str(), run.nMode);
}

void Write_Summary_Log(const GmailRun& run, int nResult) {
    // An account passed over is as much a shortfall as a failed message.
    const bool bFailed = nResult != 0 || run.nFail > 0 || run.nSkippedUsers > 0;
    Restore_Row(run.log, bFailed ? "FAIL" : "SUCCESS", "info", run.strSource,
                "Gmail restore summary. " + Run_Args(run) +
                    Restore_Format(" success=%d fail=%d skipped_users=%d", run.nSuccess, run.nFail,
                                   run.nSkippedUsers));
}

// One backed-up account's chosen messages. 0, or the result that ends the attempt.
int Restore_User(GmailRun& run, const std::string& user) {
    const char* task = run.strTaskID.c_str();
    if (!Restore_Catalog_Exists("gmail_db", run.strTaskID, user)) {
        // An empty mailbox, or a first backup that failed before its catalog was written: its store
        // folder exists, but nothing of it can be restored. (A catalog that exists and cannot be
        // read still fails the attempt.)
        Restore_Row(run.log, "FAIL", "warn", user,
                    Restore_Format("Skipped Gmail restore of an account that has no catalog. source_user=%s "
                                   "task_id=%s",
                                   user.c_str(), task));
        return 0;
    }
    RAIIful_Json rows(Json_List_Init());
    if (int rc = Gmail_Get_DB_Data(rows.get(), user.c_str(), task)) {
        Restore_Row(run.log, "FAIL", "info", user,
                    Restore_Format("Failed to get Gmail backup DB data. source_user=%s task_id=%s ret=%d", user.c_str(),
                                   task, rc));
        return -161;
    }
    const std::string& account = run.nMode != 2 && run.bTarget ? run.strTarget : user;
    for (int i = 0, n = Json_List_Size(rows.get()); i < n; ++i) {
        const char* localid = nullptr;
        if (Json_Dict_Find_Str(Json_List_Child(rows.get(), i), "localid", localid) != 0 || localid[0] == '\0') continue;
        if (run.pSelection != nullptr && run.pSelection->count(localid) == 0) continue;
        // Account and local id: one local id may stand in two accounts' backups.
        const std::string key = Account_Row_Key(user, localid);
        if (Restore_State_Has(*run.pState, key)) continue;  // inserted by an earlier attempt
        const std::string source = Gmail_Stored_Message_Path(run.strTaskID, user, localid);
        const int r = Upload_Gmail_With_Retry(account.c_str(), source, run.strLabel);
        if (r < 0) {
            printf("Connection error during gmail upload. Abort restore.\n");
            return -1;
        }
        if (r > 0) {
            printf("Fail upload gmail cmd after retries. localpath=%s\n", source.c_str());
            Restore_Row(run.log, "FAIL", "info", user,
                        Restore_Format("Failed to restore Gmail message. source_user=%s restore_account=%s "
                                       "local_id=%s task_id=%s",
                                       user.c_str(), account.c_str(), localid, task));
            ++run.nFail;
        } else {
            if (int rc = Restore_State_Put(*run.pState, key, "1")) return rc;
            ++run.nSuccess;
        }
        Restore_State_Count(*run.pState);
    }
    return 0;
}

int Restore_Users(GmailRun& run) {
    std::vector<std::string> users;
    if (int rc = List_Gmail_Backuped_User(run.strTaskID.c_str(), users)) {
        Restore_Row(run.log, "FAIL", "info", run.log.strDomain,
                    Restore_Format("Failed to list Gmail backup users. task_id=%s ret=%d", run.strTaskID.c_str(), rc));
        return rc;
    }
    for (const std::string& user : users) {
        if (run.nMode == 1 && user != run.strSource) continue;
        int fd = -1;
        if (Get_File_Lock(Gmail_User_Lock_Path(run.strTaskID, user).c_str(), 30000, fd) != 0) {
            Restore_Row(run.log, "FAIL", "warn", user,
                        Restore_Format("Skipped Gmail restore of an account whose backup is in use. source_user=%s "
                                       "task_id=%s",
                                       user.c_str(), run.strTaskID.c_str()));
            ++run.nSkippedUsers;
            continue;
        }
        LockGuard lock(&fd);
        if (int rc = Restore_User(run, user)) return rc;
        Restore_State_Flush(*run.pState);
    }
    return 0;
}

}  // namespace

int Count_Gmail_Restore_Total(const RestoreRequest& req, int64_t& total, sqlite3* db) {
    total = 0;
    if (req.nMode == 0) {
        total = req.ptjLocalList ? Json_List_Size(req.ptjLocalList) : 0;
        return 0;
    }
    const char* task = req.pTask->Get_Task_ID();
    // A backup of the task writes the catalogs under this lock: wait for it as the restore itself
    // does, or an account whose backup is being written fails the count before the restore waits.
    // Not taken in time, the count goes on and reads what is stored.
    int taskFd = -1;
    Get_File_Lock(Gmail_Task_Lock_Path(task).c_str(), 15000, taskFd);
    LockGuard taskLock(&taskFd);
    std::vector<std::string> users;
    List_Gmail_Backuped_User(task, users);  // a failing listing counts what it listed
    for (const std::string& user : users) {
        if (req.nMode == 1 && user != req.strSource) continue;
        if (!Restore_Catalog_Exists("gmail_db", task, user)) continue;  // nothing to restore: counts 0
        RAIIful_Json rows(Json_List_Init());
        if (int rc = Gmail_Get_DB_Data(rows.get(), user.c_str(), task)) {
            const std::string text =
                Restore_Format("Failed to get Gmail backup DB data for restore. admin=%s user=%s task_id=%s ret=%d",
                               req.pTask->Get_Admin_Email(), user.c_str(), task, rc);
            Sql_Log_Insert_Data(db, "Orvenna", req.strTaskID.c_str(), req.pTask->Get_Admin_Email(),
                                req.strLoginUser.c_str(), "FAIL", "restore", "info", text.c_str());
            return -1;
        }
        total += Json_List_Size(rows.get());
    }
    return 0;
}

}  // namespace qlm

int Restore_Gmail(GWSTask* pTask, const char* pszDomainUserEmail, const char* pszTargetAccount, PT_JSON ptjLocalList,
                  std::string strMissionPath, int nRestoreMode, sqlite3* sqlDatabase) {
    using namespace qlm;
    g_bGwsRestoreConnAbort = false;
    if (pTask == nullptr) return -161;
    GmailRun run;
    run.strTaskID = pTask->Get_Task_ID();
    run.log = RestoreLog{sqlDatabase, run.strTaskID, pTask->Get_Admin_Email()};
    run.nMode = nRestoreMode;
    run.strSource = pszDomainUserEmail ? pszDomainUserEmail : "";
    run.bTarget = pszTargetAccount != nullptr && pszTargetAccount[0] != '\0';
    run.strTarget = run.bTarget ? pszTargetAccount : "";

    int taskFd = -1;
    if (Get_File_Lock(Gmail_Task_Lock_Path(run.strTaskID).c_str(), 15000, taskFd) != 0) return -1;
    LockGuard taskLock(&taskFd);
    const std::set<std::string> selection = Restore_Selection(ptjLocalList);
    if (nRestoreMode == 0 && ptjLocalList != nullptr) run.pSelection = &selection;
    Restore_Row(run.log, "SUCCESS", "info", run.strSource, "Start Gmail restore process. " + Run_Args(run));

    RestoreState state;
    run.pState = &state;
    int rc = Restore_State_Begin(state, strMissionPath, kKeyGmailCurrent);
    if (rc == 0) {
        run.strLabel = Restore_Stamp(strMissionPath, kKeyRestoreStampGmail);
        rc = Restore_Users(run);
    }
    Restore_State_Flush(state);
    if (rc == 0)
        Restore_Row(run.log, "SUCCESS", "info", run.strSource, "Finished Gmail restore process. " + Run_Args(run));
    Write_Summary_Log(run, rc);
    return rc;
}
