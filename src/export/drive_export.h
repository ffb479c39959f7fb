// The tree walk of the Drive and Shared Drive exports: the backed-up drive, or the items picked by
// catalog index, rebuilt inside a new export folder on a NAS share. Folders come from the catalog,
// files are copied from the backup store.
//
// Names from Google become one path component each (Drive_Name_Component), every folder is made
// or joined only when it is a real folder, and a folder that resolves outside the export folder is
// never used: nothing is written outside it, whatever the names or what was planted there. Only
// regular files of the store are copied (Google documents have no content there).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "dbcontrol/catalog_common.h"
#include "dbcontrol/drive_tree.h"

namespace qlm {

// Results of the walks besides 0 (every item handled, though some copies may have failed).
inline constexpr int kDriveExportStopped = -4;    // stopping() said so
inline constexpr int kDriveExportShareFull = -28;  // a copy found the share full or read-only

// One Drive or Shared Drive export: what it walks, where it writes, and the hooks that tie it to
// its worker (copy, activity-log row, progress, abort).
struct Drive_Export_Walk {
    catalog::Kind kind = catalog::Kind::Drive;
    std::string key;        // the account, or the shared drive's uuid
    std::string task;       // the task id
    std::string store;      // the store folder: a file's content is store/<local id>
    std::string exportDir;  // the export folder, made already
    std::vector<catalog::Drive_Node> nodes;  // catalog::Read_Drive_Tree

    // Copies a store file to dst, never overwriting (a counter before the extension on a clash).
    // 0, or a negative errno.
    std::function<int(const std::string& src, const std::string& dst)> copy;
    // A file was copied: its Google name, for the activity-log row.
    std::function<void(const std::string& name)> copied;
    // One node (whole drive) or one entry (picked) was handled, however it ended.
    std::function<void()> advance;
    // Asked before every node: true ends the walk.
    std::function<bool()> stopping;

    // Copies and folders that failed.
    long long failed = 0;
};

// The whole drive: every node in list order, one progress step each. A depth -1 node (the top of
// the drive) becomes a folder of the export folder; a node whose parent has no folder is passed
// over (it lies outside the tree). 0, kDriveExportStopped or kDriveExportShareFull.
int Export_Whole_Drive(Drive_Export_Walk& w);

// The picked entries (catalog indexes as decimal texts), one progress step each: a folder with
// everything below it, a file alone, both at the top of the export folder. An entry that is no
// number, has no catalog row or names a file without content is only counted.
// 0, kDriveExportStopped or kDriveExportShareFull.
int Export_Picked_Entries(Drive_Export_Walk& w, const std::vector<std::string>& entries);

// The activity-log message of one exported file: word is "Drive" or "Shared Drive", owner the
// account or the shared drive's name, nasPath the share path as the request gave it.
std::string Exported_To_Nas_Message(const char* word, const std::string& name, const std::string& owner,
                                    const std::string& nasPath);

}  // namespace qlm
