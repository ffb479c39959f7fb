#include "upload/auth.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "appgenerallib/keystore.h"
#include "common/guards.h"
#include "common/paths.h"
#include "web/action_log.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "common/toolcmd.h"
#include "plat_cgi.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_string.h"
#include "upload/upload.h"

namespace qlm {

namespace {

// The four checks in the order they run, with the reply key of each.
const struct {
    const char* pszOption;
    const char* pszReplyKey;
} kChecks[] = {
    {"-check_drive", "check_drive_permission_passed"},
    {"-check_contacts", "check_contact_permission_passed"},
    {"-check_calendar", "check_calendar_permission_passed"},
    {"-check_gmail", "check_gmail_permission_passed"},
};
constexpr int kCheckCount = sizeof(kChecks) / sizeof(kChecks[0]);

}  // namespace

int Auth(O_APP_CGI_AGENT* agent) {
    bool bRefused = false;
    const char* pszAdminEmail = Get_Admin_Email_Param(agent, bRefused);
    if (pszAdminEmail == nullptr) {
        Reply_Error(kReplyMissingParam, "admin_email");
        return 0;
    }
    if (bRefused) {
        Reply_Error(kReplyBadParam, "admin_email");
        return 0;
    }
    Log_Db db;
    if (Open_Action_Log(db) != 0) return 0;

    const std::string strAuthID = smbbackup::Create_New_ID();
    const std::string strResult = Tool_Result_Path(std::to_string(getpid()));
    UnlinkGuard resultGuard = Guard_File(strResult);
    const std::string strKeyPath = Uploaded_Key_Path(strAuthID);
    const std::string strUserList = User_List_Path(strAuthID);

    const std::string strTmp = Db_Tmp_Dir();
    if (access(strTmp.c_str(), F_OK) != 0) smbbackup::Create_Path(strTmp.c_str(), 0700);
    Remove_Stale_Plain_Keys();
    // The plain key is removed however the action ends, also when the upload failed half way.
    UnlinkGuard keyGuard = Guard_File(strKeyPath);
    if (Upload_Service_Account_Key_File(strKeyPath.c_str()) < 0) {
        Reply_Error(kReplyFailed, "upload fail.");
        return 0;
    }
    RAIIful_Json key(Json_From_File(strKeyPath.c_str()));
    if (!key || !json_object_is_type(key.get(), json_type_object)) {
        Reply_Error(kReplyBadParam, "Key format wrong.");
        return 0;
    }
    if (Json_Dict_Add_Dict(key.get(), "us_scopes", Json_From_String(Us_Scopes_Json())) != 0) {
        Reply_Error(kReplyBadParam, "Key format wrong.");
        return 0;
    }

    bool bPassed[kCheckCount] = {};
    int nPassed = 0;
    for (int i = 0; i < kCheckCount; ++i) {
        if (Run_Scoutix(kChecks[i].pszOption, strKeyPath, pszAdminEmail, strResult) != 0) {
            Reply_Error(kReplyFailed, "Check permissions fail.");
            return 0;
        }
        RAIIful_Json result(Json_From_File(strResult.c_str()));
        if (!result) {
            Reply_Error(kReplyFailed, "Read auth result fail.");
            return 0;
        }
        bool bPass = false;
        if (Json_Dict_Find_Bool(result.get(), "is_pass", bPass) != 0) bPass = false;
        bPassed[i] = bPass;
        nPassed += bPass ? 1 : 0;
    }
    if (nPassed == 0) {
        Reply_Error_No_Msg(kReplyWrongPassword);
        return 0;
    }
    const int nListed = Run_Scoutix("-info", strKeyPath, pszAdminEmail, strUserList);
    keyGuard.reset();  // the checks are done: the plain key goes before anything else happens
    if (nListed != 0) {
        Reply_Error(kReplyFailed, "task_id");
        return 0;
    }
    if (nPassed == kCheckCount) {
        if (Store_Pending_Service_Account_Key(Json_To_Plain_String(key.get()), strAuthID.c_str()) != 0) {
            Reply_Error(kReplyFailed, "Encrypt string fail.");
            return 0;
        }
    } else {
        Log_Action_Row(db.get(), " ", pszAdminEmail, agent->m_szUser, " ", "info", "Google API key has expired.");
    }

    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    for (int i = 0; i < kCheckCount; ++i) Json_Dict_Add_Bool(reply.get(), kChecks[i].pszReplyKey, bPassed[i]);
    Json_Dict_Add_Str(reply.get(), "auth_id", strAuthID.c_str());
    Reply_Json(reply.get());
    return 0;
}

}  // namespace qlm
