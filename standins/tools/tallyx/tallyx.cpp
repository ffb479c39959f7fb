// tallyx stand-in: orders user entries by their Drive usage.
//
//   tallyx -k KEYFILE -f IN -o OUT [--asc | --desc]
//
// IN holds a JSON list of user entries (objects with "Email" or "email"); OUT gets the same
// entries, unchanged, smallest usage first (--desc: largest first). Usage is the bytes of the
// user's own files outside the trash; users unknown to the domain count 0; equal usage keeps the
// input order. Nothing is printed on success (the caller does not redirect the output). OUT is
// written only on success and removed on failure.
#include <gwssim/cli.h>
#include <gwssim/json_util.h>
#include <gwssim/state.h>
#include <gwssim/toolrun.h>

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

int Fail(int status, const std::string& line) {
    fprintf(stderr, "%s\n", line.c_str());
    return status;
}

long long Usage_Of(const std::string& root, const GwsDomain& dom, const std::string& email) {
    GwsDrive d;
    if (!Gwssim_Find_User(dom, email) || Gwssim_Load_Drive(root, email, d) != 0) return 0;
    long long total = 0;
    for (const auto& it : d.items)
        if (!it.trashed && it.size > 0 && it.owner == email) total += it.size;
    return total;
}

int Tallyx_Body(int argc, char** argv) {
    std::string key_file, in, out;
    bool asc = false, desc = false;
    std::vector<GwsOpt> opts = {{"-k", &key_file}, {"-f", &in}, {"-o", &out}};
    opts.push_back({"--asc", nullptr, nullptr, &asc});
    opts.push_back({"--desc", nullptr, nullptr, &desc});
    std::string err;
    int prc = Gwssim_Parse_Options(argc, argv, 1, opts, err);
    GwsOutputGuard guard{out};
    if (prc != 0) return Fail(2, "tallyx: " + err);
    if (!opts[0].seen || !opts[1].seen || out.empty() || (asc && desc))
        return Fail(2, "tallyx: -k KEYFILE -f IN -o OUT [--asc | --desc]");

    std::string root = Gwssim_Key_Root(Gwssim_Root(), key_file);
    GwsDomain dom;
    GwsKey key;
    if (Gwssim_Authorize(root, key_file, dom, key, err) != 0) return Fail(1, err);
    if (!Gwssim_Key_Has_Grant(key, "drive")) return Fail(1, "ERROR: 403: Request had insufficient authentication scopes");
    GwsJson list;
    if (Gwssim_Json_Load(in, list) != 0 || !json_object_is_type(list.get(), json_type_array))
        return Fail(1, "tallyx: " + in + " does not hold a JSON list");

    size_t n = json_object_array_length(list.get());
    std::map<std::string, long long> usage;
    std::vector<std::pair<long long, json_object*>> entries;
    for (size_t i = 0; i < n; ++i) {
        json_object* e = json_object_array_get_idx(list.get(), i);
        std::string email = Gwssim_Json_Str(e, "Email");
        if (email.empty()) email = Gwssim_Json_Str(e, "email");
        auto f = usage.find(email);
        long long u = f != usage.end() ? f->second : (usage[email] = Usage_Of(root, dom, email));
        entries.emplace_back(u, e);
    }
    std::stable_sort(entries.begin(), entries.end(), [desc](const auto& a, const auto& b) {
        return desc ? a.first > b.first : a.first < b.first;
    });
    GwsJson sorted(json_object_new_array_ext((int)n));
    for (const auto& [u, e] : entries) json_object_array_add(sorted.get(), json_object_get(e));
    if (Gwssim_Write_File(out, Gwssim_Json_Text(sorted.get()) + "\n") != 0) return Fail(1, "ERROR: cannot write " + out);
    guard.keep = true;
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return Gwssim_Tool_Main("tallyx", argc, argv, Tallyx_Body); }
