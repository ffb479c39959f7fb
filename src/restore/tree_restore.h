// The walk the Drive and Shared Drive restores share: the restore folder made, then the backed-up
// folders made again below it and the stored files uploaded into them, every finished item noted
// in the id map at once, so the next attempt goes on where this one stopped.
//
// An item that fails (after the runner's own retries) gets its FAIL row and the walk goes on; the
// items below a folder that failed wait for the next attempt, which makes the folder first. A lost
// connection or an id map that cannot be saved ends the walk at once.
#pragma once

#include <functional>
#include <set>
#include <string>

#include "restore/restore_state.h"
#include "restore/restore_tree.h"

namespace qlm {

// Where an item is done, for its failure row.
enum class RestorePlace { TopFolder, SubFolder, File, RootFile };

struct TreeRestoreOps {
    RestoreState* pState = nullptr;
    std::string strKeyPrefix;  // put before every Google id in the id map
    // A new folder's id, "" on failure.
    std::function<std::string(const std::string& name, const std::string& parent)> createFolder;
    // 0 when uploaded.
    std::function<int(const RestoreEntry& e, const std::string& parent)> upload;
    // The stored copy an upload would read.
    std::function<std::string(const RestoreEntry& e)> storedCopy;
    // Rows: the failure of an item, a file passed over (no stored content), an item whose parent
    // was not backed up (it goes into the restore folder).
    std::function<void(const RestoreEntry& e, const std::string& parent, RestorePlace place)> failRow;
    std::function<void(const RestoreEntry& e)> skipRow;
    std::function<void(const RestoreEntry& e)> orphanRow;
};

// Sets the new id of every entry whose id-map value is a folder id (neither empty nor "1").
void Seed_From_Resume(const TreeRestoreOps& ops, RestoreTree& tree);

// Marks the restore folder: every depth -1 entry takes its id.
void Set_Restore_Root(RestoreTree& tree, const std::string& newRoot);

// Outcome of a walk: 0 all done; -161 items failed (each with its row) or the connection was lost;
// the id map's write error.
// The whole tree below newRoot (modes 1 and 2).
int Restore_Whole_Tree(TreeRestoreOps& ops, RestoreTree& tree, const std::string& newRoot);
// The selected items (mode 0): selected folders with their runs and selected files, into newRoot;
// without a selection list every item is selected.
int Restore_Selected(TreeRestoreOps& ops, RestoreTree& tree, const std::string& newRoot,
                     const std::set<std::string>* pSelection);
// The walk the mode asks for: mode 0 the items of localList (every item without a list), any
// other mode the whole tree.
int Restore_Tree_In_Mode(TreeRestoreOps& ops, RestoreTree& tree, const std::string& newRoot, int nMode,
                         PT_JSON localList);

}  // namespace qlm
