#include "orvenna_cgi/listings.h"

#include <unistd.h>

#include <cstring>
#include <string>

#include "appgenerallib/keystore.h"
#include "common/atomicfile.h"
#include "common/clock.h"
#include "common/guards.h"
#include "common/reqcheck.h"
#include "dbcontrol/shared_drive_db.h"
#include "web/action_log.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "common/toolcmd.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_string.h"

namespace qlm {

namespace {

constexpr const char* kCannotExecute = "Can not execute command.";

// A listing's list member (borrowed), or nullptr when it has none.
PT_JSON Listed(PT_JSON listing, const char* key) {
    PT_JSON list = nullptr;
    return Json_Dict_Find_List(listing, key, list) == 0 ? list : nullptr;
}

// The listing's list member as a new list; empty when it has none.
PT_JSON Copy_Listed(PT_JSON listing, const char* key) {
    PT_JSON list = Listed(listing, key);
    return list != nullptr ? Json_Obj_Dup(list) : Json_List_Init();
}

bool Has_Str(PT_JSON obj, const char* key, const char* value) {
    const char* text = nullptr;
    return value != nullptr && Json_Dict_Find_Str(obj, key, text) == 0 && strcmp(text, value) == 0;
}

// A listed drive in the form of a mapping row: its "id" becomes "shared_drive_id".
PT_JSON As_Mapping_Row(PT_JSON drive) {
    PT_JSON row = Json_Obj_Dup(drive);
    const char* id = nullptr;
    std::string strID;
    if (Json_Dict_Find_Str(row, "id", id) == 0) strID = id;
    Json_Dict_Remove(row, "id");
    Json_Dict_Add_Str(row, "shared_drive_id", strID.c_str());
    return row;
}

void Add_Matching_Rows(PT_JSON out, PT_JSON rows, const char* pszDriveID) {
    for (int i = 0; i < Json_List_Size(rows); ++i) {
        PT_JSON row = Json_List_Child(rows, i);
        if (Has_Str(row, "shared_drive_id", pszDriveID)) Json_List_Add_Dict(out, Json_Obj_Dup(row));
    }
}

// Runs both listings with the key of this process's GAM folder into two fresh result files.
// 0 with both objects; -161 when a command fails or its output is no JSON object.
int List_Users_And_Drives(const char* pszAdminEmail, RAIIful_Json& users, RAIIful_Json& drives) {
    const std::string strUsersOut = Tool_Result_Path(smbbackup::Create_New_ID());
    const std::string strDrivesOut = Tool_Result_Path(smbbackup::Create_New_ID());
    // The outputs hold the domain's user list: they never outlive the action.
    UnlinkGuard usersGuard = Guard_File(strUsersOut);
    UnlinkGuard drivesGuard = Guard_File(strDrivesOut);
    const std::string strKey = Gam_Process_Key_Path();
    if (Run_Scoutix("-info", strKey, pszAdminEmail, strUsersOut) != 0) return -161;
    users.reset(Json_Read_Object_File(strUsersOut));
    if (!users) return -161;
    if (Run_Scoutix("-shared", strKey, pszAdminEmail, strDrivesOut) != 0) return -161;
    drives.reset(Json_Read_Object_File(strDrivesOut));
    return drives ? 0 : -161;
}

void Reply_Lists(PT_JSON users, PT_JSON drives) {
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_List(reply.get(), "domain_user_list", users);
    Json_Dict_Add_List(reply.get(), "shared_drive_list", drives);
    Reply_Json(reply.get());
}

// The cached object in path when it is fresh; nullptr otherwise.
PT_JSON Read_Fresh_Cache(const std::string& path, time_t tNow) {
    PT_JSON obj = Json_Read_Object_File(path);
    if (obj != nullptr && !Listing_Cache_Fresh(obj, tNow)) {
        json_object_put(obj);
        return nullptr;
    }
    return obj;
}

}  // namespace

bool Listing_Cache_Fresh(json_object* pCached, time_t tNow) {
    int64_t validity = 0;
    if (Json_Dict_Find_Int64(pCached, "validity", validity) != 0 || validity == 0) return false;
    // A validity in the future (a clock set back, an edited file) proves nothing about its age.
    return validity <= tNow && tNow - validity < kListingCacheSeconds;
}

json_object* Select_Task_Users(const GWSTask& task, json_object* pUserListing) {
    PT_JSON out = Json_List_Init();
    bool bAnyUserService = task.Get_Backup_Drive_Enable() == 1 || task.Get_Backup_Contact_Enable() == 1 ||
                           task.Get_Backup_Calendar_Enable() == 1 || task.Get_Backup_Gmail_Enable() == 1;
    PT_JSON users = Listed(pUserListing, "user_list");
    if (!bAnyUserService || users == nullptr) return out;
    if (task.Get_Auto_Add_User_Enable() != 0) {
        json_object_put(out);
        return Json_Obj_Dup(users);
    }
    RAIIful_Json picked(Json_From_String(task.Get_Manual_Select_Domain_User()));
    for (int i = 0; i < Json_List_Size(picked.get()); ++i) {
        const char* pszID = Json_Get_String(Json_List_Child(picked.get(), i));
        for (int j = 0; j < Json_List_Size(users); ++j) {
            PT_JSON user = Json_List_Child(users, j);
            if (Has_Str(user, "iD", pszID)) Json_List_Add_Dict(out, Json_Obj_Dup(user));
        }
    }
    return out;
}

json_object* Select_Task_Shared_Drives(const GWSTask& task, json_object* pDriveListing, json_object* pMappingRows) {
    PT_JSON out = Json_List_Init();
    if (task.Get_Backup_Shared_Drive_Enable() != 1) return out;
    PT_JSON drives = Listed(pDriveListing, "shared_drive_list");
    if (task.Get_Auto_Add_Shared_Drive_Enable() != 0) {
        for (int i = 0; i < Json_List_Size(drives); ++i) {
            PT_JSON drive = Json_List_Child(drives, i);
            const char* pszID = nullptr;
            if (pMappingRows == nullptr)
                Json_List_Add_Dict(out, As_Mapping_Row(drive));
            else if (Json_Dict_Find_Str(drive, "id", pszID) == 0)
                Add_Matching_Rows(out, pMappingRows, pszID);
        }
        return out;
    }
    RAIIful_Json picked(Json_From_String(task.Get_Manual_Select_Shared_Drive()));
    for (int i = 0; i < Json_List_Size(picked.get()); ++i) {
        const char* pszID = Json_Get_String(Json_List_Child(picked.get(), i));
        if (pszID == nullptr) continue;
        if (pMappingRows != nullptr) {
            Add_Matching_Rows(out, pMappingRows, pszID);
            continue;
        }
        for (int j = 0; j < Json_List_Size(drives); ++j) {
            PT_JSON drive = Json_List_Child(drives, j);
            if (Has_Str(drive, "id", pszID)) {
                Json_List_Add_Dict(out, As_Mapping_Row(drive));
                break;
            }
        }
    }
    return out;
}

int Get_Online_Domain_User_And_Shared_Drive(O_APP_CGI_AGENT* agent) {
    const char* pszTaskID = agent->Get_Param("task_id");
    const char* pszAuthID = agent->Get_Param("auth_id");
    bool bRefused = false;
    const char* pszAdminEmail = Get_Admin_Email_Param(agent, bRefused);
    GWSTask task;
    if (pszTaskID != nullptr) {
        if (!Is_Id_Form(pszTaskID) || task.Load_Task_Data(pszTaskID) != 0) {
            Reply_Error(kReplyBadParam, "task_id");
            return 0;
        }
        pszAdminEmail = task.Get_Admin_Email();
        if (Initial_GAM_Conf(task.Get_Auth_ID(), pszAdminEmail) != 0) {
            Reply_Error(kReplyFailed, "task_id");
            return 0;
        }
    } else if (pszAuthID != nullptr && pszAdminEmail != nullptr) {
        if (bRefused) {
            Reply_Error(kReplyBadParam, "admin_email");
            return 0;
        }
        if (!Is_Id_Form(pszAuthID) || TMP_Initial_GAM_Conf(pszAuthID, pszAdminEmail) != 0) {
            Reply_Error(kReplyFailed, "task_id");
            return 0;
        }
    } else {
        Reply_Error(kReplyMissingParam, "task_id or authenticate_id/admin_email");
        return 0;
    }
    // The folder holds a plain copy of the key: it goes when the action ends.
    DirGuard gam = Guard_Gam_Process_Dir();
    RAIIful_Json users, drives;
    if (List_Users_And_Drives(pszAdminEmail, users, drives) != 0) {
        Reply_Error(kReplyFailed, kCannotExecute);
        return 0;
    }
    Reply_Lists(Copy_Listed(users.get(), "user_list"), Copy_Listed(drives.get(), "shared_drive_list"));
    return 0;
}

int Get_Domain_User(O_APP_CGI_AGENT* agent) {
    GWSTask task;
    if (Load_Valid_Request_Task(agent, task) != 0) return 0;
    std::string strKeyPath;
    if (Get_Encrypt_Service_Account_Key(strKeyPath, task.Get_Auth_ID()) != 0) {
        Reply_Error(kReplyFailed, kCannotExecute);
        return 0;
    }
    UnlinkGuard keyGuard = Guard_File(strKeyPath);
    const std::string strOut = Tool_Result_Path(std::to_string(getpid()));
    UnlinkGuard outGuard = Guard_File(strOut);
    RAIIful_Json users;
    if (Run_Scoutix("-info", strKeyPath, task.Get_Admin_Email(), strOut) == 0) users.reset(Json_Read_Object_File(strOut));
    if (!users) {
        Reply_Error(kReplyFailed, kCannotExecute);
        return 0;
    }
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    if (PT_JSON list = Listed(users.get(), "user_list")) Json_Dict_Add_List(reply.get(), "user_list", Json_Obj_Dup(list));
    Reply_Json(reply.get());
    return 0;
}

int Get_User_And_Shared_Drive(O_APP_CGI_AGENT* agent) {
    Log_Db db;
    if (Open_Action_Log(db) != 0) return 0;
    GWSTask task;
    if (Load_Valid_Request_Task(agent, task) != 0) return 0;
    const std::string strCacheDir = Task_Listing_Cache_Dir(task.Get_Task_ID());
    smbbackup::Create_Path(strCacheDir.c_str(), 0700);
    const std::string strUsersCache = strCacheDir + "/domain_user";
    const std::string strDrivesCache = strCacheDir + "/shared_drive";

    const time_t tNow = Now();
    RAIIful_Json users(Read_Fresh_Cache(strUsersCache, tNow));
    RAIIful_Json drives(Read_Fresh_Cache(strDrivesCache, tNow));
    if (!users || !drives) {
        if (Initial_GAM_Conf(task.Get_Auth_ID(), task.Get_Admin_Email()) != 0) {
            Reply_Error(kReplyFailed, "task_id");
            return 0;
        }
        DirGuard gam = Guard_Gam_Process_Dir();
        if (List_Users_And_Drives(task.Get_Admin_Email(), users, drives) != 0) {
            Log_Action_Row(db.get(), task.Get_Task_ID(), task.Get_Admin_Email(), agent->m_szUser, "backup", "error",
                           "Unable to connect to Google Workspace.");
            Reply_Error(kReplyFailed, kCannotExecute);
            return 0;
        }
        Json_Dict_Add_Int64(users.get(), "validity", tNow);
        Json_Dict_Add_Int64(drives.get(), "validity", tNow);
        Json_Write_File(strUsersCache, users.get());
        Json_Write_File(strDrivesCache, drives.get());
    }

    RAIIful_Json rows(Json_List_Init());
    bool bRowsRead = Shared_Drive_Get_Mapping_UUID_DB_Data(rows.get(), task.Get_Task_ID()) == 0;
    Reply_Lists(Select_Task_Users(task, users.get()),
                Select_Task_Shared_Drives(task, drives.get(), bRowsRead ? rows.get() : nullptr));
    return 0;
}

}  // namespace qlm
