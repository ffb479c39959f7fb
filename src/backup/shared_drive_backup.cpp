#include "backup/shared_drive_backup.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "backup/backup_account.h"
#include "backup/drive_backup.h"
#include "backup/drive_backup_common.h"
#include "common/clock.h"
#include "common/guards.h"
#include "common/listing_check.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "common/shellquote.h"
#include "common/toolcmd.h"
#include "dbcontrol/shared_drive_db.h"
#include "orvenna_task.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_lock.h"
#include "plat_string.h"

using namespace qlm::drivebk;

namespace {

enum class DriveResult { Done, Lost, FileFailure };

struct Permission {
    std::string email, name, role, type;
};

struct SharedRun {
    LogCtx ctx;
    std::string strTaskID;
    std::string strErrPath;
    std::string strAdmin;
    MissionProgress progress;
    std::map<std::string, SharedDriveInfo> mapping;  // uuid -> drive, the previous rows included
    std::map<std::string, std::string> idToUUID;
};

std::string Str(PT_JSON o, const char* key) {
    const char* s = nullptr;
    return Json_Dict_Find_Str(o, key, s) == 0 ? std::string(s) : std::string();
}

// The entries of a permission reply's "permissions", in order. The reply is checked whole first:
// a reply cut short, garbled or without its list is a failed query (problem says why), never a
// file without members.
std::string Read_Permissions(const std::string& path, std::vector<Permission>& out) {
    std::string problem;
    RAIIful_Json o(qlm::listing::Load_Json_Listing(path, problem));
    if (!o) return problem;
    PT_JSON list = nullptr;
    if (Json_Dict_Find_List(o.get(), "permissions", list) != 0) return "is unreadable: it holds no permission list";
    for (int i = 0; i < Json_List_Size(list); ++i) {
        PT_JSON p = Json_List_Child(list, i);
        out.push_back({Str(p, "emailAddress"), Str(p, "displayName"), Str(p, "role"), Str(p, "type")});
    }
    return problem;
}

std::string Member_List(const std::vector<Permission>& perms) {
    RAIIful_Json list(Json_List_Init());
    for (const Permission& p : perms) {
        if (p.email.empty()) continue;
        PT_JSON o = Json_Dict_Init();
        Json_Dict_Add_Str(o, "name", p.name.c_str());
        Json_Dict_Add_Str(o, "email", p.email.c_str());
        Json_Dict_Add_Str(o, "role", p.role.c_str());
        Json_List_Add_Dict(list.get(), o);
    }
    return Json_To_Plain_String(list.get());
}

// The members GAM can act as, users first: a group or domain entry has no address to act as.
std::vector<std::string> Acting_Members(const std::vector<Permission>& perms) {
    std::vector<std::string> users, others;
    for (const Permission& p : perms) {
        if (p.email.empty()) continue;
        (p.type.empty() || p.type == "user" ? users : others).push_back(p.email);
    }
    users.insert(users.end(), others.begin(), others.end());
    return users;
}

ToolRun Query_Permissions(const std::string& actAs, const std::string& id, bool bAdmin, const std::string& errPath,
                          std::vector<Permission>& perms) {
    UnlinkGuard out = New_Temp_File();
    const std::string line = qlm::ShellQuote(qlm::Tool_Path("gam")) + " user " + qlm::ShellQuote(actAs) + " show drivefileacls " +
                             qlm::ShellQuote(id) + (bAdmin ? " adminaccess" : "") + " formatjson";
    return Run_Checked_Listing(line, *out, errPath, false, [&] {
        perms.clear();
        return Read_Permissions(*out, perms);
    });
}

int Save_Mapping(SharedRun& run) {
    const int rc = SharedDrive_Write_Mapping_UUID_To_DB(run.mapping, run.strTaskID.c_str());
    if (rc != 0)
        Log_Stored(run.ctx, "FAIL", "info",
                   Format("Failed to write Shared Drive UUID mapping information to database. ret=%d", rc));
    return rc;
}

DriveResult Backup_One_Shared_Drive(SharedRun& run, const SharedDriveEntry& sd) {
    const LogCtx& ctx = run.ctx;
    const char* name = sd.name.c_str();
    if (!qlm::Is_Single_Path_Component(sd.id)) {
        Log_Stored(ctx, "FAIL", "warn",
                   qlm::Skipped_Account_Text("Shared Drive", "shared drive", sd.name, "its id cannot name a file"));
        return DriveResult::Done;
    }
    const std::string sdDir = qlm::Backup_Service_Dir("shared_drive");
    int fd = -1;
    std::string why;
    const int rcLock =
        qlm::Take_Account_Lock(sdDir + "/" + run.strTaskID + "/" + sd.id + ".shared_drive_lck", 0, fd, why);
    if (rcLock == qlm::kAccountLockHeld) {
        Log_Stored(ctx, "FAIL", "info", Format("Shared Drive backup is already in progress for shared drive %s.", name));
        return DriveResult::Done;
    }
    if (rcLock != 0) {
        Log_Stored(ctx, "FAIL", "info", qlm::Skipped_Account_Text("Shared Drive", "shared drive", sd.name, why));
        return DriveResult::Done;
    }
    LockGuard lock(&fd);

    std::string uuid;
    auto known = run.idToUUID.find(sd.id);
    if (known != run.idToUUID.end() && !known->second.empty()) {
        uuid = known->second;
        run.mapping[uuid] = SharedDriveInfo{sd.id, sd.name};
    } else {
        // Saved before anything is stored under it, so a retry or a later run finds the same folder.
        uuid = smbbackup::Create_New_ID();
        run.mapping[uuid] = SharedDriveInfo{sd.id, sd.name};
        if (Save_Mapping(run) != 0) {
            run.mapping.erase(uuid);
            return DriveResult::FileFailure;
        }
        run.idToUUID[sd.id] = uuid;
    }
    const std::string store = sdDir + "/" + run.strTaskID + "/" + uuid;
    if (qlm::Make_Account_Store(store, why) != 0) {
        Log_Stored(ctx, "FAIL", "info", qlm::Skipped_Account_Text("Shared Drive", "shared drive", sd.name, why));
        return DriveResult::Done;
    }
    Remove_Stale_Downloads(store);

    std::map<std::string, SharedDriveData> prev;
    const int rcRead = Shared_Drive_Read_DB(prev, uuid.c_str(), run.strTaskID.c_str());
    if (rcRead != 0) {
        // Skipped, not retried, as a Drive account whose catalog cannot be read.
        Log_Stored(ctx, "FAIL", "info",
                   Format("Failed to read Shared Drive catalog for shared drive %s. ret=%d", name, rcRead));
        return DriveResult::Done;
    }
    // Before the listings, so a pass whose listing fails leaves no file without its row either.
    Remove_Files_Without_Rows(store, prev);

    std::vector<Permission> admin;
    ToolRun r = Query_Permissions(run.strAdmin, sd.id, true, run.strErrPath, admin);
    if (r.result == RunResult::Lost) return DriveResult::Lost;
    if (r.result != RunResult::Ok) {
        // Skipped, not retried: one drive the administrator cannot read must not hold the run
        // (and every service after this one) through the retries.
        Log_Stored(ctx, "FAIL", "info",
                   r.problem.empty()
                       ? Format("Failed to get Shared Drive permission list for shared drive %s. ret=%d sys_ret=%d",
                                name, r.ret, r.status)
                       : qlm::listing::Listing_Problem_Text("Shared Drive permission listing", sd.name, r.problem));
        return DriveResult::Done;
    }
    const std::vector<std::string> members = Acting_Members(admin);
    if (members.empty()) return DriveResult::Done;  // a whole reply without members: nobody to list it as

    // Listed as the first member whose listings succeed. A drive that no member can list is
    // skipped like a Drive account whose listing fails, with each member's reason: a drive whose
    // listing always fails must not hold the whole task through the retries.
    std::vector<ListRow> list;
    std::vector<TreeRow> tree;
    std::string member;
    std::vector<std::string> reasons;
    for (const std::string& m : members) {
        list.clear();
        tree.clear();
        const char* what = "file listing";
        r = List_Files(m, sd.id, run.strErrPath, list);
        if (r.result == RunResult::Ok) {
            what = "file tree listing";
            r = List_Tree(m, sd.id, run.strErrPath, tree);
        }
        if (r.result == RunResult::Lost) return DriveResult::Lost;
        if (r.result == RunResult::Ok) {
            member = m;
            break;
        }
        reasons.push_back(m + ": its " + what + " " +
                          (r.problem.empty() ? Format("failed (ret=%d sys_ret=%d)", r.ret, r.status) : r.problem));
    }
    if (member.empty()) {
        std::string row = Format("Failed to retrieve Shared Drive item list for shared drive %s. Listed as ", name);
        for (size_t i = 0; i < reasons.size(); ++i) row += (i ? "; " : "") + reasons[i];
        Log_Stored(ctx, "FAIL", "info", row + ".");
        return DriveResult::Done;
    }
    // Every file of a shared drive is in its tree; a file-list row the tree lacks (a file added
    // between the two listings) waits for the next run, as in a Drive account. Taken now, it would
    // be catalogued without its place and its stored copy.
    {
        std::set<std::string> inTree;
        for (const TreeRow& t : tree) inTree.insert(t.id);
        std::erase_if(list, [&](const ListRow& l) { return inTree.count(l.id) == 0; });
    }


    std::map<std::string, const ListRow*> listed;
    for (const ListRow& l : list) listed[l.id] = &l;
    const long long now = qlm::Now();
    std::map<std::string, SharedDriveData> items;
    std::set<std::string> need, failed;
    for (const TreeRow& t : tree) {
        auto lp = listed.find(t.id);
        const std::string md5 = lp != listed.end() ? lp->second->md5 : std::string();
        const long long mtime = lp != listed.end() ? lp->second->modifyTime : 0;
        auto p = prev.find(t.id);
        const bool bReuseACL = t.mimeType != kFolderMime && p != prev.end() &&
                               Is_Unchanged(p->second.strMD5, p->second.llModifyTime, md5, mtime);
        SharedDriveData d;
        // GAM names a shared drive's top row "SharedDrives/<name>": the root keeps the drive's own
        // name, which every item's path and every download starts with.
        d.strName = t.id == sd.id ? sd.name : t.name;
        d.strMimeType = t.mimeType;
        d.strParentDriveID = t.parents;
        d.llIndex = t.index;
        d.llDepth = t.depth;
        if (Is_Downloadable(t.mimeType)) {
            d.strLocalID = (p != prev.end() && !p->second.strLocalID.empty()) ? p->second.strLocalID
                                                                              : smbbackup::Create_New_ID();
            need.insert(t.id);
        }
        if (bReuseACL) {
            d.strMember = p->second.strMember;
        } else {
            Log_Progress(ctx, Format("Start getting Shared Drive file ACL info for file Name %s (%s).", t.name.c_str(),
                                     t.id.c_str()));
            std::vector<Permission> perms;
            r = Query_Permissions(member, t.id, false, run.strErrPath, perms);
            if (r.result == RunResult::Lost) return DriveResult::Lost;
            if (r.result != RunResult::Ok) {
                Log_Stored(ctx, "FAIL", "info",
                           Format("Failed to get Shared Drive file ACL info for file Name %s (%s). ret=%d sys_ret=%d",
                                  t.name.c_str(), t.id.c_str(), r.ret, r.status) +
                               (r.problem.empty() ? std::string() : " The reply " + r.problem + "."));
                // A failed query tells nothing: a catalogued item keeps the members it had.
                d.strMember = p != prev.end() ? p->second.strMember : Member_List({});
            } else {
                Log_Progress(ctx, Format("Finished getting Shared Drive file ACL info for file Name %s (%s).",
                                         t.name.c_str(), t.id.c_str()));
                d.strMember = Member_List(perms);
            }
        }
        d.llCreateTime = (p != prev.end() && p->second.llCreateTime >= 1) ? p->second.llCreateTime : now;
        d.llLastBackupTime = now;
        items[t.id] = std::move(d);
    }
    for (const ListRow& l : list) {
        SharedDriveData& d = items[l.id];
        d.strMD5 = l.md5;
        d.strModifyTime = l.modifiedTime;
        d.llModifyTime = l.modifyTime;
        d.llSize = l.size;
        auto p = prev.find(l.id);
        if (p != prev.end() && Is_Unchanged(p->second.strMD5, p->second.llModifyTime, d.strMD5, d.llModifyTime) &&
            Stored_Copy_Present(store, d.strLocalID, d.llSize, d.strMD5))
            need.erase(l.id);
    }
    for (const ListRow& l : list) {
        const std::string parent = items[l.id].strParentDriveID;
        std::string chain = Build_Structure(items, parent, list.size());
        items[l.id].strStructure = std::move(chain);
    }
    for (auto& [id, d] : items) {
        if (d.llCreateTime == 0) {
            auto p = prev.find(id);
            d.llCreateTime = (p != prev.end() && p->second.llCreateTime >= 1) ? p->second.llCreateTime : now;
        }
        if (d.llLastBackupTime == 0) d.llLastBackupTime = now;
    }

    for (const TreeRow& t : tree) {
        if (!Is_Downloadable(t.mimeType)) continue;
        if (need.count(t.id) == 0) {
            Mission_Progress_Add(run.progress);
            continue;
        }
        const SharedDriveData& d = items[t.id];
        int ret = 0, status = 0;
        bool bDone = false;
        for (const std::string& m : members) {
            const DownloadResult dr =
                Download_File(m, t.id, store + "/" + d.strLocalID, d.llSize, d.strMD5, run.strErrPath, ret, status);
            if (dr == DownloadResult::Lost) {
                // Keep what is done; items not yet downloaded keep their old rows; nothing is pruned.
                Shared_Drive_Write_DB(Rows_To_Write(items, need, failed), uuid.c_str(), run.strTaskID.c_str());
                return DriveResult::Lost;
            }
            if (dr == DownloadResult::Ok) {
                bDone = true;
                break;
            }
        }
        need.erase(t.id);
        if (bDone) {
            Mission_Progress_Add(run.progress);
            continue;
        }
        failed.insert(t.id);
        Log_Stored(ctx, "FAIL", "info",
                   Format("Fail download after all member retries. file_id=%s (%d, %d)", t.id.c_str(), ret, status));
    }

    Log_Progress(ctx, Format("Start writing Shared Drive information to database for shared drive %s.", uuid.c_str()));
    const int rcWrite = Shared_Drive_Write_DB(Rows_To_Write(items, failed, {}), uuid.c_str(), run.strTaskID.c_str());
    if (rcWrite != 0) {
        Log_Stored(ctx, "FAIL", "info",
                   Format("Failed to write Shared Drive information to database for shared drive %s. ret=%d",
                          uuid.c_str(), rcWrite));
        return DriveResult::FileFailure;
    }
    Log_Progress(ctx, Format("Finished writing Shared Drive information to database for shared drive %s.", uuid.c_str()));

    if (list.empty() && !prev.empty()) {
        Log_Stored(ctx, "FAIL", "warn",
                   Format("Skip deletion for shared drive %s: current listing empty but previous backup not empty.",
                          name));
        return DriveResult::Done;
    }
    // Against everything listed now (tree, file list and ancestors), so rows only the tree
    // carries, such as the drive's own root row, stay.
    std::vector<std::string> gone;
    const auto holds = [&](const std::string& id) { return items.count(id) != 0; };
    for (const auto& [id, p] : prev)
        if (items.count(id) == 0) gone.push_back(id);
    const RunResult cr = Confirm_Removals(ctx, "Shared Drive file tree listing", sd.name, prev.size(), holds, gone,
                                          [&](std::set<std::string>& ids) {
                                              std::vector<TreeRow> again;
                                              const ToolRun tr = List_Tree(member, sd.id, run.strErrPath, again);
                                              for (const TreeRow& t : again) ids.insert(t.id);
                                              return tr;
                                          });
    if (cr == RunResult::Lost) return DriveResult::Lost;
    for (const std::string& id : gone) {
        const SharedDriveData& p = prev.at(id);
        if (!p.strLocalID.empty() && unlink((store + "/" + p.strLocalID).c_str()) != 0 && errno != ENOENT) continue;
        Shared_Drive_Delete_DB(run.strTaskID.c_str(), uuid.c_str(), id.c_str());
    }
    return DriveResult::Done;
}

// The previous mapping rows, uuid -> drive; the names come from the rows' full form.
int Load_Mapping(SharedRun& run) {
    const int rc = Shared_Drive_Read_Mapping_UUID_DB(run.idToUUID, run.strTaskID.c_str());
    if (rc != 0) return rc;
    if (run.idToUUID.empty()) return 0;
    RAIIful_Json rows(Json_List_Init());
    if (Shared_Drive_Get_Mapping_UUID_DB_Data(rows.get(), run.strTaskID.c_str()) == 0) {
        for (int i = 0; i < Json_List_Size(rows.get()); ++i) {
            PT_JSON row = Json_List_Child(rows.get(), i);
            const std::string uuid = Str(row, "shared_drive_uuid");
            if (!uuid.empty()) run.mapping[uuid] = SharedDriveInfo{Str(row, "shared_drive_id"), Str(row, "shared_drive_name")};
        }
    }
    for (const auto& [id, uuid] : run.idToUUID)
        if (run.mapping.count(uuid) == 0) run.mapping[uuid] = SharedDriveInfo{id, ""};
    return 0;
}

}  // namespace

int Backup_Shared_Drive(GWSTask* pTask, std::string strMissionPath, const char* pszCurrentLoginUser,
                        sqlite3* sqlDatabase) {
    SharedRun run;
    run.ctx = Make_Log_Ctx(pTask, pszCurrentLoginUser, sqlDatabase);
    run.strTaskID = pTask->Get_Task_ID();
    run.strAdmin = pTask->Get_Admin_Email();
    Log_Progress(run.ctx, "Starting Shared Drive backup process.");
    if (!qlm::Is_Single_Path_Component(run.strTaskID)) return -161;
    const std::string sdDir = qlm::Backup_Service_Dir("shared_drive");
    int fd = -1;
    if (Get_File_Lock((sdDir + "/" + run.strTaskID + ".shared_drive_lck").c_str(), 0, fd) != 0) {
        Log_Stored(run.ctx, "FAIL", "info", "Other Shared Drive backup process is running.");
        return -1;
    }
    LockGuard lock(&fd);
    Mission_Progress_Begin(run.progress, strMissionPath, "shared_drive_current");
    run.strErrPath = qlm::Worker_Err_Path();
    UnlinkGuard err = Guard_File(run.strErrPath);

    smbbackup::Create_Path((qlm::Backup_Service_Dir("shared_drive_db") + "/" + run.strTaskID).c_str(), 0700);
    std::vector<SharedDriveEntry> drives;
    if (List_Selected_Shared_Drives(pTask, run.ctx, run.strErrPath, drives) != 0) {
        Log_Stored(run.ctx, "FAIL", "info", "Failed to get shared drive info during Shared Drive backup process.");
        return -1;
    }
    // An unreadable mapping is never taken for an empty one: every drive would get a new uuid.
    const int rcMap = Load_Mapping(run);
    if (rcMap != 0) {
        Log_Stored(run.ctx, "FAIL", "info",
                   Format("Failed to read Shared Drive UUID mapping information from database. ret=%d", rcMap));
        return -161;
    }
    smbbackup::Create_Path((sdDir + "/" + run.strTaskID).c_str(), 0700);

    for (const SharedDriveEntry& sd : drives) {
        const DriveResult dr = Backup_One_Shared_Drive(run, sd);
        Mission_Progress_Flush(run.progress);
        if (dr == DriveResult::Lost) return -1;
        if (dr == DriveResult::FileFailure) return -161;
    }
    Log_Progress(run.ctx, "Start writing Shared Drive UUID mapping information to database.");
    if (Save_Mapping(run) == 0)
        Log_Progress(run.ctx, "Finished writing Shared Drive UUID mapping information to database.");
    Log_Progress(run.ctx, "Shared Drive backup process completed.");
    return 0;
}

int Count_Shared_Drive(GWSTask* pTask, int64_t* llCounter, const char* pszCurrentLoginUser, sqlite3* sqlDatabase) {
    const LogCtx ctx = Make_Log_Ctx(pTask, pszCurrentLoginUser, sqlDatabase);
    Log_Progress(ctx, "Start counting backup Shared Drive items.");
    const std::string errPath = qlm::Worker_Err_Path();
    UnlinkGuard err = Guard_File(errPath);
    std::vector<SharedDriveEntry> drives;
    if (List_Selected_Shared_Drives(pTask, ctx, errPath, drives) != 0) {
        Log_Stored(ctx, "FAIL", "info", "Failed to retrieve user information while counting backup Shared Drive items.");
        return -1;
    }
    int64_t sum = 0;
    for (const SharedDriveEntry& sd : drives) {
        std::vector<Permission> admin;
        if (Query_Permissions(pTask->Get_Admin_Email(), sd.id, true, errPath, admin).result != RunResult::Ok) {
            Log_Stored(ctx, "FAIL", "warn", Format("Failed to count Shared Drive items for %s.", sd.name.c_str()));
            continue;
        }
        const std::vector<std::string> members = Acting_Members(admin);
        if (members.empty()) continue;
        Log_Progress(ctx, Format("Start counting Shared Drive items for %s.", sd.name.c_str()));
        std::vector<TreeRow> tree;
        if (List_Tree(members.front(), sd.id, errPath, tree).result != RunResult::Ok) {
            Log_Stored(ctx, "FAIL", "warn", Format("Failed to count Shared Drive items for %s.", sd.name.c_str()));
            continue;
        }
        Log_Progress(ctx, Format("Finished counting Shared Drive items for %s.", sd.name.c_str()));
        sum += static_cast<int64_t>(tree.size());
    }
    if (llCounter != nullptr) *llCounter = sum;
    Log_Progress(ctx, "Finished counting backup Shared Drive items.");
    return 0;
}
