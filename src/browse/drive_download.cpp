#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "appgenerallib.h"
#include "web/browse_params.h"
#include "browse/download_reply.h"
#include "browse/downloads.h"
#include "common/dlnames.h"
#include "common/filehelpers.h"
#include "common/jsontext.h"
#include "common/reqcheck.h"
#include "dbcontrol/drive_db.h"
#include "dbcontrol/drive_search.h"
#include "dbcontrol/shared_drive_db.h"
#include "web/action_log.h"
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
constexpr const char* kBrowserParam = "browser";
constexpr const char* kAll = "ALL";
constexpr const char* kFolderMime = "application/vnd.google-apps.folder";

// What differs between an account's Drive and a shared drive.
struct Side {
    Kind kind;
    const char* keyParam;      // the account, or the shared drive's uuid
    const char* storeService;  // <service>/<task>/<key>/<local id> holds a file's content
    const char* logWord;       // "Exported <word> file ..."
    int (*readAll)(PT_JSON, const char*, const char*);
    int (*findByIndex)(PT_JSON, const char*, const char*, int);
};

const Side kDrive{Kind::Drive, "domain_user_email", "drive", "Drive", Drive_Get_DB_Data, Drvie_Find_DB_Data_By_Index};
const Side kShared{Kind::SharedDrive,          "shared_drive_id",
                   "shared_drive",             "Shared Drive",
                   Shared_Drive_Get_DB_Data,   Shared_Drvie_Find_DB_Data_By_Index};

// One catalog row of the tree and, while a selected folder is rebuilt, the folder made for it.
struct Node {
    std::string id, name, mime, localid, parent;
    long long index = 0, depth = 0;
    std::string made;
};

// One export: where its rows come from, where its files go, and what its log rows say.
struct Export {
    const O_APP_CGI_AGENT* agent;
    const Side& side;
    const char* task;
    const char* key;
    std::string owner;  // the account, or the shared drive's name
    std::string store;  // the store folder
    sqlite3* log;
    std::vector<Node> nodes;  // by depth, then index; read at the first selected folder
    bool nodesRead = false;
};

bool Is_Folder_Mime(const std::string& mime) { return mime == kFolderMime; }

// The row as a node; false without id, name or MIME type.
bool Node_Of(PT_JSON row, Node& n) {
    const char *id = nullptr, *name = nullptr, *mime = nullptr;
    if (Json_Dict_Find_Str(row, "id", id) != 0 || Json_Dict_Find_Str(row, "name", name) != 0 ||
        Json_Dict_Find_Str(row, "mimeType", mime) != 0 || !id || !name || !mime)
        return false;
    n.id = id;
    n.name = name;
    n.mime = mime;
    n.localid = Is_Folder_Mime(n.mime) ? "" : Json_Text_Of(row, "localid");
    n.parent = Json_Text_Of(row, "parents");
    int64_t v = 0;
    if (Json_Dict_Find_Int64(row, "index", v) == 0) n.index = v;
    if (Json_Dict_Find_Int64(row, "depth", v) == 0) n.depth = v;
    return true;
}

// The whole catalog as nodes, parents before children; siblings in index order so that which of
// two same-named ones gets the counter does not change between downloads.
int Read_Nodes(Export& ex) {
    if (ex.nodesRead) return 0;
    RAIIful_Json rows(Json_List_Init());
    if (ex.side.readAll(rows.get(), ex.key, ex.task) != 0) return -1;
    for (int i = 0; i < Json_List_Size(rows.get()); ++i) {
        Node n;
        if (Node_Of(Json_List_Child(rows.get(), i), n)) ex.nodes.push_back(std::move(n));
    }
    std::stable_sort(ex.nodes.begin(), ex.nodes.end(), [](const Node& a, const Node& b) {
        return a.depth != b.depth ? a.depth < b.depth : a.index < b.index;
    });
    ex.nodesRead = true;
    return 0;
}

// Copies a file item into folder under its name (a counter on a clash), after its log row.
// Only a regular file of the store is copied: a Google document has no content there.
void Export_File(Export& ex, const Node& n, const std::string& folder) {
    if (!Is_Single_Path_Component(n.localid)) return;
    const std::string src = ex.store + "/" + n.localid;
    if (!Is_Regular_File(src)) return;
    const std::string msg = Exported_To_Pc_Message(ex.side.logWord, n.name, ex.owner);
    Log_Action_Row(ex.log, ex.task, ex.owner.c_str(), ex.agent->m_szUser, "backup", "info", msg.c_str());
    Link_Or_Copy_Free(src, folder + "/" + Drive_Name_Component(n.name));
}

// The folder for an item inside parent: made, or one of the same name made before (two Drive
// folders of one name merge, as they would in any folder tree). A file of that name makes it
// "<name>(n)" for the first n that is free. Empty when none can be made.
std::string Make_Folder(const std::string& parent, const std::string& name) {
    const std::string base = parent + "/" + Drive_Name_Component(name);
    for (int n = 0; n < 1000; ++n) {
        const std::string path = n > 0 ? base + "(" + std::to_string(n) + ")" : base;
        if (mkdir(path.c_str(), 0700) == 0) return path;
        struct stat st;
        if (errno != EEXIST || lstat(path.c_str(), &st) != 0) return "";
        if (S_ISDIR(st.st_mode)) return path;
    }
    return "";
}

// Rebuilds the selected folder with everything below it.
void Export_Folder(Export& ex, long long index, const std::string& name, const std::string& folder) {
    if (Read_Nodes(ex) != 0) return;
    std::unordered_map<std::string, size_t> byId;
    for (size_t i = 0; i < ex.nodes.size(); ++i) {
        ex.nodes[i].made.clear();
        byId.emplace(ex.nodes[i].id, i);
    }
    long long targetDepth = 0;
    bool found = false;
    for (Node& n : ex.nodes) {
        if (!found) {
            if (n.index != index) continue;
            found = true;
            targetDepth = n.depth;
            n.made = Make_Folder(folder, name);
            if (n.made.empty()) return;
            continue;
        }
        if (n.depth <= targetDepth) continue;
        const auto parent = byId.find(n.parent);
        if (parent == byId.end() || ex.nodes[parent->second].made.empty()) continue;
        const std::string& into = ex.nodes[parent->second].made;
        if (Is_Folder_Mime(n.mime))
            n.made = Make_Folder(into, n.name);
        else
            Export_File(ex, n, into);
    }
}

// One selected index: a file copied, a folder rebuilt; anything else passed over.
void Export_Item(Export& ex, const std::string& text, const std::string& folder) {
    long long index = 0;
    if (!Parse_Whole_Int(text, index) || index < INT32_MIN || index > INT32_MAX || !Is_Dir(ex.store)) return;
    RAIIful_Json found(Json_List_Init());
    ex.side.findByIndex(found.get(), ex.key, ex.task, static_cast<int>(index));
    PT_JSON row = Json_List_Child(found.get(), 0);
    Node n;
    const char* localid = nullptr;
    if (row == nullptr || !Node_Of(row, n) || Json_Dict_Find_Str(row, "localid", localid) != 0) return;
    if (Is_Folder_Mime(n.mime))
        Export_Folder(ex, index, n.name, folder);
    else
        Export_File(ex, n, folder);
}

// The selected indexes as texts; false after the reply when a search cannot run.
bool Selected_Indexes(Export& ex, bool search, const char* indexes, std::vector<std::string>& out) {
    if (search) {
        GWSTask loaded;
        if (Load_Valid_Request_Task(ex.agent, loaded) != 0) return false;
        if (!Is_Dir(Store_Path(ex.side.storeService, loaded.Get_Task_ID(), ex.key))) {
            Reply_Error(kReplyBadParam, ex.side.keyParam);
            return false;
        }
        catalog::Drive_Search_Filters f;
        f.name = ex.agent->Get_Param("name_key_word");
        f.type = ex.agent->Get_Param("type");
        if (ex.side.kind == Kind::SharedDrive) f.member = ex.agent->Get_Param("member_key_word");
        int64_t size = -1;
        ex.agent->Get_Integer_Param("size", size);
        f.sizeKiB = size;
        const std::pair<const char*, int*> ints[] = {
            {"size_search_type", &f.sizeType},         {"create_time_early", &f.createEarly},
            {"create_time_late", &f.createLate},       {"last_backup_time_early", &f.backupEarly},
            {"last_backup_time_late", &f.backupLate},  {"last_modified_time_early", &f.modifiedEarly},
            {"last_modified_time_late", &f.modifiedLate},
        };
        for (const auto& [name, value] : ints) ex.agent->Get_Integer_Param(name, *value);
        catalog::Drive_Search_Each(ex.side.kind, ex.key, loaded.Get_Task_ID(), f, [&out](RAIIful_Json& row) {
            int64_t index = 0;
            if (Json_Dict_Find_Int64(row.get(), "index", index) == 0) out.push_back(std::to_string(index));
            return 0;
        });
    } else if (strcmp(indexes, kAll) == 0) {
        if (Read_Nodes(ex) != 0) return true;
        for (const Node& n : ex.nodes)
            if (n.depth == 0) out.push_back(std::to_string(n.index));
    } else {
        out = parseCommaSeparatedStrings(indexes);
    }
    return true;
}

int Export_Drive_Like(O_APP_CGI_AGENT* agent, const Side& side) {
    Log_Db log;
    if (Open_Action_Log(log) != 0) return 0;
    const char* browser = Required_Param(agent, kBrowserParam);
    const char* task = browser ? Required_Param(agent, kTaskParam) : nullptr;
    if (task == nullptr) return 0;
    int search = 0;
    agent->Get_Boolean_Param("search_condition_enable", search);
    const char* indexes = nullptr;
    if (!search && (indexes = Required_Param(agent, kIndexParam)) == nullptr) return 0;
    const char* key = Required_Param(agent, side.keyParam);
    if (key == nullptr || !Checked_Task_Id(task) || !Checked_Component(key, side.keyParam)) return 0;

    Export ex{agent, side, task, key, key, Store_Path(side.storeService, task, key), log.get(), {}, false};
    if (side.kind == Kind::SharedDrive) ex.owner = Shared_Drive_Mapped_Field(task, key, "shared_drive_name");
    // A catalog never written is no reason to make one: without it nothing is selected.
    const bool haveCatalog = Is_Regular_File(catalog::Catalog_File(side.kind, key, task));

    Download_Folder dl;
    if (dl.Make() != 0) {
        Reply_Error_No_Msg(kReplyFailed);
        return 0;
    }
    std::vector<std::string> selected;
    if ((search || haveCatalog) && !Selected_Indexes(ex, search != 0, indexes, selected)) return 0;
    if (haveCatalog)
        for (const std::string& text : selected) Export_Item(ex, text, dl.Path());
    std::vector<std::string> names;
    GetFolderList(names, dl.Path().c_str());
    Send_Entries(agent, dl.Path(), names, browser);
    return 0;
}

}  // namespace

int Export_Drive(O_APP_CGI_AGENT* agent) { return Export_Drive_Like(agent, kDrive); }
int Export_Shared_Drive(O_APP_CGI_AGENT* agent) { return Export_Drive_Like(agent, kShared); }

}  // namespace qlm
