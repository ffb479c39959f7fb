#include "web/request_params.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "common/reqcheck.h"
#include "web/reply.h"
#include "orvenna_task.h"
#include "plat_cgi.h"

namespace qlm {

int Get_Paging_Params(const O_APP_CGI_AGENT* agent, int& start, int& limit) {
    for (auto [name, out] : {std::pair{"start", &start}, std::pair{"limit", &limit}}) {
        if (agent->Get_Integer_Param(name, *out) != 0) {
            Reply_Error(kReplyMissingParam, name);
            return -1;
        }
        if (*out < 0) {
            Reply_Error(kReplyBadParam, name);
            return -1;
        }
    }
    return 0;
}

bool Has_Line_Break(const char* text) { return text != nullptr && strpbrk(text, "\r\n") != nullptr; }

bool Param_Has_Nul(const O_APP_CGI_AGENT* agent, const char* name) {
    const char* value = agent->Get_Param(name);
    size_t len = 0;
    return value != nullptr && agent->Get_Param_Length(name, len) == 0 && len != strlen(value);
}

const char* Get_Admin_Email_Param(const O_APP_CGI_AGENT* agent, bool& bRefused) {
    bRefused = false;
    const char* value = agent->Get_Param("admin_email");
    if (value == nullptr) return nullptr;
    bRefused = Has_Line_Break(value) || Param_Has_Nul(agent, "admin_email");
    return value;
}

int Load_Request_Task(const O_APP_CGI_AGENT* agent, GWSTask& task) {
    const char* pszTaskID = agent->Get_Param("task_id");
    if (pszTaskID == nullptr) {
        Reply_Error(kReplyMissingParam, "task_id");
        return -61;
    }
    if (!Is_Id_Form(pszTaskID) || task.Load_Task_Data(pszTaskID) != 0) {
        Reply_Error(kReplyBadParam, "task_id");
        return -2;
    }
    return 0;
}

int Load_Valid_Request_Task(const O_APP_CGI_AGENT* agent, GWSTask& task) {
    if (int rc = Load_Request_Task(agent, task)) return rc;
    if (task.Validate_Task_Data() != 0) {
        Reply_Error(kReplyFailed, "task_id");
        return -22;
    }
    return 0;
}

}  // namespace qlm
