// What the Drive and Shared Drive backups share: activity-log rows, tool runs whose error output
// is read for a lost connection, the file listings, change detection and verified downloads.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/guards.h"
#include "plat_json.h"

class GWSTask;

namespace qlm::drivebk {

inline constexpr const char* kFolderMime = "application/vnd.google-apps.folder";

// Where a service's rows go. Progress rows ("Start ...", "Finished ...") are only printed; FAIL
// rows, warn rows and skipped accounts are stored whenever a handle is given.
struct LogCtx {
    sqlite3* db = nullptr;
    const char* pszTaskID = "";
    const char* pszDomain = "";
    const char* pszUser = "";
};
LogCtx Make_Log_Ctx(GWSTask* pTask, const char* pszUser, sqlite3* db);
void Log_Progress(const LogCtx& ctx, const std::string& msg);
void Log_Stored(const LogCtx& ctx, const char* pszStatus, const char* pszType, const std::string& msg);
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A fresh private temporary file "<tmp>/tnq_<id>_<pid>", removed when the guard ends (and by the
// next worker when this process was killed first).
UnlinkGuard New_Temp_File();

// Result of one tool run.
enum class RunResult { Ok, Failed, Lost };
struct ToolRun {
    RunResult result = RunResult::Failed;
    int ret = 0;     // the runner's result
    int status = 0;  // the tool's exit status
    // A listing that the tool gave but that failed its check (Failed): what is wrong with it, worded
    // to follow "<listing> of <account> " (listing::Listing_Problem_Text). Empty otherwise.
    std::string problem;
};
// Runs a finished command line ("... >OUT 2>" is appended with errPath, quoted) without a time
// limit. Lost when the error file shows the connection-error line; Failed for a runner result
// below 0 or a non-zero exit status.
ToolRun Run_Tool(const std::string& cmdline, const std::string& outPath, const std::string& errPath);

// Runs a listing whose output check() judges (it returns the problem, empty for a whole listing).
// A run the tool ended well (exit 0, or GAM's "no entities" when bGam) whose output fails the check
// is made again, listing::kListingTries runs in all with short pauses; the last problem stays in
// the result. A failed run or a lost connection is not repeated here.
ToolRun Run_Checked_Listing(const std::string& cmdline, const std::string& outPath, const std::string& errPath,
                            bool bGam, const std::function<std::string()>& check);

// The selected domain accounts ("Email" of scoutix -info's "user_list", filtered by the task's
// hand-picked ids). 0; -1 when the listing fails, fails its check (with a FAIL row in ctx saying
// why) or is lost.
int List_Selected_Users(GWSTask* pTask, const LogCtx& ctx, const std::string& errPath, std::vector<std::string>& vUsers);
// The selected shared drives ("id" and "shared_drive_name"). 0; -1.
struct SharedDriveEntry {
    std::string id, name;
};
int List_Selected_Shared_Drives(GWSTask* pTask, const LogCtx& ctx, const std::string& errPath,
                                std::vector<SharedDriveEntry>& vDrives);
// Orders the users by tallyx's output: users it names come in its order, the others follow in
// their own order; users it adds are ignored; an output that is no JSON list leaves the order.
// -1 when tallyx fails or the connection was lost; 0 otherwise.
int Order_Users_By_Usage(std::vector<std::string>& vUsers, const std::string& errPath);

// One row of the tree listing and of the file listing.
struct TreeRow {
    std::string id, name, mimeType, parents;
    long long index = 0, depth = -2;
    bool bOrphans = false;  // GAM's made-up "Orphans" folder, no item of the drive
};
struct ListRow {
    std::string id, owner, md5, modifiedTime;
    long long size = -1;
    long long modifyTime = 0;
};
// "gam user U print filetree [select SD] fields ..." and "... print filelist ...", read back and
// checked (Run_Checked_Listing; the tree also against the count of top rows its first line states).
// A non-empty sdID adds "select <sd>" (and "createddate" to the file list) as the Shared Drive
// listings do. A listing that found nothing (GAM's status 60 with its header) is Ok and empty.
// The tree's first top row (depth -1) is the drive's root. GAM ends a My Drive tree with a second
// top row, a made-up "Orphans" folder holding the files whose parent the user cannot see; it comes
// back as a folder in the root (depth 0, parent the root) with its rows one level deeper, so the
// orphans are catalogued under it and nothing takes it for a second root.
ToolRun List_Tree(const std::string& account, const std::string& sdID, const std::string& errPath,
                  std::vector<TreeRow>& rows);
ToolRun List_Files(const std::string& account, const std::string& sdID, const std::string& errPath,
                   std::vector<ListRow>& rows);

// The unchanged rule: both MD5s present decide; otherwise the modification times.
bool Is_Unchanged(const std::string& prevMD5, long long prevTime, const std::string& curMD5, long long curTime);
// The stored copy of an item is present: "<folder>/<local id>" exists (for an empty local id
// the folder itself) and is what a download would have committed (Is_Complete_Copy).
bool Stored_Copy_Present(const std::string& folder, const std::string& localID, long long size,
                         const std::string& md5);
// The download check: where Google gives an MD5, the file must have it and the listed size; where
// it gives none (Docs, Sheets and Slides, whose export is never their listed size) the file must
// not be empty.
bool Is_Complete_Copy(const std::string& path, long long size, const std::string& md5);

// Drawings and Apps Script projects: Drive has no export of them that GAM can download.
bool Has_No_Drive_Export(const std::string& mime);
// Neither a folder nor a type that is catalogued only (the skipped types and those without export).
bool Is_Downloadable(const std::string& mime);

// The items less those that must not overwrite their catalog rows now (failed or not yet done).
template <typename Record>
std::map<std::string, Record> Rows_To_Write(const std::map<std::string, Record>& items,
                                            const std::set<std::string>& skip1, const std::set<std::string>& skip2) {
    std::map<std::string, Record> out;
    for (const auto& [id, d] : items)
        if (skip1.count(id) == 0 && skip2.count(id) == 0) out.emplace(id, d);
    return out;
}

// The ancestor chain JSON [{"index","name"},...] from the top down to the parent; ancestors
// missing from the map get default records.
// At most maxSteps ancestors are followed, so a cycle in Google's parents cannot hang the run.
template <typename Record>
std::string Build_Structure(std::map<std::string, Record>& items, const std::string& parent, size_t maxSteps) {
    std::vector<std::pair<long long, std::string>> chain;
    std::string id = parent;
    for (size_t n = 0; n < maxSteps && !id.empty(); ++n) {
        Record& r = items[id];  // an unknown ancestor gets a default record, written like the others
        chain.emplace_back(r.llIndex, r.strName);
        id = r.strParentDriveID;
    }
    RAIIful_Json list(Json_List_Init());
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        PT_JSON o = Json_Dict_Init();
        Json_Dict_Add_Int64(o, "index", it->first);
        Json_Dict_Add_Str(o, "name", it->second.c_str());
        Json_List_Add_Dict(list.get(), o);
    }
    return Json_To_String(list.get());
}

// Downloads one file as account into "<stored>.tmp" beside the stored copy, up to 5 tries with
// pauses of 1, 2, 4 and 8 s, and replaces the stored copy only with a complete download
// (Is_Complete_Copy). GAM's "not performed" status ends the tries at once: it will not change.
enum class DownloadResult { Ok, Failed, Lost, CommitFailed };
DownloadResult Download_File(const std::string& account, const std::string& fileID, const std::string& storedPath,
                             long long size, const std::string& md5, const std::string& errPath, int& lastRet,
                             int& lastStatus, int maxTries = 5);

// Removes the ".tmp" files a killed download left in a store folder; the caller holds the
// folder's writer lock, so no download of another process is in flight there.
void Remove_Stale_Downloads(const std::string& folder);

// Removes the files of a store folder that no name of `named` names: what a run killed between a
// download and the catalog write of its row left, which no row would ever reach again. The caller
// holds the folder's writer lock and has read the catalog without error.
void Remove_Unlisted_Files(const std::string& folder, const std::set<std::string>& named);

// The same, with the local ids of a catalog's rows (a map of records with strLocalID).
template <typename RowMap>
void Remove_Files_Without_Rows(const std::string& folder, const RowMap& rows) {
    std::set<std::string> named;
    for (const auto& [id, row] : rows) named.insert(row.strLocalID);
    Remove_Unlisted_Files(folder, named);
}

// The guard before a pass removes what its listing lacks. gone: the previous items' ids that the
// listing (listed(id): it holds id) lacks, of `held` backed up. When they are more than half of them (and more
// than 10), relist() lists the account again and gone keeps only what neither listing holds; a
// second listing that fails leaves gone empty. Either way, and when the second listing holds items
// the first lacked, a FAIL row names the listing (what) and the account or shared drive (who).
// Lost when the second listing lost the connection (gone is then empty too).
RunResult Confirm_Removals(const LogCtx& ctx, const std::string& what, const std::string& who, size_t held,
                           const std::function<bool(const std::string&)>& listed, std::vector<std::string>& gone,
                           const std::function<ToolRun(std::set<std::string>& ids)>& relist);

// Hex MD5 of a file; empty when it cannot be read.
std::string File_MD5(const std::string& path);

}  // namespace qlm::drivebk
