// Drive and Shared Drive exports to a NAS folder: the backed-up drive, the items picked by catalog
// index, or those an advanced search finds, rebuilt inside a new export folder of a share.
// Folders come from the catalog, files are copied from the backup store.
//
// Names from Google become one path component each (Drive_Name_Component; files as Drive_File_Name
// names them, Google editor files with their OpenDocument extension), and every folder and
// file is reached from the export folder's descriptor one component at a time, never through a
// link: nothing is written outside the export folder, whatever the names or what was planted in
// it. Only regular files of the store are copied (Google documents without content have none).
#pragma once

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/filehelpers.h"
#include "dbcontrol/catalog_common.h"
#include "dbcontrol/drive_tree.h"
#include "export/export_frame.h"

class O_APP_CGI_AGENT;

namespace qlm {

// The actions "export_drive_to_nas" and "export_shared_drive_to_nas": the task, the account or
// shared drive, its catalog and the selection are checked before the reply, then a worker copies.
int Export_Drive_To_Nas(O_APP_CGI_AGENT* agent);
int Export_Shared_Drive_To_Nas(O_APP_CGI_AGENT* agent);

// One walk over a drive's tree into an export folder, one item at a time.
struct Drive_Export_Walk {
    catalog::Kind kind = catalog::Kind::Drive;
    std::string key;    // the account, or the shared drive's uuid
    std::string task;   // the task id
    std::string store;  // the store folder: a file's content is store/<local id>
    int exportFd = -1;  // the export folder, opened without following a link (not the walk's)
    std::vector<catalog::Drive_Node> nodes;  // catalog::Read_Drive_Tree
    std::vector<std::string> entries;        // the picked indexes, as texts

    // A file was copied, or could not be: its Google name, for its activity-log row.
    std::function<void(const std::string& name)> copied;
    std::function<void(const std::string& name)> failed;

    // The walk's own state (Drive_Walk_Begin).
    std::vector<std::string> made;                  // whole drive: each node's folder, relative; empty while none
    std::vector<bool> lost;                         // whole drive: a folder that could not be made, or below one
    std::unordered_map<std::string, size_t> byId;   // Google id -> node position
    Folder_Below open;                              // the folder last written into
};

// Prepares the walk's state; after nodes are read.
void Drive_Walk_Begin(Drive_Export_Walk& w);

// Results of the item functions: 0 done or passed over; 1 the item failed (a folder or copy that
// could not be made, a full share, a store file that cannot be read). Every file that is not
// copied gets its failed row, also each file below a folder that could not be made.

// Whole drive, node i of the list (sorted by depth): a depth -1 node (the top of the drive) becomes
// a folder of the export folder; a folder or file whose parent has a folder goes into it; any
// other node lies outside the tree and is passed over.
int Export_Drive_Node(Drive_Export_Walk& w, size_t i);

// Picked entry i, at the top of the export folder: a folder with everything below it, or a file.
// An entry that is no number, has no catalog row or names a file without content is passed over.
int Export_Drive_Entry(Drive_Export_Walk& w, size_t i);

}  // namespace qlm
