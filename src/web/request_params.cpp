#include "web/request_params.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "common/reqcheck.h"
#include "web/reply.h"
#include "orvenna_task.h"
#include "plat_cgi.h"

namespace qlm {

namespace {

// The decoded value of the first occurrence of name in the query string, as the agent takes it;
// false when the query string does not hold it.
bool Query_String_Value(const char* name, std::string& out) {
    const char* q = getenv("QUERY_STRING");
    if (q == nullptr) return false;
    std::string_view rest(q);
    while (!rest.empty()) {
        size_t amp = rest.find('&');
        std::string_view piece = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        size_t eq = piece.find('=');
        std::string_view key = piece.substr(0, eq);
        if (key.empty() || Cgi_Url_Decode(key.data(), key.size()) != name) continue;
        std::string_view value = eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1);
        out = Cgi_Url_Decode(value.data(), value.size());
        return true;
    }
    return false;
}

}  // namespace

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

const char* Get_Admin_Email_Param(const O_APP_CGI_AGENT* agent, bool& bRefused) {
    bRefused = false;
    const char* value = agent->Get_Param("admin_email");
    if (value == nullptr) return nullptr;
    std::string raw;
    // The query string comes first, so when it holds the name, the agent's value is that one.
    bRefused = Has_Line_Break(value) || (Query_String_Value("admin_email", raw) && raw.find('\0') != std::string::npos);
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
