#include <gwssim/shares.h>

#include <gwssim/json_util.h>
#include <gwssim/state.h>

#include <algorithm>

namespace {

const char kSharesFile[] = "/shares.json";

struct Pair {
    std::string owner, with;
};

int Load_Pairs(const std::string& root, std::vector<Pair>& out) {
    out.clear();
    GwsJson o;
    int rc = Gwssim_Json_Load(root + kSharesFile, o);
    if (rc == -2) return 0;
    if (rc != 0) return rc;
    json_object* a = Gwssim_Json_Array(o.get(), "shares");
    size_t n = a ? json_object_array_length(a) : 0;
    for (size_t i = 0; i < n; ++i) {
        json_object* e = json_object_array_get_idx(a, i);
        out.push_back({Gwssim_Json_Str(e, "owner"), Gwssim_Json_Str(e, "with")});
    }
    return 0;
}

int Save_Pairs(const std::string& root, const std::vector<Pair>& pairs) {
    GwsJson o(json_object_new_object());
    json_object* a = json_object_new_array();
    for (const Pair& p : pairs) {
        json_object* e = json_object_new_object();
        Gwssim_Json_Put_Str(e, "owner", p.owner);
        Gwssim_Json_Put_Str(e, "with", p.with);
        json_object_array_add(a, e);
    }
    json_object_object_add(o.get(), "shares", a);
    return Gwssim_Write_File(root + kSharesFile, Gwssim_Json_Text(o.get(), true) + "\n");
}

}  // namespace

bool Gwssim_Is_Shared_With(const GwsDriveItem& it, const std::string& email) {
    for (const GwsMember& m : it.permissions)
        if (m.type == "user" && m.email == email) return true;
    return false;
}

int Gwssim_Share_Item(const std::string& root, const std::string& owner, const std::string& item_id,
                      const std::string& with, const std::string& role, std::string& err) {
    GwsLock lock;
    if (Gwssim_Lock_State(root, lock) != 0) {
        err = "no domain folder " + root;
        return -1;
    }
    GwsDomain dom;
    if (Gwssim_Load_Domain(root, dom) != 0) {
        err = "no domain in " + root;
        return -1;
    }
    const GwsUser* from = Gwssim_Find_User(dom, owner);
    const GwsUser* to = Gwssim_Find_User(dom, with);
    if (!from || !to || owner == with) {
        err = "both users must be users of the domain, and two of them";
        return -1;
    }
    GwsDrive d;
    if (Gwssim_Load_Drive(root, owner, d) != 0) {
        err = "the Drive of " + owner + " cannot be read";
        return -1;
    }
    auto it = std::find_if(d.items.begin(), d.items.end(), [&](const GwsDriveItem& i) { return i.id == item_id; });
    if (it == d.items.end()) {
        err = "no item " + item_id + " in the Drive of " + owner;
        return -1;
    }
    std::erase_if(it->permissions, [&](const GwsMember& m) { return m.type == "user" && m.email == with; });
    it->permissions.push_back(GwsMember{with, to->name, role, "user"});
    std::vector<Pair> pairs;
    if (Load_Pairs(root, pairs) != 0) {
        err = "unreadable " + root + kSharesFile;
        return -1;
    }
    bool known = false;
    for (const Pair& p : pairs) known = known || (p.owner == owner && p.with == with);
    if (!known) pairs.push_back({owner, with});
    // The index first: a Drive it names without a share in it costs a read, never a lost share.
    if (Save_Pairs(root, pairs) != 0 || Gwssim_Save_Drive(root, owner, d) != 0) {
        err = "the domain cannot be written";
        return -1;
    }
    return 0;
}

int Gwssim_Sharers_Of(const std::string& root, const std::string& email, std::vector<std::string>& owners) {
    owners.clear();
    std::vector<Pair> pairs;
    if (int rc = Load_Pairs(root, pairs)) return rc;
    for (const Pair& p : pairs)
        if (p.with == email && std::find(owners.begin(), owners.end(), p.owner) == owners.end())
            owners.push_back(p.owner);
    return 0;
}
