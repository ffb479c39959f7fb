#include "export/drive_export.h"

#include <fcntl.h>

#include <climits>
#include <unordered_set>

#include "common/dlnames.h"
#include "common/reqcheck.h"
#include "web/browse_params.h"
#include "plat_json.h"

namespace qlm {

namespace {

using catalog::Drive_Node;

constexpr int kItemFailed = 1;
constexpr int kMaxFolderClash = 1000;

// The folder rel (relative to the export folder, "" for itself), reached one component at a time
// without following a link. The walk keeps it open for the next item. -1 when it cannot be opened.
int Folder_Fd(Drive_Export_Walk& w, const std::string& rel) { return w.open.Open(w.exportFd, rel); }

// The folder for a Drive folder name inside parent (relative), made or joined when a real folder
// of that name is there (two Drive folders of one name merge); a file or a link of that name makes
// it "<name>(n)". Its relative path; empty when none can be made.
std::string Make_Folder(Drive_Export_Walk& w, const std::string& parent, const std::string& name) {
    const int parentFd = Folder_Fd(w, parent);
    if (parentFd < 0) return "";
    const std::string base = Drive_Name_Component(name);
    for (int n = 0; n < kMaxFolderClash; ++n) {
        const std::string candidate = n > 0 ? base + "(" + std::to_string(n) + ")" : base;
        const FdGuard made(Export_Open_Subfolder(parentFd, candidate));
        if (made.fd >= 0) return parent.empty() ? candidate : parent + "/" + candidate;
        if (!Export_Name_Taken(parentFd, candidate)) return "";
    }
    return "";
}

// Copies the store file of localid into the folder (relative) under the file's name (Drive_File_Name),
// or its first free numbered name. Only a regular store file is copied; anything else is passed over.
int Copy_Item(Drive_Export_Walk& w, const std::string& localid, const std::string& name, const std::string& mime,
              const std::string& folder) {
    if (!Is_Single_Path_Component(localid)) return 0;
    const int folderFd = Folder_Fd(w, folder);
    if (folderFd < 0) return kItemFailed;
    std::string stem, ext, made;
    Export_Split_Name(Drive_File_Name(name, mime), stem, ext);
    const int rc = Export_Copy_File(w.store + "/" + localid, folderFd, stem, ext, made);
    if (rc == -1) return 0;  // no regular store file: a Google document without content, or a link
    // Anything else (a full share included) fails this file alone: the next one may still fit.
    if (rc != 0) {
        if (w.failed) w.failed(name);
        return kItemFailed;
    }
    if (w.copied) w.copied(name);
    return 0;
}

// A node below a folder that could not be made: a file with content cannot be copied and gets its
// failed row; a folder (which the caller marks lost in turn) or a file without content is nothing.
int Uncopied(Drive_Export_Walk& w, const Drive_Node& n) {
    if (n.Is_Folder() || !Is_Single_Path_Component(n.localid) || !Is_Regular_File(w.store + "/" + n.localid))
        return 0;
    if (w.failed) w.failed(n.name);
    return kItemFailed;
}

// Position of the node of a Google id; npos when the catalog has none.
size_t Position(const Drive_Export_Walk& w, const std::string& id) {
    const auto it = w.byId.find(id);
    return it == w.byId.end() ? std::string::npos : it->second;
}

// The picked folder at position top, at the top of the export folder, with everything below it.
// Folders made for earlier entries do not count: each entry rebuilds its own tree.
int Export_Folder_Tree(Drive_Export_Walk& w, size_t top) {
    const Drive_Node& target = w.nodes[top];
    std::unordered_map<std::string, std::string> made;  // Google id -> its folder, this entry's
    std::unordered_set<std::string> lost;                // folders that could not be made
    int result = 0;
    std::string root = Make_Folder(w, "", target.name);
    if (root.empty()) {
        lost.insert(target.id);
        result = kItemFailed;
    } else {
        made.emplace(target.id, std::move(root));
    }
    for (size_t i = top + 1; i < w.nodes.size(); ++i) {
        const Drive_Node& n = w.nodes[i];
        if (n.depth <= target.depth) continue;
        int rc = 0;
        if (lost.count(n.parent)) {
            if (n.Is_Folder()) lost.insert(n.id);
            rc = Uncopied(w, n);
        } else {
            const auto parent = made.find(n.parent);
            if (parent == made.end()) continue;
            if (n.Is_Folder()) {
                std::string mine = Make_Folder(w, parent->second, n.name);
                if (mine.empty()) {
                    lost.insert(n.id);
                    rc = kItemFailed;
                } else {
                    made.emplace(n.id, std::move(mine));
                }
            } else {
                rc = Copy_Item(w, n.localid, n.name, n.mime, parent->second);
            }
        }
        if (rc > 0) result = rc;
    }
    return result;
}

}  // namespace

void Drive_Walk_Begin(Drive_Export_Walk& w) {
    w.made.assign(w.nodes.size(), std::string());
    w.lost.assign(w.nodes.size(), false);
    w.byId.clear();
    for (size_t i = 0; i < w.nodes.size(); ++i) w.byId.emplace(w.nodes[i].id, i);
}

int Export_Drive_Node(Drive_Export_Walk& w, size_t i) {
    const Drive_Node& n = w.nodes[i];
    if (n.depth == -1) {
        w.made[i] = Make_Folder(w, "", n.name);
        w.lost[i] = w.made[i].empty();
        return w.lost[i] ? kItemFailed : 0;
    }
    const size_t p = Position(w, n.parent);
    if (p == std::string::npos) return 0;
    if (w.lost[p]) {
        w.lost[i] = n.Is_Folder();
        return Uncopied(w, n);
    }
    if (w.made[p].empty()) return 0;
    if (!n.Is_Folder()) return Copy_Item(w, n.localid, n.name, n.mime, w.made[p]);
    w.made[i] = Make_Folder(w, w.made[p], n.name);
    w.lost[i] = w.made[i].empty();
    return w.lost[i] ? kItemFailed : 0;
}

int Export_Drive_Entry(Drive_Export_Walk& w, size_t i) {
    long long index = 0;
    if (!Parse_Whole_Int(w.entries[i], index) || index < INT_MIN || index > INT_MAX) return 0;
    RAIIful_Json row;
    catalog::Find_Drive_Row_By_Index(w.kind, w.key.c_str(), w.task.c_str(), static_cast<int>(index), row);
    const char *id = nullptr, *name = nullptr, *mime = nullptr;
    if (!row || Json_Dict_Find_Str(row.get(), "id", id) != 0 || Json_Dict_Find_Str(row.get(), "name", name) != 0 ||
        id == nullptr || name == nullptr)
        return 0;
    Json_Dict_Find_Str(row.get(), "mimeType", mime);
    const size_t pos = Position(w, id);
    if (pos != std::string::npos && w.nodes[pos].Is_Folder()) return Export_Folder_Tree(w, pos);
    // Anything else is a file, also a row the tree has no node for.
    const char* localid = nullptr;
    if (Json_Dict_Find_Str(row.get(), "localid", localid) != 0 || localid == nullptr) return 0;
    return Copy_Item(w, localid, name, mime ? mime : "", "");
}

}  // namespace qlm
