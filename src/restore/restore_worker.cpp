#include "restore/restore_worker.h"

#include <unistd.h>

#include <string>
#include <vector>

#include "appgenerallib/keystore.h"
#include "common/atomicfile.h"
#include "common/clock.h"
#include "common/filehelpers.h"
#include "common/guards.h"
#include "common/paths.h"
#include "dbcontrol/drive_db.h"
#include "dbcontrol/shared_drive_db.h"
#include "log/log_db.h"
#include "mission/mission_record.h"
#include "mission/worker.h"
#include "orvenna_task.h"
#include "plat_file.h"
#include "plat_string.h"
#include "restore/account_restore.h"
#include "restore/gmail_restore.h"
#include "restore/restore_tree.h"

namespace qlm {

const RestoreServiceRow kRestoreServices[kRestoreServiceCount] = {
    {"drive_enable", "Drive", "drive", Restore_Drive, "Drive restore fail.", kKeyDriveTotal, kKeyDriveCurrent},
    {"shared_drive_enable", "Shared Drive", "shared_drive", Restore_Shared_Drive, "Shared drive restore fail.",
     kKeySharedDriveTotal, kKeySharedDriveCurrent},
    {"gmail_enable", "Gmail", "gmail", Restore_Gmail, "Gmail restore fail.", kKeyGmailTotal, kKeyGmailCurrent},
    {"calendar_enable", "Calendar", "calendar", Restore_Calendar, "Calendar restore fail.", kKeyCalendarTotal,
     kKeyCalendarCurrent},
    {"contact_enable", "Contact", "contact", Restore_Contact, "Contact restore fail.", kKeyContactTotal,
     kKeyContactCurrent},
};

namespace {

const char* const kCounterKeys[] = {kKeyBackupCurrent, kKeyDriveCurrent,   kKeySharedDriveCurrent,
                                    kKeyGmailCurrent,  kKeyContactCurrent, kKeyCalendarCurrent};
const char* const kProgressKeys[] = {kKeyTotalProgress,   kKeyDriveProgress,   kKeySharedDriveProgress,
                                     kKeyGmailProgress,   kKeyContactProgress, kKeyCalendarProgress};

void Worker_Row(sqlite3* db, const RestoreRequest& req, const char* pszStatus, const char* pszType,
                const std::string& text, const char* pszDomain = nullptr) {
    Sql_Log_Insert_Data(db, "Orvenna", req.strTaskID.c_str(), pszDomain ? pszDomain : req.pTask->Get_Admin_Email(),
                        req.strLoginUser.c_str(), pszStatus, "restore", pszType, text.c_str());
}

// Rows of one catalog: 0 with the count, or the catalog call's result.
template <typename ReadFn>
int Catalog_Rows(ReadFn read, const std::string& key, const char* task, PT_JSON localList, bool bSelect,
                 bool bCountFolder, int64_t& n) {
    RAIIful_Json rows(Json_List_Init());
    if (int rc = read(rows.get(), key.c_str(), task)) return rc;
    n = bSelect ? Selection_Count(rows.get(), localList, bCountFolder) : Json_List_Size(rows.get());
    return 0;
}

void Reset_Counters(const std::string& path) {
    RAIIful_Json record(Json_Read_Object_File(path));
    if (!record) return;
    for (const char* key : kCounterKeys) Json_Dict_Add_Int(record.get(), key, 0);
    Replace_File_Atomic(path, Json_To_Plain_String(record.get()));
}

}  // namespace

int Count_Restore_Total(const RestoreRequest& req, int64_t& total, sqlite3* db) {
    total = 0;
    const char* task = req.pTask->Get_Task_ID();
    const char* admin = req.pTask->Get_Admin_Email();
    const bool bSelect = req.nMode == 0;
    if (req.nService == 2) return Count_Gmail_Restore_Total(req, total, db);
    if (req.nService == 3 || req.nService == 4) {  // Calendar, Contacts
        const AccountCatalog& cat = req.nService == 3 ? kCalendarCatalog : kContactCatalog;
        std::string user;
        if (int rc = Count_Account_Rows(cat, task, req.strSource, req.nMode, req.ptjLocalList, total, user)) {
            Worker_Row(db, req, "FAIL", "info",
                       Restore_Format("Failed to get %s backup DB data for restore. admin=%s user=%s task_id=%s ret=%d",
                                      cat.pszName, admin, user.c_str(), task, rc));
            return -1;
        }
        return 0;
    }
    if (req.nService == 0) {  // Drive
        std::vector<std::string> users;
        if (req.nMode == 2) {
            if (List_Drive_Backuped_User(task, users) != 0) return -1;
        } else {
            users.push_back(req.strSource);
        }
        for (const std::string& user : users) {
            int64_t n = 0;
            if (!Restore_Catalog_Exists("drive_db", task, user)) continue;  // never backed up: nothing to do
            if (int rc = Catalog_Rows(Drive_Get_DB_Data, user, task, req.ptjLocalList, bSelect, false, n)) {
                Worker_Row(db, req, "FAIL", "info",
                           "Failed to get Drive backup DB data for restore. admin=" + std::string(admin) +
                               " user=" + user + " task_id=" + task + " ret=" + std::to_string(rc));
                return -1;
            }
            total += n;
        }
        return 0;
    }
    if (req.nService == 1) {  // Shared Drive
        RAIIful_Json mapping(Json_List_Init());
        if (int rc = Shared_Drive_Get_Mapping_UUID_DB_Data(mapping.get(), task)) {
            Worker_Row(db, req, "FAIL", "info",
                       "Failed to get Shared Drive mapping UUID DB data for restore. admin=" + std::string(admin) +
                           " task_id=" + task + " ret=" + std::to_string(rc));
            return -1;
        }
        for (int i = 0, m = Json_List_Size(mapping.get()); i < m; ++i) {
            PT_JSON row = Json_List_Child(mapping.get(), i);
            const char *uuid = nullptr, *id = "";
            if (Json_Dict_Find_Str(row, "shared_drive_uuid", uuid) != 0) continue;
            Json_Dict_Find_Str(row, "shared_drive_id", id);
            if (req.nMode != 2 && req.strSource != uuid) continue;
            if (!Restore_Catalog_Exists("shared_drive_db", task, uuid)) continue;
            int64_t n = 0;
            if (int rc = Catalog_Rows(Shared_Drive_Get_DB_Data, uuid, task, req.ptjLocalList, bSelect, true, n)) {
                Worker_Row(db, req, "FAIL", "info",
                           "Failed to get Shared Drive backup DB data for restore. admin=" + std::string(admin) +
                               " shared_drive_id=" + id + " task_id=" + task + " ret=" + std::to_string(rc));
                return -1;
            }
            total += n;
        }
    }
    return 0;
}

int Restore_Service_With_Retry(RestoreServiceFn fnRestore, GWSTask* pTask, const char* pszSource,
                               const char* pszTarget, PT_JSON ptLocalidList, const std::string& strMissionConfPath,
                               int nRestoreMode, const char* pszTaskID, const char* pszCurrentLoginUser,
                               sqlite3* psqlDataBase, const char* pszServiceErr) {
    const char* admin = pTask->Get_Admin_Email();
    for (int n = 1;; ++n) {
        Reset_Counters(strMissionConfPath);
        // A fresh GAM set-up for every later attempt: a long pause may have outlived the first.
        int rc = n > 1 && Initial_GAM_Conf(pTask->Get_Auth_ID(), admin) != 0
                     ? -161
                     : fnRestore(pTask, pszSource, pszTarget, ptLocalidList, strMissionConfPath, nRestoreMode,
                                 psqlDataBase);
        if (rc == 0) return 0;
        const std::string row = "Error occurred while restoring all accounts in domain " + std::string(admin) + ": " +
                                pszServiceErr + ".";
        Sql_Log_Insert_Data(psqlDataBase, "Orvenna", pszTaskID, admin, pszCurrentLoginUser, "FAIL", "restore", "info",
                            row.c_str());
        if (n == RETRY_MAX) return rc;
        const unsigned w = Backup_Calc_Backoff_Sec(n, BASE_SEC, CAP_SEC);
        const std::string pause = std::string(pszServiceErr) + " Waiting " + std::to_string(w) + " sec before retry " +
                                  std::to_string(n + 1) + ".";
        Sql_Log_Insert_Data(psqlDataBase, "Orvenna", pszTaskID, admin, pszCurrentLoginUser, "FAIL", "restore", "warn",
                            pause.c_str());
        Backup_Sleep_Full(w);
    }
}

void Run_Restore_Worker(const RestoreRequest& req, sqlite3* db) {
    const RestoreServiceRow* svc = req.nService >= 0 ? &kRestoreServices[req.nService] : nullptr;
    GWSTask& task = *req.pTask;
    RAIIful_Json record(Json_Dict_Init());
    PT_JSON services = Json_List_Init();
    if (svc) Json_List_Add_Str(services, svc->pszEntry);
    Json_Dict_Add_List(record.get(), kKeyService, services);
    Json_Dict_Add_Str(record.get(), kKeyMissionName, Get_New_Mission_Name().c_str());
    Json_Dict_Add_Str(record.get(), kKeyTaskId, task.Get_Task_ID());
    Json_Dict_Add_Str(record.get(), kKeyDomain, task.Get_Admin_Email());
    Json_Dict_Add_Str(record.get(), kKeyMode, "restore");
    Json_Dict_Add_Int64(record.get(), kKeyStartTime, static_cast<int64_t>(Now()));
    Json_Dict_Add_Str(record.get(), kKeyBackupStatus, "restoring");
    for (const char* key : kProgressKeys) Json_Dict_Add_Double(record.get(), key, 0.0);
    for (const char* key : kCounterKeys) Json_Dict_Add_Int(record.get(), key, 0);
    Json_Dict_Add_Int(record.get(), kKeyProcessPid, static_cast<int>(getpid()));

    smbbackup::Create_Path(History_Mission_Dir().c_str(), 0700);
    const std::string running = Mission_Dir() + "/" + req.strMissionID;
    const std::string history = History_Mission_Dir() + "/" + smbbackup::Create_New_ID();
    UnlinkGuard journal = Guard_File(Restore_Journal_Path(running));
    unlink(journal->c_str());
    Json_Write_File(running, record.get());

    // The record's last form goes to the history; the running record and its journal go.
    auto file = [&](const char* pszStatus, bool bEndTime) {
        Json_Dict_Add_Str(record.get(), kKeyBackupStatus, pszStatus);
        if (bEndTime) Json_Dict_Add_Int64(record.get(), kKeyEndTime, static_cast<int64_t>(Now()));
        Json_Write_File(history, record.get());
        unlink(running.c_str());
    };

    // Without its own log handle the worker could not tell what it did: the request's failure shows
    // in the history instead.
    if (db == nullptr) return file("error", false);
    DirGuard gam = Guard_Gam_Process_Dir();
    if (Initial_GAM_Conf(task.Get_Auth_ID(), task.Get_Admin_Email()) != 0) return file("error", false);

    int64_t total = 0;
    if (svc && Count_Restore_Total(req, total, db) != 0) return file("error", false);
    Json_Dict_Add_Int(record.get(), kKeyBackupTotal, static_cast<int>(total));
    for (const RestoreServiceRow& row : kRestoreServices)
        Json_Dict_Add_Int(record.get(), row.pszTotalKey, svc == &row ? static_cast<int>(total) : 0);
    Json_Write_File(running, record.get());

    const char* pszSource = req.strSource.c_str();
    const char* pszTarget = req.bTargetGiven ? req.strTarget.c_str() : nullptr;
    if (svc) {
        const std::string args = std::string(req.bSharedDriveSource ? "source_shared_drive_uuid=" : "source_user=") +
                                 req.strSource +
                                 (req.bSharedDriveSource ? " target_shared_drive_id=" : " target_user=") +
                                 (req.strTarget.empty() ? req.strSource : req.strTarget) + " task_id=" + req.strTaskID +
                                 " restore_mode=" + std::to_string(req.nMode);
        const std::string name = svc->pszName;
        Worker_Row(db, req, "SUCCESS", "info", "Start restoring " + name + " data. " + args);
        int rc = svc->fn ? Restore_Service_With_Retry(svc->fn, req.pTask, pszSource, pszTarget, req.ptjLocalList,
                                                      running, req.nMode, req.strTaskID.c_str(),
                                                      req.strLoginUser.c_str(), db, svc->pszFailure)
                         : -161;
        if (rc != 0) return file("error", true);
        Worker_Row(db, req, "SUCCESS", "info", "Finished restoring " + name + " data. " + args);
    }
    for (const char* key : kProgressKeys) Json_Dict_Add_Double(record.get(), key, 100.0);
    Sleep_Seconds(1.0);
    file("finish", true);
    const std::string where = req.bSharedDriveSource ? req.strSharedDriveName : req.strSource;
    Worker_Row(db, req, "SUCCESS", "info",
               "Completed restoring " + std::string(svc ? svc->pszName : "") + " data for all accounts in domain " +
                   where + ".",
               where.c_str());
}

}  // namespace qlm
