// gwssim: the admin side of the simulated Workspace domain, for tests and the demo. The system
// never calls it.
//
//   gwssim init DIR [--users N --files N --messages N --events N --contacts N --shared-drives N --seed S]
//                   [--domain NAME]
//   gwssim key DIR --grant drive,gmail,calendar,contacts [--domain D] [--disabled] [--out FILE]
//   gwssim dump DIR [--what drive|gmail|calendar|contacts|shared] [--ids]
//   gwssim fault DIR add --tool T --match TEXT [--match TEXT ...] --action A [--times N] [--skip N] [--exit N] [--ms N]
//   gwssim fault DIR clear | list
//   gwssim share DIR --user OWNER --item ID --with OTHER [--role reader|commenter|writer]
//   gwssim calls DIR [--clear]
//   gwssim recreate DIR --user EMAIL
//
// A fault rule fits the calls of tool T (or "*") whose arguments, joined with blanks, hold every
// --match text; it passes over the first --skip fitting calls, then fires on the next --times of
// them (0, the default: on all), across processes. Actions: see toolrun.h.
#include <gwssim/cli.h>
#include <gwssim/state.h>

#include "admin.h"
#include "faults.h"
#include <gwssim/json_util.h>
#include <gwssim/shares.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: gwssim init DIR [--users N] [--files N] [--messages N] [--events N] [--contacts N]\n"
    "                       [--shared-drives N] [--seed S] [--domain NAME]\n"
    "       gwssim key DIR --grant LIST [--domain D] [--disabled] [--out FILE]\n"
    "       gwssim dump DIR [--what drive|gmail|calendar|contacts|shared] [--ids]\n"
    "       gwssim fault DIR add --tool T --match TEXT --action A [--times N] [--skip N] [--exit N] [--ms N]\n"
    "       gwssim fault DIR clear|list\n"
    "       gwssim share DIR --user OWNER --item ID --with OTHER [--role reader|commenter|writer]\n"
    "       gwssim calls DIR [--clear]\n"
    "       gwssim recreate DIR --user EMAIL\n";

int Usage(const std::string& why) {
    if (!why.empty()) fprintf(stderr, "gwssim: %s\n", why.c_str());
    fputs(kUsage, stderr);
    return 2;
}

int Fail(const std::string& why) {
    fprintf(stderr, "gwssim: %s\n", why.c_str());
    return 1;
}

std::vector<std::string> Split_Commas(const std::string& s) {
    std::vector<std::string> v;
    size_t start = 0;
    while (start <= s.size()) {
        size_t c = s.find(',', start);
        if (c == std::string::npos) c = s.size();
        if (c > start) v.push_back(s.substr(start, c - start));
        start = c + 1;
    }
    return v;
}

int Cmd_Init(int argc, char** argv, const std::string& dir) {
    std::string users, files, messages, events, contacts, drives, seed;
    GwsInitOptions o;
    std::vector<GwsOpt> opts = {{"--users", &users},       {"--files", &files},
                                {"--messages", &messages}, {"--events", &events},
                                {"--contacts", &contacts}, {"--shared-drives", &drives},
                                {"--seed", &seed},         {"--domain", &o.domain}};
    std::string err;
    if (Gwssim_Parse_Options(argc, argv, 3, opts, err) != 0) return Usage(err);
    if (opts[7].seen && !Gwssim_Is_Path_Component(o.domain)) return Usage("not a domain name: " + o.domain);
    struct {
        const std::string* text;
        int* dest;
    } sizes[] = {{&users, &o.users},       {&files, &o.files},       {&messages, &o.messages},
                 {&events, &o.events},     {&contacts, &o.contacts}, {&drives, &o.shared_drives}};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        auto& s = sizes[i];
        long long v = 0;
        if (!opts[i].seen) continue;
        if (!Gwssim_Parse_Count(*s.text, v)) return Usage("not a count: " + *s.text);
        *s.dest = (int)v;
    }
    if (opts[6].seen) {
        long long v = 0;
        if (!Gwssim_Parse_Count(seed, v)) return Usage("not a seed: " + seed);
        o.seed = (unsigned long long)v;
    }
    if (Gwssim_Init(dir, o, err) != 0) return Fail(err);
    return 0;
}

int Cmd_Key(int argc, char** argv, const std::string& dir) {
    std::string grant, domain, out;
    bool disabled = false;
    std::vector<GwsOpt> opts = {{"--grant", &grant}, {"--domain", &domain}, {"--out", &out}};
    opts.push_back({"--disabled", nullptr, nullptr, &disabled});
    std::string err;
    if (Gwssim_Parse_Options(argc, argv, 3, opts, err) != 0) return Usage(err);
    if (!opts[0].seen) return Usage("key needs --grant (it may be empty)");
    std::string text;
    if (Gwssim_Make_Key(dir, Split_Commas(grant), domain, !disabled, text, err) != 0) return Fail(err);
    if (out.empty()) return Gwssim_Print(text) == 0 ? 0 : 1;
    return Gwssim_Write_File(out, text) == 0 ? 0 : Fail("cannot write " + out);
}

int Cmd_Dump(int argc, char** argv, const std::string& dir) {
    std::string what, err, out;
    bool ids = false;
    std::vector<GwsOpt> opts = {{"--what", &what}};
    opts.push_back({"--ids", nullptr, nullptr, &ids});
    if (Gwssim_Parse_Options(argc, argv, 3, opts, err) != 0) return Usage(err);
    if (Gwssim_Dump(dir, what, out, err, ids) != 0) return Fail(err);
    return Gwssim_Print(out) == 0 ? 0 : 1;
}

// A file of OWNER's My Drive shared with OTHER, who then finds it in his file list.
int Cmd_Share(int argc, char** argv, const std::string& dir) {
    std::string owner, item, with, role = "reader", err;
    std::vector<GwsOpt> opts = {{"--user", &owner}, {"--item", &item}, {"--with", &with}, {"--role", &role}};
    if (Gwssim_Parse_Options(argc, argv, 3, opts, err) != 0) return Usage(err);
    if (owner.empty() || item.empty() || with.empty()) return Usage("share needs --user, --item and --with");
    if (role != "reader" && role != "commenter" && role != "writer") return Usage("--role is reader, commenter or writer");
    return Gwssim_Share_Item(dir, owner, item, with, role, err) == 0 ? 0 : Fail(err);
}

struct LockFd {
    int fd = -1;
    ~LockFd() { if (fd >= 0) close(fd); }
};

int Cmd_Fault(int argc, char** argv, const std::string& dir) {
    if (argc < 4) return Usage("fault needs add, clear or list");
    std::string sub = argv[3];
    LockFd lock;
    if (Gwssim_Lock_Calls(dir, lock.fd) != 0) return Fail("no domain folder " + dir);
    std::vector<GwsFaultRule> rules;
    if (Gwssim_Load_Faults(dir, rules) != 0) return Fail("unreadable " + dir + "/faults.json");
    if (sub == "clear" && argc == 4) return Gwssim_Save_Faults(dir, {}) == 0 ? 0 : Fail("cannot write faults");
    if (sub == "list" && argc == 4) {
        GwsJson o;
        std::string text = "{\"rules\": []}\n";
        if (Gwssim_Json_Load(dir + "/faults.json", o) == 0) text = Gwssim_Json_Text(o.get(), true) + "\n";
        return Gwssim_Print(text) == 0 ? 0 : 1;
    }
    if (sub != "add") return Usage("fault needs add, clear or list");
    GwsFaultRule r;
    std::string times, skip, ex, ms, err;
    std::vector<GwsOpt> opts = {{"--tool", &r.tool}, {"--action", &r.action}, {"--times", &times},
                                {"--skip", &skip},   {"--exit", &ex}, {"--ms", &ms}};
    opts.push_back({"--match", nullptr, &r.match});
    if (Gwssim_Parse_Options(argc, argv, 4, opts, err) != 0) return Usage(err);
    if (r.tool.empty()) return Usage("fault add needs --tool (a tool name or *)");
    if (!Gwssim_Is_Fault_Action(r.action))
        return Usage("--action is one of fail, conn, unreachable, empty, hang, hang_noterm, truncate, garbage, fail_after, "
                     "conn_after, delay");
    for (auto [text, dest] : {std::pair{&times, &r.times}, std::pair{&skip, &r.skip}, std::pair{&ex, &r.exit},
                                  std::pair{&ms, &r.ms}}) {
        if (!text->empty() && !Gwssim_Parse_Count(*text, *dest)) return Usage("not a count: " + *text);
    }
    if (r.exit > 255) return Usage("--exit must be 0 to 255");
    rules.push_back(r);
    return Gwssim_Save_Faults(dir, rules) == 0 ? 0 : Fail("cannot write faults");
}

// One line per call, start and end joined by pid (a pid is unique among running processes, and
// a call's end follows its start).
int Cmd_Calls(int argc, char** argv, const std::string& dir) {
    bool clear = false;
    std::vector<GwsOpt> opts;
    opts.push_back({"--clear", nullptr, nullptr, &clear});
    std::string err;
    if (Gwssim_Parse_Options(argc, argv, 3, opts, err) != 0) return Usage(err);
    LockFd lock;
    if (Gwssim_Lock_Calls(dir, lock.fd) != 0) return Fail("no domain folder " + dir);
    if (clear) return Gwssim_Write_File(dir + "/calls.jsonl", "") == 0 ? 0 : Fail("cannot clear the call log");
    std::string text;
    if (Gwssim_Read_File(dir + "/calls.jsonl", text) == -1) return Fail("unreadable call log");
    std::vector<GwsJson> calls;
    std::map<long long, size_t> open_by_pid;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        GwsJson o = Gwssim_Json_Parse(text.substr(pos, nl - pos));
        pos = nl + 1;
        if (!o) continue;
        std::string ev = Gwssim_Json_Str(o.get(), "event");
        long long pid = Gwssim_Json_Int(o.get(), "pid", -1);
        if (ev == "start") {
            json_object_object_del(o.get(), "event");
            open_by_pid[pid] = calls.size();
            calls.push_back(std::move(o));
        } else if (ev == "end") {
            auto f = open_by_pid.find(pid);
            if (f == open_by_pid.end()) continue;
            json_object* c = calls[f->second].get();
            Gwssim_Json_Put_Int(c, "exit", Gwssim_Json_Int(o.get(), "exit", -1));
            Gwssim_Json_Put_Str(c, "end", Gwssim_Json_Str(o.get(), "time"));
            open_by_pid.erase(f);
        }
    }
    std::string out;
    for (auto& c : calls) {
        json_object* e = nullptr;
        if (!json_object_object_get_ex(c.get(), "exit", &e)) json_object_object_add(c.get(), "exit", nullptr);
        out += Gwssim_Json_Text(c.get()) + "\n";
    }
    return Gwssim_Print(out) == 0 ? 0 : 1;
}

// The account as Google has it after it was deleted and created again: an empty My Drive under a
// new root id (what else of it the domain keeps is left as it is).
int Cmd_Recreate(int argc, char** argv, const std::string& dir) {
    std::string user, err;
    std::vector<GwsOpt> opts = {{"--user", &user}};
    if (Gwssim_Parse_Options(argc, argv, 3, opts, err) != 0) return Usage(err);
    if (!opts[0].seen) return Usage("recreate needs --user");
    GwsDomain dom;
    if (Gwssim_Load_Domain(dir, dom) != 0) return Fail("no domain in " + dir);
    if (Gwssim_Find_User(dom, user) == nullptr) return Fail("no user " + user);
    GwsLock lock;
    GwsDrive drive;
    if (Gwssim_Lock_State(dir, lock) != 0 || Gwssim_New_Id(dir, "file", drive.root_id) != 0)
        return Fail("cannot write " + dir);
    return Gwssim_Save_Drive(dir, user, drive) == 0 ? 0 : Fail("cannot write the drive of " + user);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage("");
    std::string cmd = argv[1], dir = argv[2];
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (cmd == "init") return Cmd_Init(argc, argv, dir);
    if (cmd == "key") return Cmd_Key(argc, argv, dir);
    if (cmd == "dump") return Cmd_Dump(argc, argv, dir);
    if (cmd == "fault") return Cmd_Fault(argc, argv, dir);
    if (cmd == "calls") return Cmd_Calls(argc, argv, dir);
    if (cmd == "share") return Cmd_Share(argc, argv, dir);
    if (cmd == "recreate") return Cmd_Recreate(argc, argv, dir);
    return Usage("unknown command " + cmd);
}
