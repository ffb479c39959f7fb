// The backed-up tree of one account or shared drive as the restores walk it, built from its
// catalog rows, and the selection of a partial restore (items chosen by their catalog index).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "plat_json.h"

namespace qlm {

inline constexpr const char* kRestoreFolderMime = "application/vnd.google-apps.folder";

struct RestoreEntry {
    std::string id, name, mimeType, localid, parent;
    std::string strRestoreDriveID;  // the folder made for it in this restore
    long long depth = -2, index = 0;
    bool Is_Folder() const { return mimeType == kRestoreFolderMime; }
};

struct RestoreTree {
    std::vector<RestoreEntry> entries;            // by depth, then index
    std::unordered_map<std::string, size_t> byId;  // id -> position in entries
    std::vector<size_t> byIndex;                   // positions, by index
    long long rootPos = -1;                        // the row of depth -1, -1 when there is none
};

// The catalog rows ("id", "name", "depth", "index", "mimeType", "localid", "parents"). Kept rows:
// depth -1 or more and an index above 0; a nameless row is named "Untitled" (bKeepAll keeps every
// row, for counting).
void Build_Restore_Tree(PT_JSON rows, RestoreTree& tree, bool bKeepAll = false);

// The selection: the items of the list (JSON strings) as texts.
std::set<std::string> Restore_Selection(PT_JSON localList);
bool Is_Selected(const std::set<std::string>& sel, const RestoreEntry& e);

// The run of a selected folder: the rows after it in index order that lie deeper, up to the first
// that does not; sorted by depth (then index), so each parent comes before its contents.
std::vector<size_t> Folder_Run(const RestoreTree& tree, size_t folderPos);

// What a partial restore visits: 1 per selected file, the run of each selected folder, plus 1
// per selected folder when bCountFolder.
int64_t Selection_Count(PT_JSON rows, PT_JSON localList, bool bCountFolder);

}  // namespace qlm
