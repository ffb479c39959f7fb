#include "dbcontrol/drive_tree.h"

#include <algorithm>

#include "common/jsontext.h"
#include "dbcontrol/drive_db.h"
#include "dbcontrol/shared_drive_db.h"

namespace qlm::catalog {

bool Drive_Node_Of(PT_JSON row, Drive_Node& n) {
    const char *id = nullptr, *name = nullptr, *mime = nullptr;
    if (Json_Dict_Find_Str(row, "id", id) != 0 || Json_Dict_Find_Str(row, "name", name) != 0 ||
        Json_Dict_Find_Str(row, "mimeType", mime) != 0 || !id || !name || !mime)
        return false;
    n.id = id;
    n.name = name;
    n.mime = mime;
    n.localid = n.Is_Folder() ? "" : Json_Text_Of(row, "localid");
    n.parent = Json_Text_Of(row, "parents");
    int64_t v = 0;
    n.index = Json_Dict_Find_Int64(row, "index", v) == 0 ? v : 0;
    n.depth = Json_Dict_Find_Int64(row, "depth", v) == 0 ? v : 0;
    return true;
}

int Read_Drive_Tree(Kind kind, const char* key, const char* task, std::vector<Drive_Node>& nodes) {
    nodes.clear();
    const Json_Row_Sink keep = [&nodes](RAIIful_Json& row) {
        Drive_Node n;
        if (Drive_Node_Of(row.get(), n)) nodes.push_back(std::move(n));
        return 0;
    };
    const int rc = kind == Kind::SharedDrive ? Shared_Drive_Get_DB_Data_Each(keep, key, task)
                                             : Drive_Get_DB_Data_Each(keep, key, task);
    if (rc != 0) {
        nodes.clear();
        return rc;
    }
    std::stable_sort(nodes.begin(), nodes.end(), [](const Drive_Node& a, const Drive_Node& b) {
        return a.depth != b.depth ? a.depth < b.depth : a.index < b.index;
    });
    return 0;
}

void Find_Drive_Row_By_Index(Kind kind, const char* key, const char* task, int index, RAIIful_Json& row) {
    RAIIful_Json found(Json_List_Init());
    row.reset();
    if (!found) return;
    if (kind == Kind::SharedDrive)
        Shared_Drvie_Find_DB_Data_By_Index(found.get(), key, task, index);
    else
        Drvie_Find_DB_Data_By_Index(found.get(), key, task, index);
    // The row outlives the list it came in.
    if (PT_JSON first = Json_List_Child(found.get(), 0)) row.reset(json_object_get(first));
}

}  // namespace qlm::catalog
