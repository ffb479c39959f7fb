#include "backup/snapshot_service.h"

#include <sys/stat.h>

#include <cstdio>
#include <vector>

#include "backup/backup_account.h"
#include "common/guards.h"
#include "common/listing_check.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "common/toolcmd.h"
#include "orvenna_task.h"
#include "plat_file.h"
#include "plat_lock.h"
#include "plat_string.h"

using namespace qlm::drivebk;

namespace qlm::snapshot {

namespace {

// The account's store folder, emptied when it exists, else made: nothing is ever kept in it.
int Empty_Store_Folder(const std::string& folder) {
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Remove_Folder_Tree(folder.c_str(), 1);
    return smbbackup::Create_Path(folder.c_str(), 0700);
}

std::string Store_Folder(const Service& svc, const std::string& task, const std::string& account) {
    return qlm::Backup_Service_Dir(svc.folder) + "/" + task + "/" + account;
}

}  // namespace

Listing Run_Listing(const std::string& cmdline, const std::string& errPath,
                    std::initializer_list<const char*> headerColumns, csvx::Backslash bs) {
    Listing l;
    UnlinkGuard out = New_Temp_File();
    bool bOpened = true;
    const ToolRun r = Run_Checked_Listing(cmdline, *out, errPath, true, [&] {
        std::string problem;
        bOpened = l.doc.LoadListing(*out, 0, bs, headerColumns, problem) != -2;
        return problem;
    });
    l.ret = r.ret;
    l.status = r.status;
    l.problem = r.problem;
    if (r.result == RunResult::Lost)
        l.result = ListingResult::Lost;
    else if (r.result == RunResult::Ok)
        l.result = ListingResult::Ok;
    else if (!bOpened)
        l.result = ListingResult::Unreadable;
    return l;
}

Turn Failed_Listing(const Run& run, const Listing& l, const char* what, const std::string& account,
                    const std::string& failRow) {
    if (l.result == ListingResult::Lost) return Turn::Retry;
    Log_Stored(run.ctx, "FAIL", "info",
               l.problem.empty() ? failRow : qlm::listing::Listing_Problem_Text(what, account, l.problem));
    return Turn::Done;
}

bool Needs_Second_Listing(const std::vector<std::pair<std::string, std::string>>& prev,
                          const std::set<std::string>& keys) {
    std::set<std::string> held;
    for (const auto& p : prev) held.insert(p.first);
    size_t dropped = 0;
    for (const std::string& k : held) dropped += keys.count(k) == 0 ? 1 : 0;
    return qlm::listing::Removal_Needs_Second_Listing(held.size(), dropped);
}

std::string Cell(const csvx::Document& doc, int column, size_t row) {
    std::string cell;
    if (column >= 0) doc.GetCell(column, row, cell);
    return cell;
}

int Run_Service(const Service& svc, GWSTask* pTask, const std::string& strMissionPath,
                const char* pszCurrentLoginUser, sqlite3* sqlDatabase, const User_Turn& turn) {
    Run run;
    run.ctx = Make_Log_Ctx(pTask, pszCurrentLoginUser, sqlDatabase);
    run.strTaskID = pTask->Get_Task_ID();
    Log_Progress(run.ctx, Format("Starting %s backup process.", svc.name));
    if (!qlm::Is_Single_Path_Component(run.strTaskID)) return -161;
    const std::string serviceDir = qlm::Backup_Service_Dir(svc.folder);
    int taskFd = -1;
    if (Get_File_Lock((serviceDir + "/" + run.strTaskID + "." + svc.folder + "_lck").c_str(), 15000, taskFd) != 0) {
        Log_Stored(run.ctx, "FAIL", "warn", Format("Other %s backup process is running.", svc.name));
        return -1;
    }
    LockGuard taskLock(&taskFd);
    Mission_Progress_Begin(run.progress, strMissionPath, svc.currentKey);
    run.strErrPath = qlm::Worker_Err_Path();
    UnlinkGuard err = Guard_File(run.strErrPath);

    std::vector<std::string> users;
    if (List_Selected_Users(pTask, run.ctx, run.strErrPath, users) != 0) {
        printf("Fail get domain info cmd. (%d, %d)\n", -1, -1);
        Log_Stored(run.ctx, "FAIL", "info", Format("Failed to get user info during %s backup process.", svc.name));
        return -1;
    }
    for (const std::string& account : users) {
        const char* acct = account.c_str();
        auto skip = [&](const std::string& why) {
            Log_Stored(run.ctx, "FAIL", "info", qlm::Skipped_Account_Text(svc.name, "user account", account, why));
        };
        if (!qlm::Is_Single_Path_Component(account)) {
            skip("the account name cannot name a folder");
            continue;
        }
        int userFd = -1;
        std::string why;
        const std::string lockPath = serviceDir + "/" + run.strTaskID + "/" + account + "." + svc.folder + "_lck";
        const int rcLock = qlm::Take_Account_Lock(lockPath, 30000, userFd, why);
        if (rcLock == qlm::kAccountLockHeld) {
            Log_Stored(run.ctx, "FAIL", "warn",
                       Format("%s backup is already in progress for user account %s.", svc.name, acct));
            continue;
        }
        if (rcLock != 0) {
            skip(why);
            continue;
        }
        LockGuard userLock(&userFd);
        bool bFit = true;
        for (size_t k = 0; k < svc.nCatalogs; ++k)
            bFit = bFit && qlm::catalog::Catalog_Names_Fit(svc.catalogs[k], acct, run.strTaskID.c_str());
        if (!bFit) {
            skip(qlm::kCatalogNamesTooLong);
            continue;
        }
        const std::string store = Store_Folder(svc, run.strTaskID, account);
        if (qlm::Make_Account_Store(store, why) != 0) {
            skip(why);
            continue;
        }
        Remove_Folder_Tree(store.c_str(), 1);  // nothing is ever kept in it
        const Turn t = turn(run, account);
        Mission_Progress_Flush(run.progress);
        if (t == Turn::Retry) return -1;
        if (t == Turn::FileFailure) return -161;
    }
    Log_Progress(run.ctx, Format("%s backup process completed.", svc.name));
    return 0;
}

int Count_Service(const Service& svc, GWSTask* pTask, int64_t* llCount, const char* pszCurrentLoginUser,
                  sqlite3* sqlDatabase, const User_Count& count) {
    const LogCtx ctx = Make_Log_Ctx(pTask, pszCurrentLoginUser, sqlDatabase);
    Log_Progress(ctx, Format("Start counting backup %s.", svc.countNoun));
    const std::string task = pTask->Get_Task_ID();
    const std::string errPath = qlm::Worker_Err_Path();
    UnlinkGuard err = Guard_File(errPath);
    std::vector<std::string> users;
    if (List_Selected_Users(pTask, ctx, errPath, users) != 0) {
        Log_Stored(ctx, "FAIL", "info",
                   Format("Failed to retrieve user information while counting backup %s.", svc.countNoun));
        return -1;
    }
    int64_t sum = 0;
    for (const std::string& account : users) {
        const char* acct = account.c_str();
        // The backup skips such an account with a row of its own.
        if (!qlm::Is_Single_Path_Component(account) || !qlm::Is_Single_Path_Component(task)) continue;
        Empty_Store_Folder(Store_Folder(svc, task, account));
        Log_Progress(ctx, Format("Start counting %s for %s.", svc.countNoun, acct));
        int64_t n = 0;
        // One account that cannot be counted only lowers the progress total.
        if (!count(account, errPath, n)) {
            Log_Stored(ctx, "FAIL", "warn", Format(svc.countFail, acct));
            continue;
        }
        Log_Progress(ctx, Format("Finished counting %s for %s.", svc.countNoun, acct));
        sum += n;
    }
    if (llCount != nullptr) *llCount = sum;
    Log_Progress(ctx, Format("Finished counting backup %s.", svc.countNoun));
    return 0;
}

}  // namespace qlm::snapshot
