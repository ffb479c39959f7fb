#include "orvenna_cgi/small_actions.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "appgenerallib/keystore.h"
#include "common/filehelpers.h"
#include "common/paths.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_json.h"
#include "plat_nas.h"

namespace qlm {

int Get_Shared_Drive(O_APP_CGI_AGENT* agent) {
    GWSTask task;
    if (Load_Valid_Request_Task(agent, task) != 0) return 0;
    std::string strKeyPath;
    if (Get_Encrypt_Service_Account_Key(strKeyPath, task.Get_Auth_ID()) != 0) {
        Reply_Error(kReplyFailed, "Can not execute command.");
        return 0;
    }
    unlink(strKeyPath.c_str());  // only the decryption was asked for
    return 0;
}

int Get_Storage_Status(O_APP_CGI_AGENT*) {
    int64_t llGws = get_folder_size(App_Dir());
    int64_t llSize = 0, llUsed = 0;
    _T_VOLUME_INFO_* pVolume = nullptr;
    if (Get_Nas_Volume_Info(1, &pVolume) >= 0 && pVolume != nullptr) {
        llSize = static_cast<int64_t>(pVolume->cbSize);
        llUsed = static_cast<int64_t>(pVolume->cbUsed);
    }
    free(pVolume);
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_Int64(reply.get(), "gws_used", llGws);
    Json_Dict_Add_Int64(reply.get(), "other", llUsed - llGws);
    Json_Dict_Add_Int64(reply.get(), "free", llSize - llUsed);
    Reply_Json(reply.get());
    return 0;
}

int Get_Default_Mission_Name(O_APP_CGI_AGENT*) {
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_Str(reply.get(), "default_mission_name", Get_New_Mission_Name().c_str());
    Reply_Json(reply.get());
    return 0;
}

}  // namespace qlm
