#include "restore/restore_tree.h"

#include <algorithm>

#include "common/dlnames.h"

namespace qlm {

namespace {

std::string Text(PT_JSON row, const char* key) {
    const char* s = nullptr;
    return Json_Dict_Find_Str(row, key, s) == 0 && s ? s : "";
}

long long Number(PT_JSON row, const char* key, long long fallback) {
    int64_t v = 0;
    return Json_Dict_Find_Int64(row, key, v) == 0 ? v : fallback;
}

}  // namespace

void Build_Restore_Tree(PT_JSON rows, RestoreTree& tree, bool bKeepAll) {
    tree = RestoreTree{};
    for (int i = 0, n = Json_List_Size(rows); i < n; ++i) {
        PT_JSON row = Json_List_Child(rows, i);
        RestoreEntry e;
        e.id = Text(row, "id");
        e.name = Text(row, "name");
        e.mimeType = Text(row, "mimeType");
        e.localid = Text(row, "localid");
        e.parent = Text(row, "parents");
        e.depth = Number(row, "depth", -2);
        e.index = Number(row, "index", 0);
        if (!bKeepAll && (e.depth < -1 || e.index <= 0)) continue;
        // Google lets an item have no name; dropping it would lose it, and its folder's contents.
        if (e.name.empty()) e.name = kUntitledName;
        tree.entries.push_back(std::move(e));
    }
    std::stable_sort(tree.entries.begin(), tree.entries.end(), [](const RestoreEntry& a, const RestoreEntry& b) {
        return a.depth != b.depth ? a.depth < b.depth : a.index < b.index;
    });
    for (size_t i = 0; i < tree.entries.size(); ++i) {
        tree.byId.emplace(tree.entries[i].id, i);
        tree.byIndex.push_back(i);
        if (tree.entries[i].depth == -1 && tree.rootPos < 0) tree.rootPos = static_cast<long long>(i);
    }
    std::stable_sort(tree.byIndex.begin(), tree.byIndex.end(),
                     [&](size_t a, size_t b) { return tree.entries[a].index < tree.entries[b].index; });
}

std::set<std::string> Restore_Selection(PT_JSON localList) {
    std::set<std::string> sel;
    for (int i = 0, n = Json_List_Size(localList); i < n; ++i)
        if (const char* s = Json_Get_String(Json_List_Child(localList, i))) sel.insert(s);
    return sel;
}

bool Is_Selected(const std::set<std::string>& sel, const RestoreEntry& e) {
    return sel.count(std::to_string(e.index)) != 0;
}

std::vector<size_t> Folder_Run(const RestoreTree& tree, size_t folderPos) {
    const RestoreEntry& folder = tree.entries[folderPos];
    std::vector<size_t> run;
    bool bAfter = false;
    for (size_t pos : tree.byIndex) {
        const RestoreEntry& e = tree.entries[pos];
        if (!bAfter) {
            bAfter = e.index > folder.index;
            if (!bAfter) continue;
        }
        if (e.depth <= folder.depth) break;
        run.push_back(pos);
    }
    std::stable_sort(run.begin(), run.end(), [&](size_t a, size_t b) {
        const RestoreEntry &x = tree.entries[a], &y = tree.entries[b];
        return x.depth != y.depth ? x.depth < y.depth : x.index < y.index;
    });
    return run;
}

int64_t Selection_Count(PT_JSON rows, PT_JSON localList, bool bCountFolder) {
    RestoreTree tree;
    Build_Restore_Tree(rows, tree, true);
    const std::set<std::string> sel = Restore_Selection(localList);
    int64_t n = 0;
    for (size_t i = 0; i < tree.entries.size(); ++i) {
        const RestoreEntry& e = tree.entries[i];
        if (!Is_Selected(sel, e)) continue;
        if (!e.Is_Folder()) {
            ++n;
            continue;
        }
        n += static_cast<int64_t>(Folder_Run(tree, i).size()) + (bCountFolder ? 1 : 0);
    }
    return n;
}

}  // namespace qlm
