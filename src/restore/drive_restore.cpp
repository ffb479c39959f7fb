// The Drive restore: backed-up My Drive trees rebuilt below a dated restore folder of the
// receiving account's My Drive.
#include <unistd.h>

#include <string>
#include <vector>

#include "common/cmdrun.h"
#include "common/csvreader.h"
#include "common/filehelpers.h"
#include "common/guards.h"
#include "common/paths.h"
#include "common/shellquote.h"
#include "common/toolcmd.h"
#include "dbcontrol/drive_db.h"
#include "mission/mission_record.h"
#include "orvenna_task.h"
#include "plat_lock.h"
#include "plat_proc.h"
#include "plat_string.h"
#include "restore/restore_cmd.h"
#include "restore/restore_service.h"
#include "restore/tree_restore.h"

namespace qlm {
namespace {

struct DriveRun {
    RestoreLog log;
    std::string strTaskID, strStamp;
    RestoreState* pState = nullptr;
    int nMode = 1;
};

// The My Drive root of an account, from its file-tree listing: the first row of depth -1. GAM ends
// the tree with a second one, "Orphans" (no folder at all), when the account owns files whose
// folder it cannot see. "" after the failure row when the listing fails or has no such row.
std::string Target_Root_Id(const DriveRun& run, const std::string& source, const std::string& account) {
    UnlinkGuard out = Guard_File(Worker_Listing_Path());
    const std::string line = ShellQuote(Tool_Path("gam")) + " user " + ShellQuote(account) +
                             " print filetree fields id,mimetype,parents noindent excludetrashed >" +
                             ShellQuote(*out) + " 2>/dev/null";
    int status = -1;
    int ret = Prepare_Tool_Output(*out) == 0 ? Execute_Command_Line(status, "%s", line.c_str()) : -161;
    csvx::Document doc;
    std::string root;
    if (ret == 0 && status == 0 && doc.Load(*out, 1, csvx::Backslash::Escape) == 0 && doc.HasColumn("id") && doc.HasColumn("depth")) {
        std::vector<std::string> ids = doc.GetColumn("id"), depths = doc.GetColumn("depth");
        for (size_t i = 0; i < ids.size() && root.empty(); ++i)
            if (depths[i] == "-1") root = ids[i];
    }
    if (root.empty())
        Restore_Row(run.log, "FAIL", "info", source,
                    Restore_Format("Failed to get Drive file tree list during restore. source_user=%s cmd=%s ret=%d "
                                   "sys_ret=%d task_id=%s",
                                   source.c_str(), line.c_str(), ret, status, run.strTaskID.c_str()));
    return root;
}

// One source account into one receiving account: 0 done, 1 passed over (nothing of it backed up or,
// whole domain, its catalog unreadable), else the failure. The key prefix keeps two accounts' items apart
// in the id map of a whole-domain restore, where one Google id can stand in both trees.
int Restore_Account(const DriveRun& run, const std::string& source, const std::string& account, bool bTarget,
                    PT_JSON ptjLocalList) {
    const char* task = run.strTaskID.c_str();
    const std::string prefix = run.nMode == 2 ? source + "/" : "";
    // Listed (or asked for) but never backed up: nothing of it can be restored, now or later.
    if (!Restore_Catalog_Exists("drive_db", run.strTaskID, source)) {
        Restore_Row(run.log, "FAIL", "warn", source,
                    Restore_Format("Skipped Drive restore of an account that has no backup. source_user=%s task_id=%s",
                                   source.c_str(), task));
        return 1;
    }
    RAIIful_Json rows(Json_List_Init());
    if (int rc = Drive_Get_DB_Data(rows.get(), source.c_str(), task)) {
        Restore_Row(run.log, "FAIL", "info", source,
                    Restore_Format(run.nMode == 0
                                       ? "Failed to get Drive backup DB data. user=%s task_id=%s ret=%d"
                                       : "Failed to get Drive backup DB data. source_user=%s task_id=%s ret=%d",
                                   source.c_str(), task, rc));
        return run.nMode == 2 ? 1 : -161;  // a whole-domain restore passes the account over
    }
    RestoreTree tree;
    Build_Restore_Tree(rows.get(), tree);
    rows.reset();

    TreeRestoreOps ops;
    ops.pState = run.pState;
    ops.strKeyPrefix = prefix;
    Seed_From_Resume(ops, tree);

    const RestoreEntry* root = tree.rootPos >= 0 ? &tree.entries[static_cast<size_t>(tree.rootPos)] : nullptr;
    const std::string rootKey = prefix + (root ? root->id : std::string());
    std::string newRoot = Restore_State_Get(*run.pState, rootKey);
    if (newRoot.empty()) {
        const char* stamp = run.strStamp.c_str();
        // "" makes the folder at the top of the account's My Drive. The backed-up root id is never
        // the parent: an account deleted and created again has a new root.
        std::string parent;
        if (run.nMode == 1 && bTarget) {
            parent = Target_Root_Id(run, source, account);
            if (parent.empty()) return -161;
        }
        newRoot = parent.empty() ? Create_Drive_Folder_Without_ParentID(stamp, account.c_str())
                                 : Create_Drive_Folder(account.c_str(), stamp, parent.c_str());
        if (newRoot.empty()) {
            std::string text =
                parent.empty() ? Restore_Format("Failed to create Drive restore folder. restore_account=%s "
                                                "folder_name=%s task_id=%s",
                                                account.c_str(), stamp, task)
                               : Restore_Format("Failed to create Drive restore folder. restore_account=%s "
                                                "folder_name=%s root_drive_id=%s task_id=%s",
                                                account.c_str(), stamp, parent.c_str(), task);
            Restore_Row(run.log, "FAIL", "info", source, text);
            return -161;
        }
        if (int rc = Restore_State_Put(*run.pState, rootKey, newRoot)) return rc;
        Restore_State_Count(*run.pState);
    }
    Set_Restore_Root(tree, newRoot);

    const bool bSpecify = run.nMode == 0;
    const char* target = bTarget ? account.c_str() : nullptr;
    ops.createFolder = [&](const std::string& name, const std::string& parent) {
        return Create_Drive_Folder(account.c_str(), name.c_str(), parent.c_str());
    };
    ops.upload = [&](const RestoreEntry& e, const std::string& parent) {
        return bSpecify ? Upload_Drive_File_Specify(task, source.c_str(), target, e.name.c_str(), e.localid.c_str(),
                                                    parent.c_str(), e.mimeType.c_str())
                        : Upload_Drive_File(task, source.c_str(), e.name.c_str(), e.localid.c_str(), parent.c_str(),
                                            target, e.mimeType.c_str());
    };
    ops.storedCopy = [&](const RestoreEntry& e) { return Drive_Stored_Copy_Path(task, source, e.localid); };
    ops.failRow = [&](const RestoreEntry& e, const std::string& parent, RestorePlace place) {
        const char *a = account.c_str(), *n = e.name.c_str(), *p = parent.c_str(), *l = e.localid.c_str(),
                   *s = source.c_str();
        std::string text;
        switch (place) {
        case RestorePlace::TopFolder:
            text = Restore_Format("Failed to create Drive folder during restore. restore_account=%s folder_name=%s "
                                  "parent_drive_id=%s task_id=%s", a, n, p, task);
            break;
        case RestorePlace::SubFolder:
            text = Restore_Format(bSpecify ? "Failed to create Drive subfolder during restore. restore_account=%s "
                                             "folder_name=%s parent_drive_id=%s task_id=%s"
                                           : "Failed to create Drive folder during restore. restore_account=%s "
                                             "folder_name=%s parent_drive_id=%s task_id=%s",
                                  a, n, p, task);
            break;
        case RestorePlace::File:
            text = run.nMode == 2 ? Restore_Format("Failed to upload Drive file during restore. restore_account=%s "
                                                   "file_name=%s local_id=%s parent_drive_id=%s task_id=%s",
                                                   a, n, l, p, task)
                                  : Restore_Format("Failed to upload Drive file during restore. source_user=%s "
                                                   "restore_account=%s file_name=%s local_id=%s parent_drive_id=%s "
                                                   "task_id=%s",
                                                   s, a, n, l, p, task);
            break;
        case RestorePlace::RootFile:
            text = Restore_Format("Failed to upload Drive root file during restore. source_user=%s restore_account=%s "
                                  "file_name=%s local_id=%s root_drive_id=%s task_id=%s", s, a, n, l, p, task);
            break;
        }
        Restore_Row(run.log, "FAIL", "info", source, text);
    };
    ops.skipRow = [&](const RestoreEntry& e) {
        Restore_Row(run.log, "FAIL", "warn", source,
                    Restore_Format("Skipped Drive item without backed-up content during restore. source_user=%s "
                                   "file_name=%s mime_type=%s task_id=%s",
                                   source.c_str(), e.name.c_str(), e.mimeType.c_str(), task));
    };
    ops.orphanRow = [&](const RestoreEntry& e) {
        Restore_Row(run.log, "FAIL", "warn", source,
                    Restore_Format("Restored Drive item whose folder was not backed up into the restore folder. "
                                   "source_user=%s file_name=%s parent_drive_id=%s task_id=%s",
                                   source.c_str(), e.name.c_str(), e.parent.c_str(), task));
    };
    return Restore_Tree_In_Mode(ops, tree, newRoot, run.nMode, ptjLocalList);
}

}  // namespace
}  // namespace qlm

int Restore_Drive(GWSTask* pTask, const char* pszDomainUserEmail, const char* pszTargetAccount, PT_JSON ptjLocalList,
                  std::string strMissionPath, int nRestoreMode, sqlite3* sqlDatabase) {
    using namespace qlm;
    g_bGwsRestoreConnAbort = false;
    if (pTask == nullptr) return -161;
    DriveRun run;
    run.strTaskID = pTask->Get_Task_ID();
    run.log = RestoreLog{sqlDatabase, run.strTaskID, pTask->Get_Admin_Email()};
    run.nMode = nRestoreMode;
    const std::string source = pszDomainUserEmail ? pszDomainUserEmail : "";
    const bool bTarget = pszTargetAccount != nullptr && pszTargetAccount[0] != '\0';
    const std::string account = bTarget ? pszTargetAccount : source;

    int taskFd = -1;
    if (Get_File_Lock(Drive_Task_Lock_Path(run.strTaskID).c_str(), 15000, taskFd) != 0) return -1;
    LockGuard taskLock(&taskFd);
    int userFd = -1;
    if (nRestoreMode != 2 && Get_File_Lock(Drive_User_Lock_Path(run.strTaskID, source).c_str(), 30000, userFd) != 0)
        return -1;
    LockGuard userLock(&userFd);

    RestoreState state;
    if (int rc = Restore_State_Begin(state, strMissionPath, kKeyDriveCurrent)) return rc;
    run.pState = &state;
    run.strStamp = Restore_Stamp(strMissionPath, kKeyRestoreStampDrive);
    const std::string args = Restore_Format("source_user=%s target_user=%s task_id=%s restore_mode=%d", source.c_str(),
                                            account.c_str(), run.strTaskID.c_str(), nRestoreMode);
    Restore_Row(run.log, "SUCCESS", "info", source, "Start Drive restore process. " + args);

    int rc = 0;
    if (nRestoreMode != 2) {
        rc = Restore_Account(run, source, account, bTarget, ptjLocalList);
        if (rc == 1) rc = 0;
    } else {
        std::vector<std::string> users;
        rc = List_Drive_Backuped_User(run.strTaskID.c_str(), users);
        bool bFailed = false;
        for (size_t i = 0; rc == 0 && i < users.size(); ++i) {
            const std::string& user = users[i];
            int fd = -1;
            if (Get_File_Lock(Drive_User_Lock_Path(run.strTaskID, user).c_str(), 30000, fd) != 0) {
                Restore_Row(run.log, "FAIL", "warn", user,
                            Restore_Format("Skipped Drive restore of an account whose backup is in use. "
                                           "source_user=%s task_id=%s",
                                           user.c_str(), run.strTaskID.c_str()));
                continue;
            }
            LockGuard lock(&fd);
            int one = Restore_Account(run, user, user, false, nullptr);
            if (one == 1) continue;
            if (one == -161 && !g_bGwsRestoreConnAbort) {
                bFailed = true;  // this account's failures have their rows; the others go on
                continue;
            }
            rc = one;
        }
        if (rc == 0 && bFailed) rc = -161;
    }
    Restore_State_Flush(state);
    if (rc != 0) return rc;
    Restore_Row(run.log, "SUCCESS", "info", source, "Finished Drive restore process. " + args);
    return 0;
}
