#include "browse/contact_calendar_browse.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "web/browse_params.h"
#include "browse/read_lock.h"
#include "common/filehelpers.h"
#include "common/guards.h"
#include "common/jsontext.h"
#include "common/reqcheck.h"
#include "common/timeconv.h"
#include "dbcontrol/calendar_db.h"
#include "dbcontrol/catalog_common.h"
#include "dbcontrol/contact_db.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "orvenna_task.h"
#include "plat_cgi.h"

namespace qlm {

namespace {

constexpr const char* kTaskParam = "task_id";
constexpr const char* kAccountParam = "domain_user_email";

// task_id and domain_user_email, both present and of their forms; false after the reply.
bool Checked_Names(const O_APP_CGI_AGENT* agent, const char*& task, const char*& account) {
    task = Required_Param(agent, kTaskParam);
    if (task == nullptr || Required_Param(agent, kAccountParam) == nullptr) return false;
    if (Checked_Task_Id(task) == nullptr) return false;
    account = Account_Param(agent, kAccountParam);
    return account != nullptr;
}

// Tests the account's writer lock of the service; true (after the bare success reply) while a
// backup holds it. fd keeps the shared lock, if one was taken, for the caller's guard.
bool Writer_Busy(const char* service, const char* suffix, const char* task, const char* account, int& fd) {
    if (Try_Read_Lock(Store_Path(service, task, account, suffix), fd) == 0) return false;
    Reply_Success();
    return true;
}

int64_t Event_Time(PT_JSON row, const char* dateTimeKey, const char* dateKey) {
    const char* text = Json_Text_Of(row, dateTimeKey);
    return calendar_parse_iso8601(*text ? text : Json_Text_Of(row, dateKey));
}

// Every row of list turned into an item, in order.
PT_JSON Items_Of(PT_JSON rows, PT_JSON (*item)(PT_JSON)) {
    PT_JSON out = Json_List_Init();
    for (int i = 0; i < Json_List_Size(rows); ++i) Json_List_Add_Dict(out, item(Json_List_Child(rows, i)));
    return out;
}

// date_early and date_late: -1 unless given as a number that fits.
int Date_Param(const O_APP_CGI_AGENT* agent, const char* name) {
    int value = -1;
    agent->Get_Integer_Param(name, value);
    return value;
}

}  // namespace

int Member_Amount(const char* memberCount) {
    if (memberCount == nullptr || *memberCount == '\0') return 0;
    for (const char* p = memberCount; *p; ++p)
        if (*p < '0' || *p > '9') return 0;
    errno = 0;
    const long value = strtol(memberCount, nullptr, 10);
    return errno != 0 || value > INT_MAX ? 0 : static_cast<int>(value);
}

PT_JSON Contact_Item(PT_JSON row) {
    const char* display = Json_Text_Of(row, "names.0.displayName");
    const char* email = Json_Text_Of(row, "emailAddresses.0.value");
    const char* phone = Json_Text_Of(row, "phoneNumbers.0.value");
    const char* name = *display ? display : *email ? email : phone;
    const std::string titleAndCompany = std::string(Json_Text_Of(row, "organizations.0.name")) + " " +
                                        Json_Text_Of(row, "organizations.0.department") + " " +
                                        Json_Text_Of(row, "organizations.0.title");
    PT_JSON item = Json_Dict_Init();
    Json_Dict_Add_Str(item, "name", name);
    Json_Dict_Add_Str(item, "email", email);
    Json_Dict_Add_Str(item, "phone", phone);
    Json_Dict_Add_Str(item, "title_and_company", titleAndCompany.c_str());
    Json_Dict_Add_Str(item, "localid", Json_Text_Of(row, "localid"));
    Json_Dict_Add_Str(item, "membership_list", Json_Text_Of(row, "MembershipList"));
    return item;
}

PT_JSON Event_Item(PT_JSON row) {
    PT_JSON item = Json_Dict_Init();
    Json_Dict_Add_Str(item, "title", Json_Text_Of(row, "summary"));
    Json_Dict_Add_Str(item, "location", Json_Text_Of(row, "location"));
    Json_Dict_Add_Str(item, "creator", Json_Text_Of(row, "creator.email"));
    Json_Dict_Add_Int64(item, "endtime", Event_Time(row, "end.dateTime", "end.date"));
    Json_Dict_Add_Int64(item, "starttime", Event_Time(row, "start.dateTime", "start.date"));
    Json_Dict_Add_Str(item, "localid", Json_Text_Of(row, "localid"));
    return item;
}

int Contact_List(O_APP_CGI_AGENT* agent) {
    const char *task = nullptr, *account = nullptr;
    if (!Checked_Names(agent, task, account)) return 0;
    int fd = -1;
    if (Writer_Busy("contact", ".contact_lck", task, account, fd)) return 0;
    LockGuard lock(&fd);
    GWSTask loaded;
    if (loaded.Load_Task_Data(task) != 0) {
        Reply_Error(kReplyBadParam, kTaskParam);
        return 0;
    }
    RAIIful_Json rows(Json_List_Init());
    Group_Contact_Get_DB_Data(rows.get(), account, task);
    PT_JSON groups = Json_List_Init();
    for (int i = 0; i < Json_List_Size(rows.get()); ++i) {
        PT_JSON row = Json_List_Child(rows.get(), i);
        PT_JSON group = Json_Dict_Init();
        Json_Dict_Add_Str(group, "resourceName", Json_Text_Of(row, "resourceName"));
        Json_Dict_Add_Str(group, "formattedName", Json_Text_Of(row, "formattedName"));
        Json_Dict_Add_Int(group, "amount", Member_Amount(Json_Text_Of(row, "memberCount")));
        Json_List_Add_Dict(groups, group);
    }
    lock.reset();
    Reply_List(groups);
    return 0;
}

int List_Contact_Local_Backup(O_APP_CGI_AGENT* agent) {
    GWSTask loaded;
    if (Load_Request_Task(agent, loaded) != 0) return 0;
    const char* account = Account_Param(agent, kAccountParam);
    if (account == nullptr) return 0;
    int start = 0, limit = 0;
    if (Get_Paging_Params(agent, start, limit) != 0) return 0;
    const char* task = loaded.Get_Task_ID();
    if (!Is_Dir(Store_Path("contact", task, account))) {
        Reply_List(Json_List_Init(), 0);
        return 0;
    }
    const char* group = Required_Param(agent, "contact_name");
    if (group == nullptr) return 0;
    const char* keyword = agent->Get_Param("key_word");
    if (keyword == nullptr) keyword = "";
    RAIIful_Json rows(Json_List_Init());
    Contact_Get_DB_Data_For_Pagination(rows.get(), account, task, start, limit, group, keyword);
    Reply_List(Items_Of(rows.get(), Contact_Item), Contact_Get_Number_Of_Record(account, task, group, keyword));
    return 0;
}

int Calendar_List(O_APP_CGI_AGENT* agent) {
    const char *task = nullptr, *account = nullptr;
    if (!Checked_Names(agent, task, account)) return 0;
    int fd = -1;
    if (Writer_Busy("calendar", ".calendar_lck", task, account, fd)) return 0;
    LockGuard lock(&fd);
    PT_JSON list = Json_List_Init();
    GWSTask loaded;
    std::vector<std::string> accounts;
    if (loaded.Load_Task_Data(task) == 0 && List_Calendar_Backuped_User(task, accounts) == 0)
        Json_List_Add_Str(list, account);
    lock.reset();
    Reply_List(list);
    return 0;
}

int List_Calendar_Local_Backup(O_APP_CGI_AGENT* agent) {
    if (Required_Param(agent, kTaskParam) == nullptr) return 0;
    int start = 0, limit = 0;
    if (Get_Paging_Params(agent, start, limit) != 0) return 0;
    // A text that can name no task is a bad value, as for every other reader. A task that does
    // not load, no account or an account without a catalog: nothing to show. An account name of
    // another form cannot name a catalog, so it counts as such.
    const char* task = Checked_Task_Id(agent->Get_Param(kTaskParam));
    if (task == nullptr) return 0;
    const char* account = agent->Get_Param(kAccountParam);
    GWSTask loaded;
    if (loaded.Load_Task_Data(task) != 0 || account == nullptr || !Is_Single_Path_Component(account) ||
        !Is_Regular_File(catalog::Catalog_File(catalog::Kind::Calendar, account, task))) {
        Reply_List(Json_List_Init(), 0);
        return 0;
    }
    if (Required_Param(agent, "calendar_name") == nullptr) return 0;
    RAIIful_Json rows(Json_List_Init());
    Calendar_Get_DB_Data_For_Pagination(rows.get(), account, task, start, limit, agent->Get_Param("key_word"));
    // Stable, so events that start together keep the catalog's order from one request to the next.
    std::vector<std::pair<int64_t, PT_JSON>> events;
    for (int i = 0; i < Json_List_Size(rows.get()); ++i) {
        PT_JSON item = Event_Item(Json_List_Child(rows.get(), i));
        int64_t startTime = -1;
        Json_Dict_Find_Int64(item, "starttime", startTime);
        events.emplace_back(startTime, item);
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    PT_JSON list = Json_List_Init();
    for (const auto& e : events) Json_List_Add_Dict(list, e.second);
    Reply_List(list, events.empty() ? 0 : Calendar_Get_Number_Of_Record(account, task));
    return 0;
}

int Calendar_Advanced_Search(O_APP_CGI_AGENT* agent) {
    GWSTask loaded;
    if (Load_Request_Task(agent, loaded) != 0) return 0;
    const char* account = Account_Param(agent, kAccountParam);
    if (account == nullptr) return 0;
    RAIIful_Json rows(Json_List_Init());
    Calendar_Get_DB_Data_For_Advance_Search(rows.get(), account, loaded.Get_Task_ID(), agent->Get_Param("key_word"),
                                            agent->Get_Param("location_key_word"), Date_Param(agent, "date_early"),
                                            Date_Param(agent, "date_late"));
    const int n = Json_List_Size(rows.get());
    Reply_List(Items_Of(rows.get(), Event_Item), n);
    return 0;
}

}  // namespace qlm
