#include <cstring>
#include <string>

#include "common/dlnames.h"
#include "dbcontrol/drive_search.h"
#include "dbcontrol/drive_tree.h"
#include "dbcontrol/shared_drive_db.h"
#include "export/drive_export.h"
#include "export/export_frame.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "web/browse_params.h"
#include "web/reply.h"
#include "web/request_params.h"

namespace qlm {

namespace {

using catalog::Kind;

constexpr const char* kIndexParam = "index";

// What differs between an account's Drive and a shared drive.
struct Side {
    Kind kind;
    const char* keyParam;      // the account, or the shared drive's uuid
    const char* storeService;  // <service>/<task>/<key>/<local id> holds a file's content
    const char* logWord;       // "Exported <word> file ..."
    const char* service;       // the mission's service
};

const Side kDrive{Kind::Drive, kExportAccountParam, "drive", "Drive", "drive"};
const Side kShared{Kind::SharedDrive, "shared_drive_id", "shared_drive", "Shared Drive", "shared_drive"};

// The catalog indexes an advanced search finds, as decimal texts, in the order found.
void Searched_Indexes(O_APP_CGI_AGENT* agent, const Side& side, const Drive_Export_Walk& w,
                      std::vector<std::string>& out) {
    const catalog::Drive_Search_Filters f = Drive_Search_Request(agent, side.kind);
    catalog::Drive_Search_Each(side.kind, w.key.c_str(), w.task.c_str(), f, [&out](RAIIful_Json& row) {
        int64_t index = 0;
        if (Json_Dict_Find_Int64(row.get(), "index", index) == 0) out.push_back(std::to_string(index));
        return 0;
    });
}

int Export_Drive_Like_To_Nas(O_APP_CGI_AGENT* agent, const Side& side) {
    Export_Run run;
    if (Export_Begin(agent, run) != 0) return 0;
    const int search = Export_Search_Param(agent);
    const char* indexes = nullptr;
    if (!search && (indexes = Required_Param(agent, kIndexParam)) == nullptr) return 0;
    const char* key = Required_Param(agent, side.keyParam);
    if (key == nullptr || !Checked_Component(key, side.keyParam)) return 0;
    // Every check a worker could fail runs here, so that a refused export answers with its reason
    // and never shows as a mission.
    GWSTask task;
    if (Load_Valid_Request_Task(agent, task) != 0) return 0;

    Drive_Export_Walk w;
    w.kind = side.kind;
    w.key = key;
    w.task = task.Get_Task_ID();
    w.store = Store_Path(side.storeService, w.task.c_str(), key);
    // A catalog never written is no reason to make one: the account has nothing to export.
    if (!Is_Regular_File(catalog::Catalog_File(side.kind, key, w.task.c_str())) ||
        catalog::Read_Drive_Tree(side.kind, key, w.task.c_str(), w.nodes) != 0 || (search && !Is_Dir(w.store))) {
        Reply_Error(kReplyBadParam, side.keyParam);
        return 0;
    }
    const bool whole = !search && strcmp(indexes, kExportAll) == 0;
    if (search)
        Searched_Indexes(agent, side, w, w.entries);
    else if (!whole)
        w.entries = Distinct_Items(parseCommaSeparatedStrings(indexes), true);
    // The log rows name the account, or the shared drive by its name; the mission list shows the
    // account, or for a shared drive the task's administrator.
    const std::string owner =
        side.kind == Kind::SharedDrive ? Shared_Drive_Mapped_Field(w.task.c_str(), key, "shared_drive_name") : key;

    if (Export_Make_Folder(run) != 0) return 0;
    run.pszService = side.service;
    run.strDomain = side.kind == Kind::SharedDrive ? task.Get_Admin_Email() : key;
    w.exportFd = run.dirFd.fd;

    Export_Member member;
    member.bLogs = true;
    member.list = [&](Export_Ctx& ctx, size_t& total) {
        Drive_Walk_Begin(w);
        w.copied = [&ctx, &run, &side, &owner](const std::string& name) {
            Export_Log(ctx, owner, Exported_To_Nas_Message(side.logWord, name, owner, run.strNasPath));
        };
        w.failed = [&ctx, &run, &side, &owner](const std::string& name) {
            Export_Log_Failed(ctx, owner, Failed_To_Nas_Message(side.logWord, name, owner, run.strNasPath));
        };
        total = whole ? w.nodes.size() : w.entries.size();
        return 0;
    };
    member.item = [&](Export_Ctx&, size_t i) { return whole ? Export_Drive_Node(w, i) : Export_Drive_Entry(w, i); };
    Export_Fork(run, member);
    return 0;
}

}  // namespace

int Export_Drive_To_Nas(O_APP_CGI_AGENT* agent) { return Export_Drive_Like_To_Nas(agent, kDrive); }
int Export_Shared_Drive_To_Nas(O_APP_CGI_AGENT* agent) { return Export_Drive_Like_To_Nas(agent, kShared); }

}  // namespace qlm
