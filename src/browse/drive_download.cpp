#include <fcntl.h>
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
#include "common/reqcheck.h"
#include "dbcontrol/drive_search.h"
#include "dbcontrol/drive_tree.h"
#include "dbcontrol/shared_drive_db.h"
#include "web/action_log.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_json.h"

namespace qlm {

namespace {

using catalog::Drive_Node;
using catalog::Kind;

constexpr const char* kTaskParam = "task_id";
constexpr const char* kIndexParam = "index";
constexpr const char* kBrowserParam = "browser";
constexpr const char* kAll = "ALL";

// What differs between an account's Drive and a shared drive.
struct Side {
    Kind kind;
    const char* keyParam;      // the account, or the shared drive's uuid
    const char* storeService;  // <service>/<task>/<key>/<local id> holds a file's content
    const char* logWord;       // "Exported <word> file ..."
};

const Side kDrive{Kind::Drive, "domain_user_email", "drive", "Drive"};
const Side kShared{Kind::SharedDrive, "shared_drive_id", "shared_drive", "Shared Drive"};

// One export: where its rows come from, where its files go, and what its log rows say.
struct Export {
    const O_APP_CGI_AGENT* agent;
    const Side& side;
    const char* task;
    const char* key;
    std::string owner;  // the account, or the shared drive's name
    std::string store;  // the store folder
    Download_Log rows;              // the rows of the files copied, written as they are sent
    std::vector<Drive_Node> nodes;  // by depth, then index; read at the first selected folder
    bool nodesRead = false;
    // The download folder, and the folder below it last written into: the tree is built relative
    // to descriptors, so a tree deeper than the longest path arrives whole.
    int rootFd = -1;
    Folder_Below open;
};

// The whole catalog as nodes, parents before children, read once.
int Read_Nodes(Export& ex) {
    if (ex.nodesRead) return 0;
    if (catalog::Read_Drive_Tree(ex.side.kind, ex.key, ex.task, ex.nodes) != 0) return -1;
    ex.nodesRead = true;
    return 0;
}

// Copies a file item into folder (relative, "" for the download folder) under its name (a counter
// on a clash), and notes its log row for when the file is sent: a file that could not be placed
// in the download is not logged as exported. Only a regular file of the store is copied: a Google
// document has no content there.
void Export_File(Export& ex, const Drive_Node& n, const std::string& folder) {
    if (!Is_Single_Path_Component(n.localid)) return;
    const std::string src = ex.store + "/" + n.localid;
    if (!Is_Regular_File(src)) return;
    const int dirFd = ex.open.Open(ex.rootFd, folder);
    if (dirFd < 0) return;
    const std::string placed = Link_Or_Copy_Free_At(src, dirFd, Drive_File_Name(n.name, n.mime));
    if (placed.empty()) return;
    Expect_Download_Row(ex.rows, folder.empty() ? placed : folder + "/" + placed,
                        Exported_To_Pc_Message(ex.side.logWord, n.name, ex.owner));
}

// The folder for an item inside parent (relative), as a relative path; empty when none can be made.
std::string Make_Folder(Export& ex, const std::string& parent, const std::string& name) {
    const int dirFd = ex.open.Open(ex.rootFd, parent);
    const std::string made = dirFd < 0 ? "" : Make_Or_Join_Folder_At(dirFd, Drive_Name_Component(name));
    return made.empty() || parent.empty() ? made : parent + "/" + made;
}

// Rebuilds the selected folder with everything below it.
void Export_Folder(Export& ex, long long index, const std::string& name, const std::string& folder) {
    if (Read_Nodes(ex) != 0) return;
    // The folder made for each node of this selection, by its Google id.
    std::unordered_map<std::string, std::string> made;
    long long targetDepth = 0;
    bool found = false;
    for (const Drive_Node& n : ex.nodes) {
        if (!found) {
            if (n.index != index) continue;
            found = true;
            targetDepth = n.depth;
            const std::string top = Make_Folder(ex, folder, name);
            if (top.empty()) return;
            made[n.id] = top;
            continue;
        }
        if (n.depth <= targetDepth) continue;
        const auto parent = made.find(n.parent);
        if (parent == made.end()) continue;
        const std::string into = parent->second;
        if (n.Is_Folder()) {
            std::string mine = Make_Folder(ex, into, n.name);
            if (!mine.empty()) made[n.id] = std::move(mine);
        } else {
            Export_File(ex, n, into);
        }
    }
}

// One selected index: a file copied, a folder rebuilt; anything else passed over.
void Export_Item(Export& ex, const std::string& text, const std::string& folder) {
    long long index = 0;
    if (!Parse_Whole_Int(text, index) || index < INT32_MIN || index > INT32_MAX || !Is_Dir(ex.store)) return;
    RAIIful_Json row;
    catalog::Find_Drive_Row_By_Index(ex.side.kind, ex.key, ex.task, static_cast<int>(index), row);
    Drive_Node n;
    const char* localid = nullptr;
    if (!row || !Drive_Node_Of(row.get(), n) || Json_Dict_Find_Str(row.get(), "localid", localid) != 0) return;
    if (n.Is_Folder())
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
        const catalog::Drive_Search_Filters f = Drive_Search_Request(ex.agent, ex.side.kind);
        catalog::Drive_Search_Each(ex.side.kind, ex.key, loaded.Get_Task_ID(), f, [&out](RAIIful_Json& row) {
            int64_t index = 0;
            if (Json_Dict_Find_Int64(row.get(), "index", index) == 0) out.push_back(std::to_string(index));
            return 0;
        });
    } else if (strcmp(indexes, kAll) == 0) {
        if (Read_Nodes(ex) != 0) return true;
        for (const Drive_Node& n : ex.nodes)
            if (n.depth == 0) out.push_back(std::to_string(n.index));
    } else {
        out = Distinct_Items(parseCommaSeparatedStrings(indexes), true);
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

    Export ex{agent, side, task, key, key, Store_Path(side.storeService, task, key), {}, {}, false, -1, {}};
    if (side.kind == Kind::SharedDrive) ex.owner = Shared_Drive_Mapped_Field(task, key, "shared_drive_name");
    ex.rows.db = log.get();
    ex.rows.task = task;
    ex.rows.domain = ex.owner;
    ex.rows.user = agent->m_szUser;
    ex.rows.what = std::string(side.logWord) + " files of account " + ex.owner;
    // A catalog never written is no reason to make one: without it nothing is selected.
    const bool haveCatalog = Is_Regular_File(catalog::Catalog_File(side.kind, key, task));

    Download_Folder dl;
    if (dl.Make() != 0) {
        Reply_Error_No_Msg(kReplyFailed);
        return 0;
    }
    std::vector<std::string> selected;
    if ((search || haveCatalog) && !Selected_Indexes(ex, search != 0, indexes, selected)) return 0;
    const FdGuard root{open(dl.Path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    ex.rootFd = root.fd;
    if (haveCatalog && root.fd >= 0)
        for (const std::string& text : selected) Export_Item(ex, text, "");
    std::vector<std::string> names;
    GetFolderList(names, dl.Path().c_str());
    Send_Entries(agent, dl.Path(), names, browser, 0, &ex.rows);
    return 0;
}

}  // namespace

int Export_Drive(O_APP_CGI_AGENT* agent) { return Export_Drive_Like(agent, kDrive); }
int Export_Shared_Drive(O_APP_CGI_AGENT* agent) { return Export_Drive_Like(agent, kShared); }

}  // namespace qlm
