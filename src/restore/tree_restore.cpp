#include "restore/tree_restore.h"

#include <sys/stat.h>

#include "restore/restore_cmd.h"

namespace qlm {

namespace {

// One walk's working state: the folders that failed in it, whose contents wait.
struct Walk {
    TreeRestoreOps& ops;
    RestoreTree& tree;
    std::string newRoot;
    std::set<std::string> failedFolders;
    bool bFailed = false;
};

bool Is_Regular_File(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Outcome of one item: 0 done, found done, passed over or failed (bFailed set); otherwise the
// error that ends the walk.
int Do_Entry(Walk& w, RestoreEntry& e, std::string parent, RestorePlace place) {
    TreeRestoreOps& ops = w.ops;
    const std::string key = ops.strKeyPrefix + e.id;
    if (e.Is_Folder() && Restore_State_Has(*ops.pState, key)) {
        e.strRestoreDriveID = Restore_State_Get(*ops.pState, key);
        return 0;
    }
    if (!e.Is_Folder() && Restore_State_Has(*ops.pState, key)) return 0;
    if (w.failedFolders.count(e.parent) != 0) {  // its folder is made by a later attempt
        if (e.Is_Folder()) w.failedFolders.insert(e.id);
        return 0;
    }
    if (!e.Is_Folder() && (e.localid.empty() || !Is_Regular_File(ops.storedCopy(e)))) {
        ops.skipRow(e);
        return 0;
    }
    if (parent.empty()) {
        ops.orphanRow(e);
        parent = w.newRoot;
    }
    std::string value = "1";
    if (e.Is_Folder()) {
        value = ops.createFolder(e.name, parent);
        if (value.empty()) {
            ops.failRow(e, parent, place);
            w.failedFolders.insert(e.id);
            w.bFailed = true;
            return g_bGwsRestoreConnAbort ? -161 : 0;
        }
        e.strRestoreDriveID = value;
    } else if (ops.upload(e, parent) != 0) {
        ops.failRow(e, parent, place);
        w.bFailed = true;
        return g_bGwsRestoreConnAbort ? -161 : 0;
    }
    if (int rc = Restore_State_Put(*ops.pState, key, value)) return rc;
    Restore_State_Count(*ops.pState);
    return 0;
}

// The new folder of the entry's parent; "" when the parent is no kept row of the tree. A parent
// that is known but has no folder yet (it failed) is caught by the failed-folder rule first.
std::string New_Parent(const Walk& w, const RestoreEntry& e) {
    auto it = w.tree.byId.find(e.parent);
    if (it == w.tree.byId.end()) return "";
    const RestoreEntry& p = w.tree.entries[it->second];
    return p.strRestoreDriveID;
}

int Finish(const Walk& w) { return w.bFailed ? -161 : 0; }

}  // namespace

void Seed_From_Resume(const TreeRestoreOps& ops, RestoreTree& tree) {
    for (RestoreEntry& e : tree.entries) {
        std::string v = Restore_State_Get(*ops.pState, ops.strKeyPrefix + e.id);
        if (!v.empty() && v != "1") e.strRestoreDriveID = v;
    }
}

void Set_Restore_Root(RestoreTree& tree, const std::string& newRoot) {
    for (RestoreEntry& e : tree.entries)
        if (e.depth == -1) e.strRestoreDriveID = newRoot;
}

int Restore_Whole_Tree(TreeRestoreOps& ops, RestoreTree& tree, const std::string& newRoot) {
    Walk w{ops, tree, newRoot, {}, false};
    for (RestoreEntry& e : tree.entries) {
        if (e.depth == -1) continue;
        if (int rc = Do_Entry(w, e, New_Parent(w, e), e.Is_Folder() ? RestorePlace::SubFolder : RestorePlace::File))
            return rc;
    }
    return Finish(w);
}

int Restore_Selected(TreeRestoreOps& ops, RestoreTree& tree, const std::string& newRoot,
                     const std::set<std::string>* pSelection) {
    Walk w{ops, tree, newRoot, {}, false};
    for (size_t i = 0; i < tree.entries.size(); ++i) {
        RestoreEntry& e = tree.entries[i];
        if (e.depth == -1 || (pSelection != nullptr && !Is_Selected(*pSelection, e))) continue;
        if (!e.Is_Folder()) {
            if (int rc = Do_Entry(w, e, newRoot, RestorePlace::RootFile)) return rc;
            continue;
        }
        // A selected folder inside another selected folder's run is found done; its own run too.
        if (int rc = Do_Entry(w, e, newRoot, RestorePlace::TopFolder)) return rc;
        if (e.strRestoreDriveID.empty()) continue;  // failed: its run waits for the next attempt
        for (size_t pos : Folder_Run(tree, i)) {
            RestoreEntry& m = tree.entries[pos];
            if (int rc = Do_Entry(w, m, New_Parent(w, m),
                                  m.Is_Folder() ? RestorePlace::SubFolder : RestorePlace::File))
                return rc;
        }
    }
    return Finish(w);
}

int Restore_Tree_In_Mode(TreeRestoreOps& ops, RestoreTree& tree, const std::string& newRoot, int nMode,
                         PT_JSON localList) {
    if (nMode != 0) return Restore_Whole_Tree(ops, tree, newRoot);
    const std::set<std::string> sel = Restore_Selection(localList);
    return Restore_Selected(ops, tree, newRoot, localList ? &sel : nullptr);
}

}  // namespace qlm
