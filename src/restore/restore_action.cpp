#include "restore/restore_action.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "appgenerallib/keystore.h"
#include "common/dlnames.h"
#include "common/guards.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "common/toolcmd.h"
#include "dbcontrol/shared_drive_db.h"
#include "log/log_db.h"
#include "mission/worker.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_string.h"
#include "restore/restore_worker.h"
#include "web/action_log.h"
#include "web/reply.h"

namespace qlm {

namespace {

struct Action {
    O_APP_CGI_AGENT* agent;
    sqlite3* db;
    GWSTask* pTask;
    const char* pszTaskID;
};

void Row(const Action& a, const char* pszStatus, const std::string& text, const char* pszDomain = nullptr) {
    const char* admin = a.pTask ? a.pTask->Get_Admin_Email() : "";
    Sql_Log_Insert_Data(a.db, "Orvenna", a.pszTaskID, pszDomain ? pszDomain : (admin ? admin : ""),
                        a.agent->m_szUser, pszStatus, "restore", "info", text.c_str());
}

// The forms of the request's texts, checked before any file, lock or command is touched: the
// name of the first bad parameter, or nullptr. The selection holds catalog indexes (Drive, Shared
// Drive) or local ids (the other services).
const char* Bad_Param(O_APP_CGI_AGENT* agent, const char* pszUser, const char* pszSharedDrive) {
    if (pszUser != nullptr && !Is_Account_Form(pszUser)) return "domain_user_email";
    if (pszUser == nullptr && pszSharedDrive != nullptr && !Is_Id_Form(pszSharedDrive)) return "shared_drive_id";
    const char* target = agent->Get_Param("target_account");
    if (target != nullptr && target[0] != '\0' && !Is_Account_Form(target)) return "target_account";
    const char* targetSD = agent->Get_Param("target_shared_drive_id");
    if (targetSD != nullptr && targetSD[0] != '\0' && !Is_Google_Id_Form(targetSD)) return "target_shared_drive_id";
    const char* list = agent->Get_Param("localid_list");
    if (list == nullptr || strcmp(list, "ALL") == 0 || strcmp(list, "ALL_DOMAIN") == 0) return nullptr;
    RAIIful_Json items(Json_From_String(smbbackup::Parse_Separated_Data_To_Json_String(list, ",", 0).c_str()));
    if (!items || !json_object_is_type(items.get(), json_type_array)) return "localid_list";
    for (int i = 0, n = Json_List_Size(items.get()); i < n; ++i) {
        const char* item = Json_Get_String(Json_List_Child(items.get(), i));
        if (item == nullptr || !(Is_Index_Form(item) || Is_Id_Form(item))) return "localid_list";
    }
    return nullptr;
}

// The texts of a list, each once: the worker counts and restores an item listed many times once.
PT_JSON Distinct_Json_Texts(PT_JSON list) {
    std::vector<std::string> items;
    for (int i = 0, n = Json_List_Size(list); i < n; ++i)
        if (const char* item = Json_Get_String(Json_List_Child(list, i))) items.emplace_back(item);
    PT_JSON out = Json_List_Init();
    for (const std::string& item : Distinct_Items(items)) Json_List_Add_Str(out, item.c_str());
    return out;
}

// The receiving shared drive must be one of the domain's: 0, or the reply's code.
int Check_Target_Shared_Drive(const GWSTask& task, const std::string& strFind) {
    DirGuard gam = Guard_Gam_Process_Dir();
    if (Initial_GAM_Conf(task.Get_Auth_ID(), task.Get_Admin_Email()) != 0) return kReplyFailed;
    UnlinkGuard out = Guard_File(Tool_Result_Path(smbbackup::Create_New_ID()));
    if (Run_Scoutix("-shared", Gam_Process_Key_Path(), task.Get_Admin_Email(), *out) != 0) return kReplyFailed;
    RAIIful_Json listing(Json_From_File(out->c_str()));
    PT_JSON drives = nullptr;
    if (listing && Json_Dict_Find_List(listing.get(), "shared_drive_list", drives) == 0)
        for (int i = 0, n = Json_List_Size(drives); i < n; ++i) {
            const char* id = nullptr;
            if (Json_Dict_Find_Str(Json_List_Child(drives, i), "id", id) == 0 && strFind == id) return 0;
        }
    return kReplyNoSharedDrive;
}

}  // namespace

int Restore(O_APP_CGI_AGENT* agent) {
    Log_Db db;
    if (Open_Action_Log(db) != 0) return 0;
    RestoreRequest req;
    req.strMissionID = smbbackup::Create_New_ID();
    req.strLoginUser = agent->m_szUser;
    const char* pszTaskID = agent->Get_Param("task_id");
    if (pszTaskID == nullptr) {
        Reply_Error(kReplyMissingParam, "task_id");
        return 0;
    }
    GWSTask task;
    Action a{agent, db.get(), &task, pszTaskID};
    const std::string corrupt = "Error occurred while restoring all accounts in domain ";
    // Only a text of the id form names a task file.
    if (!Is_Id_Form(pszTaskID) || task.Load_Task_Data(pszTaskID) != 0) {
        Row(a, "FAIL", corrupt + task.Get_Admin_Email() + ": Configuration file corruption.");
        Reply_Error(kReplyBadParam, "task_id");
        return 0;
    }
    if (task.Validate_Task_Data() != 0) {
        Row(a, "FAIL", corrupt + task.Get_Admin_Email() + ": Configuration file corruption.");
        Reply_Error(kReplyFailed, "task_id");
        return 0;
    }
    const char* pszUser = agent->Get_Param("domain_user_email");
    const char* pszSharedDrive = pszUser == nullptr ? agent->Get_Param("shared_drive_id") : nullptr;
    if (pszUser == nullptr && pszSharedDrive == nullptr) {
        Reply_Error(kReplyMissingParam, "domain_user_email");
        return 0;
    }
    int sw[kRestoreServiceCount];
    bool bAnySwitch = false;
    for (int i = 0; i < kRestoreServiceCount; ++i) {
        sw[i] = -1;
        agent->Get_Boolean_Param(kRestoreServices[i].pszSwitch, sw[i]);
        bAnySwitch = bAnySwitch || sw[i] != -1;
        if (sw[i] == 1 && req.nService < 0) req.nService = i;
    }
    if (!bAnySwitch) {
        Reply_Error(kReplyMissingParam, "drive_enable");
        return 0;
    }
    if (const char* bad = Bad_Param(agent, pszUser, pszSharedDrive)) {
        Reply_Error(kReplyBadParam, bad);
        return 0;
    }
    // A service is restored from a source of its kind only.
    const bool bSharedDrive = req.nService == 1;
    if (req.nService >= 0 && bSharedDrive && pszSharedDrive == nullptr) {
        Reply_Error(kReplyMissingParam, "shared_drive_id");
        return 0;
    }
    if (req.nService >= 0 && !bSharedDrive && pszUser == nullptr) {
        Reply_Error(kReplyMissingParam, "domain_user_email");
        return 0;
    }
    if (req.nService >= 0 && kRestoreServices[req.nService].fn == nullptr) {
        const std::string text = std::string(kRestoreServices[req.nService].pszName) + " restore is not available.";
        Reply_Error(kReplyFailed, text.c_str());
        return 0;
    }

    std::string strKeyPath;
    if (Get_Encrypt_Service_Account_Key(strKeyPath, task.Get_Auth_ID()) != 0) {
        Reply_Error(kReplyFailed, "Failed to get encrypted service account key.");
        return 0;
    }
    Service_Switches switches{sw[0], sw[1], sw[3], sw[2], sw[4]};
    int failed = Run_Permission_Checks(task, switches, strKeyPath, "Restore",
                                       [&](const std::string& row) { Row(a, "FAIL", row); });
    if (failed >= 0) {
        Reply_Error(kReplyPermissionCheckFailed, kPermissionFail[failed]);
        return 0;
    }
    const std::string name = req.nService >= 0 ? kRestoreServices[req.nService].pszName : "";
    const std::string started = "Started restoring " + name + " data for all accounts in domain ";
    std::string strMapSharedDriveID;
    if (pszUser == nullptr) {
        RAIIful_Json mapping(Json_List_Init());
        Shared_Drive_Get_Mapping_UUID_DB_Data(mapping.get(), task.Get_Task_ID());
        bool bFound = false;
        for (int i = 0, n = Json_List_Size(mapping.get()); i < n && !bFound; ++i) {
            PT_JSON row = Json_List_Child(mapping.get(), i);
            const char *uuid = nullptr, *id = "", *sdName = "";
            if (Json_Dict_Find_Str(row, "shared_drive_uuid", uuid) != 0 || strcmp(uuid, pszSharedDrive) != 0) continue;
            Json_Dict_Find_Str(row, "shared_drive_id", id);
            Json_Dict_Find_Str(row, "shared_drive_name", sdName);
            strMapSharedDriveID = id;
            req.strSharedDriveName = sdName;
            bFound = true;
        }
        if (!bFound) {
            Reply_Error(kReplyBadParam, "shared_drive_id");
            return 0;
        }
        Row(a, "SUCCESS", started + req.strSharedDriveName + ".", req.strSharedDriveName.c_str());
        req.strSource = pszSharedDrive;
        req.bSharedDriveSource = true;
    } else {
        Row(a, "SUCCESS", started + pszUser + ".", pszUser);
        req.strSource = pszUser;
    }

    const char* pszTargetAccount = agent->Get_Param("target_account");
    const char* pszTargetSD = agent->Get_Param("target_shared_drive_id");
    const char* pszList = agent->Get_Param("localid_list");
    if (pszList == nullptr) {
        Reply_Error(kReplyMissingParam, "localid_list");
        return 0;
    }
    RAIIful_Json localList;
    if (strcmp(pszList, "ALL") == 0) {
        req.nMode = 1;
    } else if (strcmp(pszList, "ALL_DOMAIN") == 0) {
        req.nMode = 2;
    } else {
        req.nMode = 0;
        localList.reset(Json_From_String(smbbackup::Parse_Separated_Data_To_Json_String(pszList, ",", 0).c_str()));
        if (localList) localList.reset(Distinct_Json_Texts(localList.get()));
    }
    req.ptjLocalList = localList.get();
    const char* pszTarget = bSharedDrive ? pszTargetSD : pszTargetAccount;
    req.bTargetGiven = pszTarget != nullptr;
    req.strTarget = pszTarget ? pszTarget : "";

    if (bSharedDrive) {
        if (int code = Check_Target_Shared_Drive(task, pszTargetSD ? std::string(pszTargetSD) : strMapSharedDriveID)) {
            Reply_Error(code, "task_id");
            return 0;
        }
    }

    req.pTask = &task;
    req.strTaskID = pszTaskID;
    smbbackup::Create_Path(Mission_Dir().c_str(), 0700);
    Ensure_Reply_Header();
    fflush(stdout);  // nothing buffered may be printed twice
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        Reply_Error(kReplyFailed, "Failed to start restore process.");
        return 0;
    }
    if (pid == 0) {
        Become_Worker(true);
        // SQLite handles do not cross fork: the worker logs through its own.
        sqlite3* childDb = nullptr;
        if (Sql_Open_Datebase(&childDb) != 0 || Sql_Log_Create_Table(childDb) != 0) childDb = nullptr;
        Run_Restore_Worker(req, childDb);
        _exit(0);
    }
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_Str(reply.get(), "mission_id", req.strMissionID.c_str());
    Reply_Json(reply.get());
    fflush(stdout);
    return 0;
}

}  // namespace qlm
