#include "restore/account_restore.h"

#include <unordered_set>

#include "common/clock.h"
#include "common/cmdrun.h"
#include "common/filehelpers.h"
#include "dbcontrol/calendar_db.h"
#include "dbcontrol/contact_db.h"
#include "orvenna_task.h"
#include "restore/restore_state.h"

namespace qlm {

const AccountCatalog kCalendarCatalog = {"Calendar", "calendar_db", List_Calendar_Backuped_User,
                                         Calendar_Get_DB_Data};
const AccountCatalog kContactCatalog = {"Contact", "contact_db", List_Contact_Backuped_User, Contact_Get_DB_Data};

std::vector<std::string> Catalog_Accounts(const std::vector<std::string>& names) {
    std::vector<std::string> out;
    out.reserve(names.size());
    for (const std::string& name : names) out.push_back(name.size() > 2 ? name.substr(0, name.size() - 3) : name);
    return out;
}

std::string Row_Text(PT_JSON row, const char* key) {
    const char* text = nullptr;
    return Json_Dict_Find_Str(row, key, text) == 0 && text != nullptr ? text : "";
}

std::string Account_Row_Key(const std::string& user, const std::string& localid) { return user + "/" + localid; }

int Count_Account_Rows(const AccountCatalog& cat, const char* pszTaskID, const std::string& strSource, int nMode,
                       PT_JSON ptjLocalList, int64_t& total, std::string& failedUser) {
    total = 0;
    if (nMode == 0) {
        total = ptjLocalList ? Json_List_Size(ptjLocalList) : 0;
        return 0;
    }
    std::vector<std::string> users;
    if (nMode == 2) {
        std::vector<std::string> names;
        cat.list(pszTaskID, names);  // a listing that fails counts what it listed
        users = Catalog_Accounts(names);
    } else {
        users.push_back(strSource);
    }
    for (const std::string& user : users) {
        if (!Restore_Catalog_Exists(cat.pszCatalog, pszTaskID, user)) continue;  // nothing backed up: nothing to do
        RAIIful_Json rows(Json_List_Init());
        if (int rc = cat.read(rows.get(), user.c_str(), pszTaskID)) {
            failedUser = user;
            return rc;
        }
        total += Json_List_Size(rows.get());
    }
    return 0;
}

int Run_Row_Command(const AccountRestoreRun& run, const std::string& line, const std::string& account,
                    const char* pszFailText) {
    int status = -1;
    int ret = line.empty() ? -161 : Execute_Command_Line_Timeout(status, Tool_Timeout_Sec(600), "%s", line.c_str());
    if (ret == 0 && status == 0) return 0;
    Restore_Row(run.log, "FAIL", "info", account,
                Restore_Format("%s restore_account=%s ret=%d sys_ret=%d task_id=%s", pszFailText, account.c_str(), ret,
                               status, run.strTaskID.c_str()));
    return -161;
}

namespace {

std::string Mission_Id_Of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int Run_Account_Restore(const AccountRestore& svc, GWSTask* pTask, const char* pszSource, const char* pszTarget,
                        PT_JSON ptjLocalList, const std::string& strMissionPath, int nRestoreMode, sqlite3* db) {
    if (pTask == nullptr) return -161;
    const AccountCatalog& cat = *svc.pCatalog;
    AccountRestoreRun run;
    run.strTaskID = pTask->Get_Task_ID();
    run.log = RestoreLog{db, run.strTaskID, pTask->Get_Admin_Email()};
    run.strMissionID = Mission_Id_Of(strMissionPath);
    run.strSource = pszSource ? pszSource : "";
    run.nMode = nRestoreMode;
    const char* task = run.strTaskID.c_str();
    const bool bTarget = pszTarget != nullptr && pszTarget[0] != '\0';

    RestoreState state;
    if (int rc = Restore_State_Begin(state, strMissionPath, svc.pszCurrentKey)) return rc;
    const std::string args =
        Restore_Format("source_user=%s target_user=%s task_id=%s restore_mode=%d", run.strSource.c_str(),
                       bTarget ? pszTarget : run.strSource.c_str(), task, nRestoreMode);
    Restore_Row(run.log, "SUCCESS", "info", run.strSource,
                "Start " + std::string(cat.pszName) + " restore process. " + args);

    // Mode 0 restores the listed local ids only.
    std::unordered_set<std::string> selection;
    const bool bSelective = nRestoreMode == 0 && ptjLocalList != nullptr;
    for (int i = 0, n = bSelective ? Json_List_Size(ptjLocalList) : 0; i < n; ++i) {
        const char* id = Json_Get_String(Json_List_Child(ptjLocalList, i));
        if (id != nullptr) selection.insert(id);
    }

    std::vector<std::string> names;
    if (nRestoreMode >= 0 && nRestoreMode <= 2) {
        if (int rc = cat.list(task, names)) {
            Restore_Row(run.log, "FAIL", "info", run.log.strDomain,
                        Restore_Format("Failed to list %s backup users. task_id=%s ret=%d", cat.pszName, task, rc));
            return rc;
        }
    }
    int nPassedOver = 0;
    for (const std::string& user : Catalog_Accounts(names)) {
        if (nRestoreMode == 1 && user != run.strSource) continue;
        RAIIful_Json rows(Json_List_Init());
        if (int rc = cat.read(rows.get(), user.c_str(), task)) {
            // A selection looks into every account: one without a catalog has nothing selected.
            if (nRestoreMode == 0 && (!svc.bSelectionReadFails || !Restore_Catalog_Exists(cat.pszCatalog, task, user))) {
                Restore_Row(run.log, "FAIL", "warn", user,
                            Restore_Format("Skipped %s restore of an account whose backup cannot be read. "
                                           "source_user=%s task_id=%s ret=%d",
                                           cat.pszName, user.c_str(), task, rc));
                continue;
            }
            Restore_Row(run.log, "FAIL", "info", user,
                        Restore_Format("Failed to get %s backup DB data. source_user=%s task_id=%s ret=%d",
                                       cat.pszName, user.c_str(), task, rc));
            Restore_State_Flush(state);
            return -161;
        }
        const std::string account = nRestoreMode != 2 && bTarget ? pszTarget : user;
        for (int i = 0, n = Json_List_Size(rows.get()); i < n; ++i) {
            PT_JSON row = Json_List_Child(rows.get(), i);
            const std::string localid = Row_Text(row, "localid");
            if (bSelective && selection.count(localid) == 0) continue;
            const std::string key = Account_Row_Key(user, localid);
            const bool bKeyed = svc.bJournal && !localid.empty();
            if (bKeyed && Restore_State_Has(state, key)) continue;
            int rc = svc.restoreRow(run, row, account);
            if (rc == 1) {
                ++nPassedOver;
                continue;
            }
            if (rc == 0 && bKeyed) rc = Restore_State_Put(state, key, "1");
            if (rc != 0) {
                Restore_State_Flush(state);
                return rc;
            }
            Restore_State_Count(state);
        }
    }
    Restore_State_Flush(state);
    if (nPassedOver > 0)
        Restore_Row(run.log, "FAIL", "warn", run.strSource,
                    Restore_Format("%s count=%d source_user=%s task_id=%s", svc.pszPassedOver, nPassedOver,
                                   run.strSource.c_str(), task));
    Restore_Row(run.log, "SUCCESS", "info", run.strSource,
                "Finished " + std::string(cat.pszName) + " restore process. " + args);
    return 0;
}

}  // namespace qlm
