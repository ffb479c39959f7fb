#include "browse/drive_browse.h"


#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "web/browse_params.h"
#include "browse/read_lock.h"
#include "browse/tree_reply.h"
#include "common/guards.h"
#include "common/jsontext.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "common/timeconv.h"
#include "dbcontrol/catalog_common.h"
#include "dbcontrol/drive_db.h"
#include "dbcontrol/drive_search.h"
#include "dbcontrol/shared_drive_db.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_json.h"

namespace qlm {

namespace {

using catalog::Kind;

constexpr const char* kTaskParam = "task_id";
constexpr const char* kIndexParam = "index";

// What differs between an account's Drive and a shared drive.
struct Side {
    Kind kind;
    const char* keyParam;      // the request parameter naming the account or the shared drive's uuid
    const char* storeService;  // the store's service folder: <service>/<task>/<key> and its locks
    const char* lockSuffix;
    const char* peopleKey;     // the single-item key of the row's people: the owner or the members
    int (*findByIndex)(PT_JSON, const char*, const char*, int);
    long long (*countChildren)(const char*, const char*, const char*);
    void (*page)(const catalog::Json_Row_Sink&, const char*, const char*, const char*, int, int, const char*);
};

const Side kDrive{Kind::Drive,
                  "domain_user_email",
                  "drive",
                  ".drive_lck",
                  "Owner",
                  Drvie_Find_DB_Data_By_Index,
                  Drvie_Count_DB_Data_By_ParentID,
                  Drvie_Find_DB_Simple_Data_By_ParentID_For_Pagination_Each};
const Side kShared{Kind::SharedDrive,
                   "shared_drive_id",
                   "shared_drive",
                   ".shared_drive_lck",
                   "members",
                   Shared_Drvie_Find_DB_Data_By_Index,
                   Shared_Drvie_Count_DB_Data_By_ParentID,
                   Shared_Drvie_Find_DB_Data_By_ParentID_For_Pagination_Each};

// The store folder of an account or shared drive (named by its uuid), or with the lock suffix its
// writers' lock (for a shared drive, named by Google's id).
std::string Store_Path(const Side& s, const char* task, const char* name, const char* suffix = "") {
    return qlm::Store_Path(s.storeService, task, name, suffix);
}

void Reply_Empty_Page() { Tree_Reply_Stream().Finish(0); }

// Every row goes out as it is read: neither a page with a large limit nor a search holds its rows.
catalog::Json_Row_Sink Written_To(Tree_Reply_Stream& reply) {
    return [&reply](RAIIful_Json& row) {
        reply.Add(row.get());
        return 0;
    };
}

// The account or uuid parameter; nullptr after 5303 (absent) or 5302 (not one path component).
const char* Key_Param(const O_APP_CGI_AGENT* agent, const Side& s) {
    const char* key = Required_Param(agent, s.keyParam);
    if (key != nullptr && !Is_Single_Path_Component(key)) {
        Reply_Error(kReplyBadParam, s.keyParam);
        return nullptr;
    }
    return key;
}

// The task id and key of a browse, both checked before any path is built from them.
bool Browse_Names(const O_APP_CGI_AGENT* agent, const Side& s, const char*& task, const char*& key) {
    task = Required_Param(agent, kTaskParam);
    if (task == nullptr) return false;
    if (Required_Param(agent, s.keyParam) == nullptr) return false;
    if (!Is_Id_Form(task)) {
        Reply_Error(kReplyBadParam, kTaskParam);
        return false;
    }
    key = Key_Param(agent, s);
    return key != nullptr;
}

// The first catalog row with the index, or nothing (found keeps it alive).
PT_JSON Row_By_Index(const Side& s, const char* key, const char* task, int index, RAIIful_Json& found) {
    found.reset(Json_List_Init());
    s.findByIndex(found.get(), key, task, index);
    return Json_List_Child(found.get(), 0);
}

// The page of the folder with the index; an index that no row has gives an empty page.
void Reply_Folder_Page(const Side& s, const char* key, const char* task, int index, int start, int limit,
                       const char* keyword) {
    RAIIful_Json found;
    const char* folder = nullptr;
    PT_JSON row = Row_By_Index(s, key, task, index, found);
    if (row == nullptr || Json_Dict_Find_Str(row, "id", folder) != 0) return Reply_Empty_Page();
    const long long total = s.countChildren(key, task, folder);
    Tree_Reply_Stream reply;
    s.page(Written_To(reply), key, task, folder, start, limit, keyword ? keyword : "");
    reply.Finish(total);
}

// The row's modification time in seconds; 0 when the text cannot be read.
int64_t Modified_Seconds(PT_JSON row) {
    try {
        return parseISO8601(Json_Text_Of(row, "modifiedTime"));
    } catch (const std::exception&) {
        return 0;
    }
}

// The row's size text as a number; -1 when Google gave none.
int64_t Size_Of(PT_JSON row) {
    const char* text = Json_Text_Of(row, "size");
    char* end = nullptr;
    errno = 0;
    const long long size = strtoll(text, &end, 10);
    return (*text == '\0' || *end != '\0' || errno != 0) ? -1 : size;
}

// The stored people: the owner's text, or the member list parsed (an empty list when the text
// is not a JSON list).
void Add_People(PT_JSON data, const Side& s, PT_JSON row) {
    const char* text = Json_Text_Of(row, s.peopleKey);
    if (s.kind == Kind::Drive) {
        Json_Dict_Add_Str(data, s.peopleKey, text);
        return;
    }
    RAIIful_Json members(Json_From_String(text));
    if (!Json_Is_List(members.get())) members.reset(Json_List_Init());
    Json_Dict_Add_List(data, s.peopleKey, members.release());
}

int Single_Info(O_APP_CGI_AGENT* agent, const Side& s) {
    GWSTask task;
    if (Load_Request_Task(agent, task) != 0) return 0;
    const char* key = Key_Param(agent, s);
    if (key == nullptr) return 0;
    if (task.Validate_Task_Data() != 0) {
        Reply_Error(kReplyFailed, kTaskParam);
        return 0;
    }
    int index = 0;
    if (agent->Get_Integer_Param(kIndexParam, index) != 0) {
        Reply_Error(kReplyMissingParam, kIndexParam);
        return 0;
    }
    const char* taskId = task.Get_Task_ID();
    if (!Is_Regular_File(catalog::Catalog_File(s.kind, key, taskId))) {
        Reply_Error(kReplyBadParam, s.keyParam);
        return 0;
    }
    RAIIful_Json found;
    PT_JSON row = Row_By_Index(s, key, taskId, index, found);
    if (row == nullptr) {
        Reply_Error(kReplyBadParam, kIndexParam);
        return 0;
    }
    const int64_t modified = Modified_Seconds(row);
    RAIIful_Json data(Json_Dict_Init());
    Json_Dict_Add_Str(data.get(), "name", Json_Text_Of(row, "name"));
    Json_Dict_Add_Str(data.get(), "type", Json_Text_Of(row, "mimeType"));
    Json_Dict_Add_Int64(data.get(), "create_time", modified);
    Json_Dict_Add_Int64(data.get(), "modify_time", modified);
    Json_Dict_Add_Str(data.get(), "path", Json_Text_Of(row, "name"));
    Json_Dict_Add_Int64(data.get(), "size", Size_Of(row));
    Json_Dict_Add_Int64(data.get(), "backup_time", task.Get_Create_Time());
    Add_People(data.get(), s, row);
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_Dict(reply.get(), "data", data.release());
    Reply_Json(reply.get());
    return 0;
}

int Advanced_Search(O_APP_CGI_AGENT* agent, const Side& s) {
    GWSTask task;
    if (Load_Valid_Request_Task(agent, task) != 0) return 0;
    const char* key = Key_Param(agent, s);
    if (key == nullptr) return 0;
    const char* taskId = task.Get_Task_ID();
    if (!Is_Dir(Store_Path(s, taskId, key))) {
        Reply_Error(kReplyBadParam, s.keyParam);
        return 0;
    }
    const catalog::Drive_Search_Filters f = Drive_Search_Request(agent, s.kind);

    Tree_Reply_Stream reply;
    catalog::Drive_Search_Each(s.kind, key, taskId, f, Written_To(reply));
    reply.Finish(reply.Rows());
    return 0;
}

}  // namespace

int List_Drive_Local_Backup(O_APP_CGI_AGENT* agent) {
    const char *task = nullptr, *user = nullptr;
    if (!Browse_Names(agent, kDrive, task, user)) return 0;
    int fd = -1;
    if (Try_Read_Lock(Store_Path(kDrive, task, user, kDrive.lockSuffix), fd) != 0) {
        Reply_Success();
        return 0;
    }
    LockGuard lock(&fd);
    int start = 0, limit = 0, index = 0;
    if (Get_Paging_Params(agent, start, limit) != 0) return 0;
    GWSTask loaded;
    if (agent->Get_Integer_Param(kIndexParam, index) != 0 || loaded.Load_Task_Data(task) != 0 ||
        loaded.Validate_Task_Data() != 0 || !Is_Dir(Store_Path(kDrive, task, user))) {
        Reply_Empty_Page();
        return 0;
    }
    Reply_Folder_Page(kDrive, user, task, index, start, limit, agent->Get_Param("key_word"));
    return 0;
}

int List_Shared_Drive_Local_Backup(O_APP_CGI_AGENT* agent) {
    const char *task = nullptr, *uuid = nullptr;
    if (!Browse_Names(agent, kShared, task, uuid)) return 0;
    const std::string googleId = Shared_Drive_Mapped_Field(task, uuid, "shared_drive_id");
    // The backup refuses to lock under an id that is not one path component; so does the browse.
    if (!Is_Single_Path_Component(googleId)) {
        Reply_Success();
        return 0;
    }
    int fd = -1;
    if (Try_Read_Lock(Store_Path(kShared, task, googleId.c_str(), kShared.lockSuffix), fd) != 0) {
        Reply_Success();
        return 0;
    }
    LockGuard lock(&fd);
    int start = 0, limit = 0, index = 0;
    if (Get_Paging_Params(agent, start, limit) != 0) return 0;
    if (agent->Get_Integer_Param(kIndexParam, index) != 0) {
        Reply_Error(kReplyMissingParam, kIndexParam);
        return 0;
    }
    GWSTask loaded;
    if (Load_Valid_Request_Task(agent, loaded) != 0) return 0;
    if (!Is_Dir(Store_Path(kShared, task, uuid))) {
        Reply_Success();
        return 0;
    }
    Reply_Folder_Page(kShared, uuid, task, index, start, limit, agent->Get_Param("key_word"));
    return 0;
}

int Drive_Single_Info(O_APP_CGI_AGENT* agent) { return Single_Info(agent, kDrive); }
int Shared_Drive_Single_Info(O_APP_CGI_AGENT* agent) { return Single_Info(agent, kShared); }
int Drive_Advanced_Search(O_APP_CGI_AGENT* agent) { return Advanced_Search(agent, kDrive); }
int Shared_Drive_Advanced_Search(O_APP_CGI_AGENT* agent) { return Advanced_Search(agent, kShared); }

}  // namespace qlm
