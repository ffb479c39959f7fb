// A Drive or Shared Drive catalog read whole as a folder tree: one compact node per row, parents
// before children. The downloads and the exports rebuild folder trees from it.
#pragma once

#include <string>
#include <vector>

#include "dbcontrol/catalog_common.h"
#include "plat_json.h"

namespace qlm::catalog {

inline constexpr const char* kDriveFolderMime = "application/vnd.google-apps.folder";

// One catalog row of the tree. A folder has no local id.
struct Drive_Node {
    std::string id, name, mime, localid, parent;
    long long index = 0, depth = 0;
    bool Is_Folder() const { return mime == kDriveFolderMime; }
};

// The row as a node; false without "id", "name" or "mimeType".
bool Drive_Node_Of(PT_JSON row, Drive_Node& n);

// Every node of the catalog (Kind::Drive or Kind::SharedDrive), sorted by depth and, among one
// depth, by index, so that which of two same-named siblings gets a counter never changes. The
// rows are read one at a time and never held as JSON together. 0; -22; -161 (also for a catalog
// never written; nodes is then empty).
int Read_Drive_Tree(Kind kind, const char* key, const char* task, std::vector<Drive_Node>& nodes);

// The first catalog row of the index, full form, into row (empty when none); a catalog that
// cannot be read has none.
void Find_Drive_Row_By_Index(Kind kind, const char* key, const char* task, int index, RAIIful_Json& row);

}  // namespace qlm::catalog
