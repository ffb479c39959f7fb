#include "orvenna_cgi/task_actions.h"

#include <string>
#include <vector>

#include "appgenerallib/keystore.h"
#include "common/filehelpers.h"
#include "common/guards.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "web/action_log.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "orvenna_cgi/mission_abort.h"
#include "orvenna_cgi/schedule_record.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_json.h"
#include "plat_lock.h"
#include "plat_nas.h"
#include "plat_string.h"

namespace qlm {

namespace {

constexpr const char* kStandBy = "Stand_by";

// The seven switches in the order they are read, with their setters.
const struct {
    const char* pszName;
    void (GWSTask::*pSet)(int);
} kSwitches[] = {
    {"drive_enable", &GWSTask::Set_Backup_Drive_Enable},
    {"shared_drive_enable", &GWSTask::Set_Backup_Shared_Drive_Enable},
    {"calendar_enable", &GWSTask::Set_Backup_Calendar_Enable},
    {"gmail_enable", &GWSTask::Set_Backup_Gmail_Enable},
    {"contact_enable", &GWSTask::Set_Backup_Contact_Enable},
    {"auto_add_user_enable", &GWSTask::Set_Auto_Add_User_Enable},
    {"auto_add_shared_drive_enable", &GWSTask::Set_Auto_Add_Shared_Drive_Enable},
};

bool Given_As_False(const O_APP_CGI_AGENT* agent, const char* name) {
    int v = -1;
    return agent->Get_Boolean_Param(name, v) == 0 && v == 0;
}

// Stores the comma list of the request as JSON array text; false when the set failed.
bool Set_Manual_List(GWSTask* pTask, const char* pszText, int (GWSTask::*pSet)(const char*)) {
    std::string strJson = smbbackup::Parse_Separated_Data_To_Json_String(pszText, ",", 0);
    return (pTask->*pSet)(strJson.c_str()) == 0;
}

// Held by a request that sets an admin e-mail (add, edit, edit_domain) from its check that no other
// task has the domain until its task file is written: two requests for one domain at once would
// both pass the check otherwise.
constexpr const char* kDomainClaimLock = "gws_domain_claim_lock";
constexpr int kDomainClaimWaitMs = 15000;

// True when another task (not pszOwnTaskID) has the mail domain of pszAdminEmail. A task folder
// that cannot be listed finds none.
bool Domain_Has_Task(const char* pszAdminEmail, const char* pszOwnTaskID) {
    std::vector<std::string> vNames;
    if (Get_Folder_Name_List(vNames, Conf_Dir().c_str(), false) != 0) return false;
    for (const std::string& name : vNames) {
        if (name.size() != 36 || (pszOwnTaskID != nullptr && name == pszOwnTaskID)) continue;
        // A task that loads only in part is compared with what was read of it.
        GWSTask other;
        other.Load_Task_Data(name.c_str());
        if (IsSameDomain(other.Get_Admin_Email(), pszAdminEmail)) return true;
    }
    return false;
}

// One domain, one task: takes the domain claim into claimFd (the caller's guard lets it go once
// the task file is written) and checks the task's domain against every other task. 0 when free;
// -161 when the claim cannot be had (nothing replied: each action has its own failure reply); -1
// when another task has the domain, after the reply 5044 "admin_email".
int Claim_Free_Domain(const GWSTask& task, const char* pszOwnTaskID, int& claimFd) {
    if (Get_File_Lock(kDomainClaimLock, kDomainClaimWaitMs, claimFd) != 0) return -161;
    if (!Domain_Has_Task(task.Get_Admin_Email(), pszOwnTaskID)) return 0;
    Reply_Error(kReplyDomainTaken, "admin_email");
    return -1;
}

// The compact JSON list of the addresses of the picked ids, in the order of the key's user list.
std::string Picked_User_Emails(json_object* pUserList, const char* pszManualJson) {
    RAIIful_Json picked(Json_List_Init());
    RAIIful_Json ids(Json_From_String(pszManualJson));
    PT_JSON users = nullptr;
    if (Json_Dict_Find_List(pUserList, "user_list", users) == 0) {
        for (int i = 0; i < Json_List_Size(users); ++i) {
            PT_JSON user = Json_List_Child(users, i);
            const char* pszID = nullptr;
            const char* pszEmail = nullptr;
            if (Json_Dict_Find_Str(user, "iD", pszID) != 0) continue;
            for (int j = 0; j < Json_List_Size(ids.get()); ++j) {
                const char* pszPick = Json_Get_String(Json_List_Child(ids.get(), j));
                if (pszPick == nullptr || std::string(pszPick) != pszID) continue;
                if (Json_Dict_Find_Str(user, "Email", pszEmail) == 0) Json_List_Add_Str(picked.get(), pszEmail);
                break;
            }
        }
    }
    return Json_To_Plain_String(picked.get());
}

void Reply_Task_ID(const GWSTask& task) {
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_Str(reply.get(), "task_id", task.Get_Task_ID());
    Reply_Json(reply.get());
}

void Log_Edited(sqlite3* db, const GWSTask& task, const char* pszUser) {
    std::string msg = "User " + std::string(pszUser) + " edited the settings of domain " + task.Get_Admin_Email() + ".";
    Log_Action_Row(db, task.Get_Task_ID(), task.Get_Admin_Email(), pszUser, "backup", "info", msg.c_str());
}

}  // namespace

int Set_Param_From_Cgi(GWSTask* pTask, O_APP_CGI_AGENT* pocgiAgent) {
    // Both ids become file names, so a text of another form is refused before anything is stored.
    if (const char* pszAuthID = pocgiAgent->Get_Param("auth_id")) {
        if (!Is_Id_Form(pszAuthID) || pTask->Set_Auth_ID(pszAuthID) != 0) {
            Reply_Error(kReplyFailed, "auth_id");
            return -22;
        }
    }
    bool bRefused = false;
    if (const char* pszAdminEmail = Get_Admin_Email_Param(pocgiAgent, bRefused)) {
        if (bRefused) {
            Reply_Error(kReplyBadParam, "admin_email");
            return -22;
        }
        if (pTask->Set_Admin_Email(pszAdminEmail) != 0) {
            Reply_Error(kReplyFailed, "admin_email");
            return -22;
        }
    }
    for (const auto& sw : kSwitches) {
        int v = -1;
        if (pocgiAgent->Get_Boolean_Param(sw.pszName, v) == 0) (pTask->*sw.pSet)(v);
    }
    if (Given_As_False(pocgiAgent, "auto_add_user_enable")) {
        const char* pszUsers = pocgiAgent->Get_Param("manual_domain_user");
        if (pszUsers != nullptr && !Set_Manual_List(pTask, pszUsers, &GWSTask::Set_Manual_Select_Domain_User)) {
            Reply_Error(kReplyFailed, "manual_domain_user");
            return -22;
        }
    }
    if (!Given_As_False(pocgiAgent, "auto_add_shared_drive_enable")) return 0;
    const char* pszDrives = pocgiAgent->Get_Param("manual_shared_drive");
    if (pszDrives != nullptr) {
        if (!Set_Manual_List(pTask, pszDrives, &GWSTask::Set_Manual_Select_Shared_Drive)) {
            Reply_Error(kReplyFailed, "manual_shared_drive");
            return -22;
        }
        return 0;
    }
    if (!Given_As_False(pocgiAgent, "shared_drive_enable")) {
        Reply_Error(kReplyFailed, "manual_shared_drive");
        return -22;
    }
    return 0;
}

int Add(O_APP_CGI_AGENT* agent) {
    Log_Db db;
    if (Open_Action_Log(db) != 0) return 0;
    // A task file without every switch would never load again, yet count toward the task limit.
    for (const auto& sw : kSwitches) {
        int v = -1;
        if (agent->Get_Param(sw.pszName) == nullptr) {
            Reply_Error(kReplyMissingParam, sw.pszName);
            return 0;
        }
        if (agent->Get_Boolean_Param(sw.pszName, v) != 0) {
            Reply_Error(kReplyBadParam, sw.pszName);
            return 0;
        }
    }
    GWSTask task;
    if (Set_Param_From_Cgi(&task, agent) != 0) return 0;
    int claimFd = -1;
    LockGuard claim(&claimFd);
    if (agent->Get_Param("admin_email") != nullptr) {
        if (int rc = Claim_Free_Domain(task, nullptr, claimFd); rc != 0) {
            if (rc == -161) Reply_Error(kReplyTaskChangeFailed, "Add task fail.");
            return 0;
        }
    }
    if (task.Set_Task_Status(kStandBy) != 0 || task.Create_And_Set_New_Task_ID() != 0) {
        Reply_Error(kReplyFailed, "task_id");
        return 0;
    }
    if (task.Get_Auto_Add_User_Enable() == 0) {
        RAIIful_Json userList;
        if (Is_Id_Form(task.Get_Auth_ID())) userList.reset(Json_From_File(User_List_Path(task.Get_Auth_ID()).c_str()));
        if (!userList) {
            Reply_Error(kReplyTaskChangeFailed, "Add task fail.");
            return 0;
        }
        std::string msg = "Manually added account " +
                          Picked_User_Emails(userList.get(), task.Get_Manual_Select_Domain_User()) +
                          " to backup list.";
        Log_Action_Row(db.get(), task.Get_Task_ID(), task.Get_Admin_Email(), agent->m_szUser, "backup", "info",
                       msg.c_str());
    }
    if (task.Create_A_New_Configure_File() != 0) {
        Reply_Error(kReplyTaskChangeFailed, "Add task fail.");
        return 0;
    }
    Reply_Task_ID(task);
    std::string msg = "User " + std::string(agent->m_szUser) + " added " + task.Get_Admin_Email() + " to the domain list.";
    Log_Action_Row(db.get(), task.Get_Task_ID(), task.Get_Admin_Email(), agent->m_szUser, "backup", "info",
                   msg.c_str());
    return 0;
}

int Edit(O_APP_CGI_AGENT* agent) {
    Log_Db db;
    if (Open_Action_Log(db) != 0) return 0;
    GWSTask task;
    if (Load_Request_Task(agent, task) != 0) return 0;
    if (Set_Param_From_Cgi(&task, agent) != 0) return 0;
    int claimFd = -1;
    LockGuard claim(&claimFd);
    if (agent->Get_Param("admin_email") != nullptr) {
        if (int rc = Claim_Free_Domain(task, task.Get_Task_ID(), claimFd); rc != 0) {
            if (rc == -161) Reply_Error(kReplyTaskChangeFailed, "Edit task fail.");
            return 0;
        }
    }
    if (task.Set_Task_Status(kStandBy) != 0 || task.Update_Change_To_Configure() != 0) {
        Reply_Error(kReplyTaskChangeFailed, "Edit task fail.");
        return 0;
    }
    Reply_Task_ID(task);
    Log_Edited(db.get(), task, agent->m_szUser);
    return 0;
}

int Edit_Domain(O_APP_CGI_AGENT* agent) {
    Log_Db db;
    if (Open_Action_Log(db) != 0) return 0;
    GWSTask task;
    if (Load_Request_Task(agent, task) != 0) return 0;
    if (const char* pszAuthID = agent->Get_Param("auth_id")) {
        if (!Is_Id_Form(pszAuthID)) {
            Reply_Error(kReplyFailed, "auth_id");
            return 0;
        }
        Log_Action_Row(db.get(), task.Get_Task_ID(), task.Get_Admin_Email(), agent->m_szUser, "backup", "info",
                       "Google API token refreshed.");
        if (task.Set_Auth_ID(pszAuthID) != 0) {
            Reply_Error(kReplyFailed, "auth_id");
            return 0;
        }
    }
    bool bRefused = false;
    int claimFd = -1;
    LockGuard claim(&claimFd);
    if (const char* pszAdminEmail = Get_Admin_Email_Param(agent, bRefused)) {
        if (bRefused) {
            Reply_Error(kReplyBadParam, "admin_email");
            return 0;
        }
        if (task.Set_Admin_Email(pszAdminEmail) != 0) {
            Reply_Error(kReplyFailed, "admin_email");
            return 0;
        }
        if (int rc = Claim_Free_Domain(task, task.Get_Task_ID(), claimFd); rc != 0) {
            if (rc == -161) Reply_Error_No_Msg(kReplyFailed);
            return 0;
        }
    }
    if (task.Update_Change_To_Configure() != 0) {
        Reply_Error_No_Msg(kReplyFailed);
        return 0;
    }
    Reply_Task_ID(task);
    Log_Edited(db.get(), task, agent->m_szUser);
    return 0;
}

int Detail(O_APP_CGI_AGENT* agent) {
    GWSTask task;
    if (Load_Request_Task(agent, task) != 0) return 0;
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_Str(reply.get(), "admin_email", task.Get_Admin_Email());
    const int values[] = {task.Get_Backup_Drive_Enable(),    task.Get_Backup_Shared_Drive_Enable(),
                          task.Get_Backup_Calendar_Enable(), task.Get_Backup_Gmail_Enable(),
                          task.Get_Backup_Contact_Enable(),  task.Get_Auto_Add_User_Enable(),
                          task.Get_Auto_Add_Shared_Drive_Enable()};
    for (size_t i = 0; i < std::size(kSwitches); ++i) Json_Dict_Add_Bool(reply.get(), kSwitches[i].pszName, values[i] > 0);
    if (task.Get_Auto_Add_User_Enable() == 0)
        Json_Dict_Add_Str(reply.get(), "manual_domain_user", task.Get_Manual_Select_Domain_User());
    if (task.Get_Auto_Add_Shared_Drive_Enable() == 0)
        Json_Dict_Add_Str(reply.get(), "manual_shared_drive", task.Get_Manual_Select_Shared_Drive());
    Reply_Json(reply.get());
    return 0;
}

void List_Task() {
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    std::vector<std::string> vIDs = Get_All_GWS_Task_ID_In_Vector();
    if (!vIDs.empty()) {
        PT_JSON list = Json_List_Init();
        for (const std::string& id : vIDs) {
            // A task that does not load shows what was read of it; unset switches show as off.
            GWSTask task;
            task.Load_Task_Data(id.c_str());
            PT_JSON item = Json_Dict_Init();
            Json_Dict_Add_Str(item, "task_id", id.c_str());
            Json_Dict_Add_Str(item, "admin_email", task.Get_Admin_Email());
            Json_Dict_Add_Bool(item, "drive_enable", task.Get_Backup_Drive_Enable() > 0);
            Json_Dict_Add_Bool(item, "shared_drive_enable", task.Get_Backup_Shared_Drive_Enable() > 0);
            Json_Dict_Add_Bool(item, "calendar_enable", task.Get_Backup_Calendar_Enable() > 0);
            Json_Dict_Add_Bool(item, "gmail_enable", task.Get_Backup_Gmail_Enable() > 0);
            Json_Dict_Add_Bool(item, "contact_enable", task.Get_Backup_Contact_Enable() > 0);
            Json_List_Add_Dict(list, item);
        }
        Json_Dict_Add_List(reply.get(), "task_list", list);
    }
    Reply_Json(reply.get());
}

int Delete(O_APP_CGI_AGENT* agent) {
    Log_Db db;
    if (Open_Action_Log(db) != 0) return 0;
    if (agent->Get_Param("task_id") == nullptr) {
        Reply_Error(kReplyMissingParam, "task_id");
        return 0;
    }
    const char* pszPassword = agent->Get_Param("password");
    if (pszPassword == nullptr) {
        Reply_Error(kReplyMissingParam, "password");
        return 0;
    }
    if (Verify_User_Passwd(agent->m_szUser, pszPassword) < 0) {
        Reply_Error(kReplyWrongPassword, "password");
        return 0;
    }
    GWSTask task;
    if (Load_Request_Task(agent, task) != 0) return 0;
    // A backup or restore of the task would go on writing its store, catalogs and log rows after
    // the task is gone: it ends first.
    Abort_Task_Missions(task.Get_Task_ID());
    std::string msg = "User " + std::string(agent->m_szUser) + " removed " + task.Get_Admin_Email() +
                      " from the domain list.";
    Log_Action_Row(db.get(), task.Get_Task_ID(), task.Get_Admin_Email(), agent->m_szUser, "backup", "info",
                   msg.c_str());
    if (task.Delete_Task() != 0) {
        Reply_Error(kReplyTaskChangeFailed, "Delete task fail.");
        return 0;
    }
    // A backup whose action answered just before the delete may have filed its running record
    // only after the first pass; it ends now, and what it wrote meanwhile goes too.
    if (Abort_Task_Missions(task.Get_Task_ID()) > 0) task.Delete_Task();
    if (Remove_Task_Schedule_Records(task.Get_Task_ID()) > 0) Send_Signal_Let_Daemon_Recalculate_Schedule_Queue(true);
    Reply_Success();
    return 0;
}

}  // namespace qlm
