#include "export/drive_export.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <unordered_map>

#include "common/dlnames.h"
#include "common/filehelpers.h"
#include "common/reqcheck.h"
#include "plat_json.h"

namespace qlm {

namespace {

using catalog::Drive_Node;

// A failed copy that every later copy would repeat: the export ends there.
bool Share_Is_Full(int err) { return err == -ENOSPC || err == -EDQUOT || err == -EROFS; }

// The walk's view of the export folder and of the tree.
class Walker {
public:
    explicit Walker(Drive_Export_Walk& w) : m_w(w) {
        if (std::unique_ptr<char, decltype(&free)> real(realpath(w.exportDir.c_str(), nullptr), &free); real)
            m_exportReal = real.get();
        for (size_t i = 0; i < w.nodes.size(); ++i) m_byId.emplace(w.nodes[i].id, i);
    }

    bool Stopping() const { return m_w.stopping && m_w.stopping(); }
    void Advance() const {
        if (m_w.advance) m_w.advance();
    }

    // The folder for name inside parent, made or joined; empty (and counted as failed) when none
    // can be made or it does not resolve inside the export folder.
    std::string Folder(const std::string& parent, const std::string& name) {
        std::string made = Make_Or_Join_Folder(parent + "/" + Drive_Name_Component(name));
        if (made.empty() || !Inside_Export(made)) {
            ++m_w.failed;
            return "";
        }
        return made;
    }

    // Copies the store file of localid into folder as name; the hooks hear of it. 0, or
    // kDriveExportShareFull. A local id that names no regular store file copies nothing.
    int File(const std::string& localid, const std::string& name, const std::string& folder) {
        if (!Is_Single_Path_Component(localid)) return 0;
        const std::string src = m_w.store + "/" + localid;
        struct stat st;
        if (lstat(src.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
        const int rc = m_w.copy ? m_w.copy(src, folder + "/" + Drive_Name_Component(name)) : -EINVAL;
        if (rc != 0) {
            ++m_w.failed;
            return Share_Is_Full(rc) ? kDriveExportShareFull : 0;
        }
        if (m_w.copied) m_w.copied(name);
        return 0;
    }

    // Position of the node of a Google id; npos when the catalog has none.
    size_t Position(const std::string& id) const {
        const auto it = m_byId.find(id);
        return it == m_byId.end() ? std::string::npos : it->second;
    }

private:
    // The resolved folder lies inside the resolved export folder.
    bool Inside_Export(const std::string& folder) const {
        if (m_exportReal.empty()) return false;
        std::unique_ptr<char, decltype(&free)> real(realpath(folder.c_str(), nullptr), &free);
        if (!real) return false;
        const std::string r = real.get();
        return r.size() > m_exportReal.size() && r.compare(0, m_exportReal.size(), m_exportReal) == 0 &&
               r[m_exportReal.size()] == '/';
    }

    Drive_Export_Walk& m_w;
    std::string m_exportReal;
    std::unordered_map<std::string, size_t> m_byId;
};

// The folder picked at position top, made at the top of the export folder, with everything
// below it. Folders made for earlier entries do not count: each entry rebuilds its own tree.
int Export_Folder_Tree(Drive_Export_Walk& w, Walker& walk, size_t top) {
    std::unordered_map<std::string, std::string> made;  // Google id -> its folder, this entry's
    const Drive_Node& target = w.nodes[top];
    std::string root = walk.Folder(w.exportDir, target.name);
    if (root.empty()) return 0;
    made.emplace(target.id, std::move(root));
    for (size_t i = top + 1; i < w.nodes.size(); ++i) {
        const Drive_Node& n = w.nodes[i];
        if (n.depth <= target.depth) continue;
        if (walk.Stopping()) return kDriveExportStopped;
        const auto parent = made.find(n.parent);
        if (parent == made.end()) continue;
        if (n.Is_Folder()) {
            std::string mine = walk.Folder(parent->second, n.name);
            if (!mine.empty()) made.emplace(n.id, std::move(mine));
        } else if (const int rc = walk.File(n.localid, n.name, parent->second); rc != 0) {
            return rc;
        }
    }
    return 0;
}

// One picked entry; 0 also when it ends without a copy.
int Export_Entry(Drive_Export_Walk& w, Walker& walk, const std::string& text) {
    long long index = 0;
    if (!Parse_Whole_Int(text, index) || index < INT_MIN || index > INT_MAX) return 0;
    RAIIful_Json row;
    catalog::Find_Drive_Row_By_Index(w.kind, w.key.c_str(), w.task.c_str(), static_cast<int>(index), row);
    const char *id = nullptr, *name = nullptr;
    if (!row || Json_Dict_Find_Str(row.get(), "id", id) != 0 || Json_Dict_Find_Str(row.get(), "name", name) != 0 ||
        id == nullptr || name == nullptr)
        return 0;
    const size_t pos = walk.Position(id);
    if (pos != std::string::npos && w.nodes[pos].Is_Folder()) return Export_Folder_Tree(w, walk, pos);
    // Anything else is a file, also a row the tree has no node for.
    const char* localid = nullptr;
    if (Json_Dict_Find_Str(row.get(), "localid", localid) != 0 || localid == nullptr) return 0;
    return walk.File(localid, name, w.exportDir);
}

}  // namespace

int Export_Whole_Drive(Drive_Export_Walk& w) {
    Walker walk(w);
    // The folder made for each node, by position; empty while none.
    std::vector<std::string> made(w.nodes.size());
    for (size_t i = 0; i < w.nodes.size(); ++i) {
        if (walk.Stopping()) return kDriveExportStopped;
        const Drive_Node& n = w.nodes[i];
        int rc = 0;
        if (n.depth == -1) {
            made[i] = walk.Folder(w.exportDir, n.name);
        } else if (const size_t p = walk.Position(n.parent); p != std::string::npos && !made[p].empty()) {
            if (n.Is_Folder())
                made[i] = walk.Folder(made[p], n.name);
            else
                rc = walk.File(n.localid, n.name, made[p]);
        }
        walk.Advance();
        if (rc != 0) return rc;
    }
    return 0;
}

int Export_Picked_Entries(Drive_Export_Walk& w, const std::vector<std::string>& entries) {
    Walker walk(w);
    for (const std::string& text : entries) {
        if (walk.Stopping()) return kDriveExportStopped;
        const int rc = Export_Entry(w, walk, text);
        walk.Advance();
        if (rc != 0) return rc;
    }
    return 0;
}

std::string Exported_To_Nas_Message(const char* word, const std::string& name, const std::string& owner,
                                    const std::string& nasPath) {
    return std::string("Exported ") + word + " file \"" + name + "\" of account " + owner +
           " to NAS path: " + nasPath + ".";
}

}  // namespace qlm
