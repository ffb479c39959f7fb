// What every browse and export action checks before a request text becomes a path, a lock or a catalog name.
#pragma once

#include <string>

#include "dbcontrol/drive_search.h"
#include "plat_json.h"

class O_APP_CGI_AGENT;

namespace qlm {

// The text of a required parameter; nullptr after the reply 5303 with its name.
const char* Required_Param(const O_APP_CGI_AGENT* agent, const char* name);

// A task id, account or local id as it may go into a path: nullptr after 5302 with the name when
// it is not of its form (task_id: the id form; the others: one path component).
const char* Checked_Task_Id(const char* value);
const char* Checked_Component(const char* value, const char* name);

// The required account parameter: nullptr after 5303 (absent) or 5302 (not one path component).
const char* Account_Param(const O_APP_CGI_AGENT* agent, const char* name = "domain_user_email");

// stat: a folder; lstat: a regular file that is not reached through a link.
bool Is_Dir(const std::string& path);
bool Is_Regular_File(const std::string& path);

// "<backup root>/<service>/<task>/<name><suffix>": an account's store folder, or with a suffix
// its writers' lock.
std::string Store_Path(const char* service, const char* task, const char* name, const char* suffix = "");

// "<backup root>/gmail/<task>/<account>": the account's mail store folder.
std::string Mail_Store_Dir(const char* task, const char* account);
// The mail's EML file in that folder; empty when the local id is not one path component.
std::string Eml_Path(const char* task, const char* account, const char* localid);

// The Drive advanced-search keys of the request ("name_key_word", "type", "size_search_type",
// "size", the three time ranges, and for a shared drive "member_key_word"); absent ones not set.
catalog::Drive_Search_Filters Drive_Search_Request(const O_APP_CGI_AGENT* agent, catalog::Kind kind);

// {"success": true, "list": list} and, when total >= 0, "total": total. list is taken over.
void Reply_List(PT_JSON list, long long total = -1);

}  // namespace qlm
