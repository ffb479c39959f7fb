#include "browse/gmail_browse.h"

#include <cstring>

#include "web/browse_params.h"
#include "browse/mail_files.h"
#include "browse/read_lock.h"
#include "common/guards.h"
#include "common/jsontext.h"
#include "dbcontrol/gmail_db.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_json.h"

namespace qlm {

namespace {

constexpr const char* kTaskParam = "task_id";
constexpr const char* kAccountParam = "domain_user_email";
constexpr const char* kFolders[6] = {"Inbox", "Starred", "Important", "Sent", "Drafts", "Trash"};
// The one page the cache holds: the Inbox from 0, 30 mails, no keyword.
constexpr const char* kCachedFolder = "Inbox";
constexpr int kCachedLimit = 30;

// The cached page; nullptr when there is none or it is not a JSON list.
PT_JSON Cached_Page(const char* task, const char* account) {
    RAIIful_Json page(Json_From_File(Gmail_Cache_File(account, task).c_str()));
    return Json_Is_List(page.get()) ? page.release() : nullptr;
}

}  // namespace

int Gmail_List(O_APP_CGI_AGENT* agent) {
    const char* task = Required_Param(agent, kTaskParam);
    if (task == nullptr || Required_Param(agent, kAccountParam) == nullptr) return 0;
    if (Checked_Task_Id(task) == nullptr) return 0;
    const char* account = Account_Param(agent, kAccountParam);
    if (account == nullptr) return 0;
    int fd = -1;
    if (Try_Read_Lock(Mail_Lock_Path(task, account), fd) != 0) {
        Reply_Success();
        return 0;
    }
    LockGuard lock(&fd);
    GWSTask loaded;
    if (loaded.Load_Task_Data(task) != 0) {
        Reply_Error(kReplyBadParam, kTaskParam);
        return 0;
    }
    int counts[6] = {};
    if (loaded.Validate_Task_Data() != 0 || !Is_Dir(Mail_Store_Dir(task, account)) ||
        Gmail_Get_Folder_Counts(account, task, counts) != 0) {
        for (int& c : counts) c = 0;
    }
    PT_JSON list = Json_List_Init();
    for (int i = 0; i < 6; ++i) {
        PT_JSON folder = Json_Dict_Init();
        Json_Dict_Add_Str(folder, "name", kFolders[i]);
        Json_Dict_Add_Int(folder, "amount", counts[i]);
        Json_List_Add_Dict(list, folder);
    }
    lock.reset();
    Reply_List(list);
    return 0;
}

int List_Gmail_Local_Backup(O_APP_CGI_AGENT* agent) {
    const char* task = Required_Param(agent, kTaskParam);
    if (task == nullptr || Required_Param(agent, kAccountParam) == nullptr) return 0;
    const char* folder = Required_Param(agent, "gmail_name");
    if (folder == nullptr) return 0;
    int start = 0, limit = 0;
    if (Get_Paging_Params(agent, start, limit) != 0) return 0;
    if (Checked_Task_Id(task) == nullptr) return 0;
    const char* account = Account_Param(agent, kAccountParam);
    if (account == nullptr) return 0;
    const char* keyword = agent->Get_Param("key_word");
    if (keyword == nullptr) keyword = "";

    bool cacheable = strcmp(folder, kCachedFolder) == 0 && start == 0 && limit == kCachedLimit && *keyword == '\0';
    RAIIful_Json page(cacheable ? Cached_Page(task, account) : nullptr);
    if (!page) {
        // The cache is written only by a page built while no backup or restore wrote the account:
        // the backup removes the cache under its lock, and a page of the old mails must not come
        // back after that. The shared lock keeps the writer waiting until the cache is in place.
        int fd = -1;
        if (cacheable && Try_Read_Lock(Mail_Lock_Path(task, account), fd) != 0) cacheable = false;
        LockGuard lock(&fd);
        GWSTask loaded;
        if (Load_Valid_Request_Task(agent, loaded) != 0) return 0;
        if (Is_Dir(Mail_Store_Dir(task, account))) {
            RAIIful_Json rows(Json_List_Init());
            Gmail_Get_DB_Data_For_Pagination(rows.get(), account, task, start, limit, keyword, folder);
            page.reset(Summarise_Mails(rows.get(), task, account, true));
            if (cacheable) Json_To_File(Gmail_Cache_File(account, task).c_str(), page.get());
        } else {
            page.reset(Json_List_Init());
        }
    }
    const long long total = Json_List_Size(page.get()) == 0 ? 0 : Gmail_Get_Number_Of_Record(account, task, folder);
    Reply_List(page.release(), total);
    return 0;
}

int Gmail_Advanced_Search(O_APP_CGI_AGENT* agent) {
    GWSTask loaded;
    if (Load_Valid_Request_Task(agent, loaded) != 0) return 0;
    const char* account = Account_Param(agent, kAccountParam);
    if (account == nullptr) return 0;
    const char* task = loaded.Get_Task_ID();
    if (!Is_Dir(Mail_Store_Dir(task, account))) {
        Reply_Error(kReplyBadParam, kAccountParam);
        return 0;
    }
    int early = -1, late = -1, hasAttachment = -1;
    agent->Get_Integer_Param("date_range_early", early);
    agent->Get_Integer_Param("date_range_late", late);
    agent->Get_Boolean_Param("has_attachment", hasAttachment);
    RAIIful_Json rows(Json_List_Init());
    Gmail_Get_DB_Data_For_Advance_Search(rows.get(), account, task, agent->Get_Param("sender_key_word"),
                                         agent->Get_Param("recipient_key_word"), agent->Get_Param("subject_key_word"),
                                         early, late, hasAttachment);
    PT_JSON list = Summarise_Mails(rows.get(), task, account, false);
    Reply_List(list, Json_List_Size(list));
    return 0;
}

}  // namespace qlm
