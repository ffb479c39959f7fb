#include "web/browse_params.h"

#include <sys/stat.h>

#include <utility>

#include "common/paths.h"
#include "common/reqcheck.h"
#include "web/reply.h"
#include "plat_cgi.h"

namespace qlm {

const char* Required_Param(const O_APP_CGI_AGENT* agent, const char* name) {
    const char* value = agent->Get_Param(name);
    if (value == nullptr) Reply_Error(kReplyMissingParam, name);
    return value;
}

const char* Checked_Task_Id(const char* value) {
    if (Is_Id_Form(value)) return value;
    Reply_Error(kReplyBadParam, "task_id");
    return nullptr;
}

const char* Checked_Component(const char* value, const char* name) {
    if (value != nullptr && Is_Single_Path_Component(value)) return value;
    Reply_Error(kReplyBadParam, name);
    return nullptr;
}

const char* Account_Param(const O_APP_CGI_AGENT* agent, const char* name) {
    const char* value = Required_Param(agent, name);
    return value == nullptr ? nullptr : Checked_Component(value, name);
}

bool Is_Dir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Is_Regular_File(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Store_Path(const char* service, const char* task, const char* name, const char* suffix) {
    return Backup_Service_Dir(service) + "/" + task + "/" + name + suffix;
}

std::string Mail_Store_Dir(const char* task, const char* account) { return Store_Path("gmail", task, account); }

std::string Eml_Path(const char* task, const char* account, const char* localid) {
    if (localid == nullptr || !Is_Single_Path_Component(localid)) return "";
    return Mail_Store_Dir(task, account) + "/" + localid;
}

void Reply_List(PT_JSON list, long long total) {
    RAIIful_Json owned(list);
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_List(reply.get(), "list", owned.release());
    if (total >= 0) Json_Dict_Add_Int64(reply.get(), "total", total);
    Reply_Json(reply.get());
}

catalog::Drive_Search_Filters Drive_Search_Request(const O_APP_CGI_AGENT* agent, catalog::Kind kind) {
    catalog::Drive_Search_Filters f;
    f.name = agent->Get_Param("name_key_word");
    f.type = agent->Get_Param("type");
    if (kind == catalog::Kind::SharedDrive) f.member = agent->Get_Param("member_key_word");
    int64_t size = -1;
    agent->Get_Integer_Param("size", size);
    f.sizeKiB = size;
    // Absent or not a number: the filter stays -1, "not set".
    const std::pair<const char*, int*> ints[] = {
        {"size_search_type", &f.sizeType},        {"create_time_early", &f.createEarly},
        {"create_time_late", &f.createLate},      {"last_backup_time_early", &f.backupEarly},
        {"last_backup_time_late", &f.backupLate}, {"last_modified_time_early", &f.modifiedEarly},
        {"last_modified_time_late", &f.modifiedLate},
    };
    for (const auto& [name, value] : ints) agent->Get_Integer_Param(name, *value);
    return f;
}

}  // namespace qlm
