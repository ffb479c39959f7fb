#include "backup/drive_backup.h"

#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "backup/backup_account.h"
#include "backup/drive_backup_common.h"
#include "common/clock.h"
#include "common/guards.h"
#include "common/listing_check.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "common/toolcmd.h"
#include "dbcontrol/drive_db.h"
#include "orvenna_task.h"
#include "plat_file.h"
#include "plat_lock.h"
#include "plat_string.h"

using namespace qlm::drivebk;

namespace {

constexpr const char* kSkipMime[] = {
    "application/vnd.google-apps.shortcut", "application/vnd.google-apps.form",
    "application/vnd.google-apps.site",     "application/vnd.google-apps.map",
    "application/vnd.google-apps.fusiontable", "application/vnd.google-apps.jam",
    "application/vnd.google-apps.drive-sdk",
};

enum class AccountResult { Done, Lost, FileFailure };

struct DriveRun {
    LogCtx ctx;
    std::string strTaskID;
    std::string strErrPath;
    MissionProgress progress;
};

constexpr const char* kTreeListing = "Drive file tree listing";

// One listing of an account with its rows; a failed one is logged here (the account is skipped):
// what is wrong with it when the tool gave one that failed its check.
template <typename Fn>
RunResult Run_Account_Listing(const LogCtx& ctx, const char* what, const char* listing, const char* acct, Fn list) {
    Log_Progress(ctx, Format("Start retrieving Drive file %s for user account %s.", what, acct));
    const ToolRun r = list();
    if (r.result == RunResult::Failed && !r.problem.empty())
        Log_Stored(ctx, "FAIL", "info", qlm::listing::Listing_Problem_Text(listing, acct, r.problem));
    else if (r.result == RunResult::Failed)
        Log_Stored(ctx, "FAIL", "info",
                   Format("Failed to retrieve Drive file %s for user account %s. ret=%d sys_ret=%d", what, acct, r.ret,
                          r.status));
    else if (r.result == RunResult::Ok)
        Log_Progress(ctx, Format("Finished retrieving Drive file %s for user account %s.", what, acct));
    return r.result;
}

AccountResult Backup_Drive_Account(DriveRun& run, const std::string& account) {
    const LogCtx& ctx = run.ctx;
    const char* acct = account.c_str();
    if (!qlm::Is_Single_Path_Component(account)) {
        Log_Stored(ctx, "FAIL", "warn",
                   qlm::Skipped_Account_Text("Drive", "user account", account, "the account name cannot name a folder"));
        return AccountResult::Done;
    }
    const std::string driveDir = qlm::Backup_Service_Dir("drive");
    int fd = -1;
    std::string why;
    const int rcLock = qlm::Take_Account_Lock(driveDir + "/" + run.strTaskID + "/" + account + ".drive_lck", 30000, fd, why);
    if (rcLock == qlm::kAccountLockHeld) {
        Log_Stored(ctx, "FAIL", "warn", Format("Drive backup is already in progress for user account %s.", acct));
        return AccountResult::Done;
    }
    if (rcLock != 0) {
        Log_Stored(ctx, "FAIL", "info", qlm::Skipped_Account_Text("Drive", "user account", account, why));
        return AccountResult::Done;
    }
    LockGuard lock(&fd);
    if (!qlm::catalog::Catalog_Names_Fit(qlm::catalog::Kind::Drive, acct, run.strTaskID.c_str())) {
        Log_Stored(ctx, "FAIL", "info",
                   qlm::Skipped_Account_Text("Drive", "user account", account, qlm::kCatalogNamesTooLong));
        return AccountResult::Done;
    }
    const std::string store = driveDir + "/" + run.strTaskID + "/" + account;
    if (qlm::Make_Account_Store(store, why) != 0) {
        Log_Stored(ctx, "FAIL", "info", qlm::Skipped_Account_Text("Drive", "user account", account, why));
        return AccountResult::Done;
    }
    Remove_Stale_Downloads(store);

    // An unreadable catalog is never taken for an empty one: that would download everything
    // again under new ids and orphan every stored copy.
    std::map<std::string, DriveData> prev;
    const int rcRead = Drive_Read_DB(prev, acct, run.strTaskID.c_str());
    if (rcRead != 0) {
        // Skipped, not retried: a catalog that cannot be read now will not be read in a minute
        // either, and a failed attempt would hold the whole run for its retries.
        Log_Stored(ctx, "FAIL", "info", Format("Failed to read Drive catalog for user account %s. ret=%d", acct, rcRead));
        return AccountResult::Done;
    }
    // Before the listings, so a pass whose listing fails leaves no file without its row either.
    Remove_Files_Without_Rows(store, prev);

    std::vector<ListRow> list;
    std::vector<TreeRow> tree;
    RunResult lr = Run_Account_Listing(ctx, "list", "Drive file listing", acct,
                                       [&] { return List_Files(account, "", run.strErrPath, list); });
    if (lr == RunResult::Ok)
        lr = Run_Account_Listing(ctx, "tree", kTreeListing, acct,
                                 [&] { return List_Tree(account, "", run.strErrPath, tree); });
    if (lr == RunResult::Lost) return AccountResult::Lost;
    if (lr != RunResult::Ok) return AccountResult::Done;

    const long long now = qlm::Now();
    std::map<std::string, DriveData> items;
    std::set<std::string> need, failed;
    for (const TreeRow& t : tree) {
        DriveData d;
        d.strName = t.name;
        d.strMimeType = t.mimeType;
        d.strParentDriveID = t.parents;
        d.llIndex = t.index;
        d.llDepth = t.depth;
        // No file listing names the made-up Orphans folder; it holds the account's own files.
        if (t.bOrphans) d.strOwner = account;
        d.llCreateTime = now;
        d.llLastBackupTime = now;
        if (Is_Downloadable(t.mimeType)) {
            // A catalogued item keeps its local id even when the file listing lacks it.
            auto p = prev.find(t.id);
            d.strLocalID = (p != prev.end() && !p->second.strLocalID.empty()) ? p->second.strLocalID
                                                                              : smbbackup::Create_New_ID();
            need.insert(t.id);
        }
        items[t.id] = std::move(d);
    }
    // A My Drive file list also names files other users shared with this one; the tree never
    // does. They are no part of this Drive (their owner's backup holds them): not catalogued,
    // downloaded or counted here.
    std::erase_if(list, [&](const ListRow& l) { return items.count(l.id) == 0; });
    for (const ListRow& l : list) {
        DriveData& d = items[l.id];
        d.strOwner = l.owner;
        d.strMD5 = l.md5;
        d.strModifyTime = l.modifiedTime;
        d.llModifyTime = l.modifyTime;
        d.llSize = l.size;
        d.llCreateTime = now;
        d.llLastBackupTime = now;
        auto p = prev.find(l.id);
        if (p == prev.end()) continue;
        const bool bUnchanged = Is_Unchanged(p->second.strMD5, p->second.llModifyTime, d.strMD5, d.llModifyTime);
        if (!p->second.strLocalID.empty()) d.strLocalID = p->second.strLocalID;
        if (p->second.llCreateTime > 0) d.llCreateTime = p->second.llCreateTime;
        if (bUnchanged && Stored_Copy_Present(store, d.strLocalID, d.llSize, d.strMD5)) {
            need.erase(l.id);
            Mission_Progress_Add(run.progress);
        }
    }
    for (const ListRow& l : list) {
        const std::string parent = items[l.id].strParentDriveID;
        std::string chain = Build_Structure(items, parent, list.size());
        items[l.id].strStructure = std::move(chain);
    }
    for (auto& [id, d] : items) {
        if (d.llCreateTime == 0) d.llCreateTime = now;
        if (d.llLastBackupTime == 0) d.llLastBackupTime = now;
    }

    for (const TreeRow& t : tree) {
        if (need.count(t.id) == 0) continue;
        const DriveData& d = items[t.id];
        int ret = 0, status = 0;
        const DownloadResult dr =
            Download_File(account, t.id, store + "/" + d.strLocalID, d.llSize, d.strMD5, run.strErrPath, ret, status);
        if (dr == DownloadResult::Lost) {
            // Keep what is done: the retry then finds the copies made so far under their rows.
            // Items not yet downloaded keep their old rows; nothing is pruned.
            Drive_Write_DB(Rows_To_Write(items, need, failed), acct, run.strTaskID.c_str());
            return AccountResult::Lost;
        }
        need.erase(t.id);
        if (dr == DownloadResult::Ok) {
            Mission_Progress_Add(run.progress);
            continue;
        }
        failed.insert(t.id);
        if (dr == DownloadResult::CommitFailed)
            Log_Stored(ctx, "FAIL", "info", Format("Failed to commit downloaded Drive file. file_id=%s", t.id.c_str()));
        else
            Log_Stored(ctx, "FAIL", "info",
                       Format("Failed to download Drive file after retries. file_id=%s ret=%d sys_ret=%d",
                              t.id.c_str(), ret, status));
    }

    Log_Progress(ctx, Format("Start writing Drive information to database for user account %s.", acct));
    const int rcWrite = Drive_Write_DB(Rows_To_Write(items, failed, {}), acct, run.strTaskID.c_str());
    if (rcWrite != 0) {
        Log_Stored(ctx, "FAIL", "info",
                   Format("Failed to write Drive information to database for user account %s. ret=%d", acct, rcWrite));
        return AccountResult::FileFailure;
    }
    Log_Progress(ctx, Format("Finished writing Drive information to database for user account %s.", acct));

    if (items.empty() && !prev.empty()) {
        Log_Stored(ctx, "FAIL", "warn",
                   Format("Skip deletion for user account %s: current list is empty (prev=%zu). Possibly incomplete "
                          "listing.",
                          acct, prev.size()));
        return AccountResult::Done;
    }
    std::vector<std::string> gone;
    const auto holds = [&](const std::string& id) { return items.count(id) != 0; };
    for (const auto& [id, p] : prev)
        if (items.count(id) == 0) gone.push_back(id);
    const RunResult cr =
        Confirm_Removals(ctx, kTreeListing, account, prev.size(), holds, gone, [&](std::set<std::string>& ids) {
            std::vector<TreeRow> again;
            const ToolRun r = List_Tree(account, "", run.strErrPath, again);
            for (const TreeRow& t : again) ids.insert(t.id);
            return r;
        });
    if (cr == RunResult::Lost) return AccountResult::Lost;
    for (const std::string& id : gone) {
        const DriveData& p = prev.at(id);
        // A copy that cannot be removed keeps its row, so it is never an orphan.
        if (!p.strLocalID.empty() && unlink((store + "/" + p.strLocalID).c_str()) != 0 && errno != ENOENT) continue;
        Drive_Delete_DB(run.strTaskID.c_str(), acct, id.c_str());
    }
    return AccountResult::Done;
}

}  // namespace

bool Is_NonDownloadable_Drive_MimeType(const std::string& strMime) {
    for (const char* m : kSkipMime)
        if (strMime == m) return true;
    return false;
}

int Backup_Drive(GWSTask* pTask, std::string strMissionPath, const char* pszCurrentLoginUser, sqlite3* sqlDatabase) {
    DriveRun run;
    run.ctx = Make_Log_Ctx(pTask, pszCurrentLoginUser, sqlDatabase);
    run.strTaskID = pTask->Get_Task_ID();
    Log_Progress(run.ctx, "Starting Drive backup process.");
    if (!qlm::Is_Single_Path_Component(run.strTaskID)) return -161;
    const std::string driveDir = qlm::Backup_Service_Dir("drive");
    int fd = -1;
    if (Get_File_Lock((driveDir + "/" + run.strTaskID + ".drive_lck").c_str(), 15000, fd) != 0) {
        Log_Stored(run.ctx, "FAIL", "warn", "Other Drive backup process is running.");
        return -1;
    }
    LockGuard lock(&fd);
    Mission_Progress_Begin(run.progress, strMissionPath, "drive_current");
    run.strErrPath = qlm::Worker_Err_Path();
    UnlinkGuard err = Guard_File(run.strErrPath);

    std::vector<std::string> users;
    if (List_Selected_Users(pTask, run.ctx, run.strErrPath, users) != 0 || Order_Users_By_Usage(users, run.strErrPath) != 0) {
        Log_Stored(run.ctx, "FAIL", "info", "Failed to get user info during Drive backup process.");
        return -1;
    }
    for (const std::string& account : users) {
        const AccountResult ar = Backup_Drive_Account(run, account);
        Mission_Progress_Flush(run.progress);
        if (ar == AccountResult::Lost) return -1;
        if (ar == AccountResult::FileFailure) return -161;
    }
    Log_Progress(run.ctx, "Drive backup process completed.");
    return 0;
}

int Count_Drive(GWSTask* pTask, int64_t* llCount, const char* pszCurrentLoginUser, sqlite3* sqlDatabase) {
    const LogCtx ctx = Make_Log_Ctx(pTask, pszCurrentLoginUser, sqlDatabase);
    Log_Progress(ctx, "Start counting backup Drive items.");
    const std::string errPath = qlm::Worker_Err_Path();
    UnlinkGuard err = Guard_File(errPath);
    std::vector<std::string> users;
    if (List_Selected_Users(pTask, ctx, errPath, users) != 0) {
        Log_Stored(ctx, "FAIL", "info", "Failed to retrieve user information while counting backup Drive items.");
        return -1;
    }
    int64_t sum = 0;
    for (const std::string& account : users) {
        Log_Progress(ctx, Format("Start counting Drive items for %s.", account.c_str()));
        std::vector<TreeRow> tree;
        // One account that cannot be counted only lowers the progress total.
        if (List_Tree(account, "", errPath, tree).result != RunResult::Ok) {
            Log_Stored(ctx, "FAIL", "warn", Format("Failed to count Drive items for %s.", account.c_str()));
            continue;
        }
        Log_Progress(ctx, Format("Finished counting Drive items for %s.", account.c_str()));
        sum += static_cast<int64_t>(tree.size());
    }
    if (llCount != nullptr) *llCount = sum;
    Log_Progress(ctx, "Finished counting backup Drive items.");
    return 0;
}
