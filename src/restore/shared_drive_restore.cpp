// The Shared Drive restore: backed-up shared-drive trees rebuilt below a dated restore folder at
// the top of the receiving shared drive, acting as a domain user who may write there (an owner).
#include <string>
#include <vector>

#include "appgenerallib/keystore.h"
#include "common/atomicfile.h"
#include "common/guards.h"
#include "common/reqcheck.h"
#include "common/toolcmd.h"
#include "dbcontrol/shared_drive_db.h"
#include "mission/mission_record.h"
#include "orvenna_task.h"
#include "plat_lock.h"
#include "restore/restore_cmd.h"
#include "restore/restore_service.h"
#include "restore/tree_restore.h"

namespace qlm {
namespace {

struct SharedRun {
    RestoreLog log;
    std::string strTaskID, strStamp;
    RestoreState* pState = nullptr;
    std::vector<std::string> owners;
    int nMode = 1;
};

// The owners, in the order of the task's cached domain-user listing; entries without a usable
// "Email" are passed over. A task whose listing was never cached (or whose cache cannot be read)
// gets the listing now, from the same call the listing action makes.
std::vector<std::string> Read_Owners(const std::string& strTaskID, const char* pszAdminEmail) {
    std::vector<std::string> owners;
    RAIIful_Json cache(Json_Read_Object_File(Task_Listing_Cache_Dir(strTaskID) + "/domain_user"));
    PT_JSON list = nullptr;
    if (!cache || Json_Dict_Find_List(cache.get(), "user_list", list) != 0) {
        UnlinkGuard out = Guard_File(Worker_Listing_Path());
        cache.reset();
        if (Prepare_Tool_Output(*out) == 0 && Run_Scoutix("-info", Gam_Process_Key_Path(), pszAdminEmail, *out) == 0)
            cache.reset(Json_Read_Object_File(*out));
        if (!cache || Json_Dict_Find_List(cache.get(), "user_list", list) != 0) return owners;
    }
    for (int i = 0, n = Json_List_Size(list); i < n; ++i) {
        const char* email = nullptr;
        if (Json_Dict_Find_Str(Json_List_Child(list, i), "Email", email) == 0 && Is_Single_Path_Component(email) &&
            std::string(email).find('@') != std::string::npos)
            owners.push_back(email);
    }
    return owners;
}

// The root value "<folder id>|<owner index>"; a value without a bar is owner 0.
void Parse_Root_Value(const std::string& value, std::string& folder, long& owner) {
    size_t bar = value.find('|');
    folder = value.substr(0, bar);
    owner = 0;
    if (bar == std::string::npos) return;
    const std::string digits = value.substr(bar + 1);
    char* end = nullptr;
    long n = strtol(digits.c_str(), &end, 10);
    owner = !digits.empty() && *end == '\0' && n >= 0 ? n : -1;
}

// 0 done; 1 passed over (never backed up, or mode 2: no owner could make its restore folder); else
// the failure.
int Restore_One_Drive(SharedRun& run, const std::string& uuid, const std::string& receiving, PT_JSON ptjLocalList) {
    const char* task = run.strTaskID.c_str();
    if (!Restore_Catalog_Exists("shared_drive_db", run.strTaskID, uuid)) {
        Restore_Row(run.log, "FAIL", "warn", uuid,
                    Restore_Format("Skipped Shared Drive restore of a shared drive that has no backup. "
                                   "shared_drive_uuid=%s task_id=%s", uuid.c_str(), task));
        return 1;
    }
    RAIIful_Json rows(Json_List_Init());
    if (int rc = Shared_Drive_Get_DB_Data(rows.get(), uuid.c_str(), task)) {
        Restore_Row(run.log, "FAIL", "info", uuid,
                    Restore_Format("Failed to get Shared Drive backup DB data. shared_drive_uuid=%s task_id=%s ret=%d",
                                   uuid.c_str(), task, rc));
        return -161;
    }
    RestoreTree tree;
    Build_Restore_Tree(rows.get(), tree);
    rows.reset();
    TreeRestoreOps ops;
    ops.pState = run.pState;
    Seed_From_Resume(ops, tree);

    const RestoreEntry* root = tree.rootPos >= 0 ? &tree.entries[static_cast<size_t>(tree.rootPos)] : nullptr;
    const std::string rootKey = root ? root->id : uuid + "/";
    std::string newRoot;
    long owner = -1;
    bool bCheckOwner = false;  // an owner taken from an earlier attempt may have lost its access since
    if (Restore_State_Has(*run.pState, rootKey)) {
        Parse_Root_Value(Restore_State_Get(*run.pState, rootKey), newRoot, owner);
        bCheckOwner = true;
        if (owner >= static_cast<long>(run.owners.size())) owner = -1;
    }
    const char* stamp = run.strStamp.c_str();
    for (size_t x = 0; newRoot.empty() && x < run.owners.size(); ++x) {
        std::string id = Create_Shared_Drive_Folder(run.owners[x].c_str(), stamp, receiving.c_str());
        if (g_bGwsRestoreConnAbort) return -161;
        if (id.empty()) {
            Restore_Row(run.log, "FAIL", "info", run.owners[x],
                        Restore_Format("Failed to create Shared Drive root folder during restore. owner_user=%s "
                                       "folder_name=%s shared_drive_id=%s task_id=%s",
                                       run.owners[x].c_str(), stamp, receiving.c_str(), task));
            continue;
        }
        newRoot = id;
        owner = static_cast<long>(x);
        if (int rc = Restore_State_Put(*run.pState, rootKey, id + "|" + std::to_string(x))) return rc;
        Restore_State_Count(*run.pState);
    }
    if (newRoot.empty()) {
        if (run.nMode == 2) {
            Restore_Row(run.log, "FAIL", "warn", uuid,
                        Restore_Format("All owners failed to create root folder, skip shared drive. "
                                       "shared_drive_uuid=%s", uuid.c_str()));
            return 1;
        }
        Restore_Row(run.log, "FAIL", "warn", uuid,
                    Restore_Format("All owners failed to create root folder. shared_drive_uuid=%s restore_mode=%d",
                                   uuid.c_str(), run.nMode));
        return -161;
    }
    Set_Restore_Root(tree, newRoot);

    // Every command acts as the owner. When the owner of an earlier attempt fails its first
    // command (or is no longer listed), the others are tried for it, as for the restore folder,
    // and the first that succeeds acts from then on.
    auto act = [&](const std::function<bool(const std::string&)>& fn) -> bool {
        if (owner >= 0 && fn(run.owners[static_cast<size_t>(owner)])) {
            bCheckOwner = false;
            return true;
        }
        if (!bCheckOwner || g_bGwsRestoreConnAbort) return false;
        bCheckOwner = false;
        for (size_t x = 0; x < run.owners.size(); ++x) {
            if (static_cast<long>(x) == owner) continue;
            if (fn(run.owners[x])) {
                owner = static_cast<long>(x);
                Restore_State_Put(*run.pState, rootKey, newRoot + "|" + std::to_string(x));
                return true;
            }
            if (g_bGwsRestoreConnAbort) return false;
        }
        return false;
    };
    auto ownerName = [&]() { return owner >= 0 ? run.owners[static_cast<size_t>(owner)] : std::string(); };
    ops.createFolder = [&](const std::string& name, const std::string& parent) {
        std::string id;
        act([&](const std::string& o) {
            id = Create_Shared_Drive_Folder(o.c_str(), name.c_str(), parent.c_str());
            return !id.empty();
        });
        return id;
    };
    ops.upload = [&](const RestoreEntry& e, const std::string& parent) {
        return act([&](const std::string& o) {
                   return Upload_Shared_Drive_File(task, o.c_str(), uuid.c_str(), e.name.c_str(), e.localid.c_str(),
                                                   parent.c_str(), e.mimeType.c_str()) == 0;
               })
                   ? 0
                   : -161;
    };
    ops.storedCopy = [&](const RestoreEntry& e) { return Shared_Drive_Stored_Copy_Path(task, uuid, e.localid); };
    ops.failRow = [&](const RestoreEntry& e, const std::string& parent, RestorePlace place) {
        const std::string o = ownerName();
        const char *on = o.c_str(), *n = e.name.c_str(), *p = parent.c_str(), *l = e.localid.c_str(),
                   *u = uuid.c_str();
        std::string text;
        switch (place) {
        case RestorePlace::TopFolder:
            text = Restore_Format("Failed to create Shared Drive folder during restore. owner_user=%s folder_name=%s "
                                  "parent_drive_id=%s task_id=%s", on, n, p, task);
            break;
        case RestorePlace::SubFolder:
            text = Restore_Format(run.nMode == 0 ? "Failed to create Shared Drive subfolder during restore. "
                                                   "owner_user=%s folder_name=%s parent_drive_id=%s task_id=%s"
                                                 : "Failed to create Shared Drive folder during restore. "
                                                   "owner_user=%s folder_name=%s parent_drive_id=%s task_id=%s",
                                  on, n, p, task);
            break;
        case RestorePlace::File:
            text = Restore_Format("Failed to upload Shared Drive file during restore. owner_user=%s "
                                  "shared_drive_uuid=%s file_name=%s local_id=%s parent_drive_id=%s task_id=%s",
                                  on, u, n, l, p, task);
            break;
        case RestorePlace::RootFile:
            text = Restore_Format("Failed to upload Shared Drive root file during restore. owner_user=%s "
                                  "shared_drive_uuid=%s file_name=%s local_id=%s root_drive_id=%s task_id=%s",
                                  on, u, n, l, p, task);
            break;
        }
        Restore_Row(run.log, "FAIL", "info", o, text);
    };
    ops.skipRow = [&](const RestoreEntry& e) {
        Restore_Row(run.log, "FAIL", "warn", uuid,
                    Restore_Format("Skipped Shared Drive item without backed-up content during restore. "
                                   "shared_drive_uuid=%s file_name=%s mime_type=%s task_id=%s",
                                   uuid.c_str(), e.name.c_str(), e.mimeType.c_str(), task));
    };
    ops.orphanRow = [&](const RestoreEntry& e) {
        Restore_Row(run.log, "FAIL", "warn", uuid,
                    Restore_Format("Restored Shared Drive item whose folder was not backed up into the restore "
                                   "folder. shared_drive_uuid=%s file_name=%s parent_drive_id=%s task_id=%s",
                                   uuid.c_str(), e.name.c_str(), e.parent.c_str(), task));
    };
    return Restore_Tree_In_Mode(ops, tree, newRoot, run.nMode, ptjLocalList);
}

}  // namespace
}  // namespace qlm

int Restore_Shared_Drive(GWSTask* pTask, const char* pszSharedDriveUUID, const char* pszTargetSharedDriveID,
                         PT_JSON ptjLocalList, std::string strMissionPath, int nRestoreMode, sqlite3* sqlDatabase) {
    using namespace qlm;
    g_bGwsRestoreConnAbort = false;
    if (pTask == nullptr) return -161;
    SharedRun run;
    run.strTaskID = pTask->Get_Task_ID();
    run.log = RestoreLog{sqlDatabase, run.strTaskID, pTask->Get_Admin_Email()};
    run.nMode = nRestoreMode;
    const std::string uuid = pszSharedDriveUUID ? pszSharedDriveUUID : "";
    const bool bTarget = pszTargetSharedDriveID != nullptr && pszTargetSharedDriveID[0] != '\0';

    int fd = -1;
    if (Get_File_Lock(Shared_Drive_Task_Lock_Path(run.strTaskID).c_str(), 0, fd) != 0) return -1;
    LockGuard lock(&fd);
    RestoreState state;
    if (int rc = Restore_State_Begin(state, strMissionPath, kKeySharedDriveCurrent)) return rc;
    run.pState = &state;
    const std::string args =
        Restore_Format("source_shared_drive_uuid=%s target_shared_drive_id=%s task_id=%s restore_mode=%d", uuid.c_str(),
                       bTarget ? pszTargetSharedDriveID : uuid.c_str(), run.strTaskID.c_str(), nRestoreMode);
    Restore_Row(run.log, "SUCCESS", "info", uuid, "Start Shared Drive restore process. " + args);
    run.owners = Read_Owners(run.strTaskID, pTask->Get_Admin_Email());
    if (run.owners.empty()) {
        Restore_Row(run.log, "FAIL", "warn", uuid,
                    Restore_Format("No domain user available for Shared Drive restore. shared_drive_uuid=%s "
                                   "task_id=%s restore_mode=%d",
                                   uuid.c_str(), run.strTaskID.c_str(), nRestoreMode));
        return -161;
    }
    run.strStamp = Restore_Stamp(strMissionPath, kKeyRestoreStampSharedDrive);

    RAIIful_Json mapping(Json_List_Init());
    if (Shared_Drive_Get_Mapping_UUID_DB_Data(mapping.get(), run.strTaskID.c_str()) != 0)
        mapping.reset(Json_List_Init());  // a mapping that cannot be read restores nothing
    int rc = 0;
    bool bFailed = false;
    for (int i = 0, n = Json_List_Size(mapping.get()); rc == 0 && i < n; ++i) {
        PT_JSON row = Json_List_Child(mapping.get(), i);
        const char *rowUUID = nullptr, *googleID = nullptr;
        if (Json_Dict_Find_Str(row, "shared_drive_uuid", rowUUID) != 0 ||
            Json_Dict_Find_Str(row, "shared_drive_id", googleID) != 0)
            continue;
        if (nRestoreMode != 2 && uuid != rowUUID) continue;
        const std::string receiving = nRestoreMode != 2 && bTarget ? pszTargetSharedDriveID : googleID;
        int one = Restore_One_Drive(run, rowUUID, receiving, ptjLocalList);
        if (one == 1) continue;
        if (one == -161 && nRestoreMode == 2 && !g_bGwsRestoreConnAbort) {
            bFailed = true;  // this drive's failures have their rows; the others go on
            continue;
        }
        rc = one;
    }
    if (rc == 0 && bFailed) rc = -161;
    Restore_State_Flush(state);
    if (rc != 0) return rc;
    Restore_Row(run.log, "SUCCESS", "info", uuid, "Finished Shared Drive restore process. " + args);
    return 0;
}
