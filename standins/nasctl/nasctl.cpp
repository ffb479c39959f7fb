// nasctl: the NAS administrator's side, for a root made by hand or by tests.
//   nasctl useradd USER PASSWORD [--type N] [--apps LIST]
//   nasctl login USER PASSWORD [--apps LIST] [--ttl SECONDS]   prints the new session id
//   nasctl logout SID
//   nasctl share add NAME PATH
//   nasctl share list
// Works on Plat_Root_Path("/etc/nasplat"), i.e. under QLM_ROOT when that is set.
#include "plat_nas.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;
constexpr long long kDefaultTtl = 3600;

int Usage() {
    fputs("usage: nasctl useradd USER PASSWORD [--type N] [--apps LIST]\n"
          "       nasctl login USER PASSWORD [--apps LIST] [--ttl SECONDS]\n"
          "       nasctl logout SID\n"
          "       nasctl share add NAME PATH\n"
          "       nasctl share list\n",
          stderr);
    return kExitUsage;
}

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
};

// Splits argv into words and "--name value" options; false for an option without its value or
// one that is not among allowed.
bool Parse_Args(int argc, char** argv, int first, const std::vector<std::string>& allowed, Args& a) {
    for (int i = first; i < argc; ++i) {
        std::string w = argv[i];
        if (w.rfind("--", 0) != 0) {
            a.positional.push_back(w);
            continue;
        }
        bool known = false;
        for (const std::string& opt : allowed) known = known || opt == w;
        if (!known || i + 1 >= argc) return false;
        a.options[w] = argv[++i];
    }
    return true;
}

bool To_Number(const std::string& text, long long lo, long long hi, long long& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == ' ' || v < lo || v > hi) return false;
    out = v;
    return true;
}

const char* Option(const Args& a, const char* name, const char* fallback) {
    auto it = a.options.find(name);
    return it == a.options.end() ? fallback : it->second.c_str();
}

int Fail(const char* what, int rc) {
    fprintf(stderr, "nasctl: %s failed (%d)\n", what, rc);
    return kExitFail;
}

int User_Add(const Args& a) {
    if (a.positional.size() != 2) return Usage();
    long long type = 1;
    if (!To_Number(Option(a, "--type", "1"), INT32_MIN, INT32_MAX, type)) return Usage();
    int rc = Nas_User_Add(a.positional[0].c_str(), a.positional[1].c_str(), static_cast<int>(type),
                          Option(a, "--apps", "*"));
    return rc == 0 ? 0 : Fail("useradd", rc);
}

int Login(const Args& a) {
    if (a.positional.size() != 2) return Usage();
    long long ttl = kDefaultTtl;
    if (a.options.count("--ttl") && !To_Number(a.options.at("--ttl"), 1, INT64_MAX, ttl)) return Usage();
    std::string sid;
    int rc = Nas_Session_Create(a.positional[0].c_str(), a.positional[1].c_str(),
                                Option(a, "--apps", nullptr), ttl, sid);
    if (rc == -1) {
        fputs("nasctl: wrong user name or password\n", stderr);
        return kExitFail;
    }
    if (rc != 0) return Fail("login", rc);
    printf("%s\n", sid.c_str());
    return 0;
}

int Logout(const Args& a) {
    if (a.positional.size() != 1) return Usage();
    int rc = Nas_Session_Remove(a.positional[0].c_str());
    return rc == 0 ? 0 : Fail("logout", rc);
}

int Share(const Args& a) {
    if (a.positional.size() == 3 && a.positional[0] == "add") {
        int rc = Nas_Share_Add(a.positional[1].c_str(), a.positional[2].c_str());
        return rc == 0 ? 0 : Fail("share add", rc);
    }
    if (a.positional.size() == 1 && a.positional[0] == "list") {
        std::vector<std::pair<std::string, std::string>> shares;
        if (int rc = Nas_Share_List(shares); rc != 0) return Fail("share list", rc);
        for (const auto& [name, path] : shares) printf("%s\t%s\n", name.c_str(), path.c_str());
        return 0;
    }
    return Usage();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string cmd = argv[1];
    Args a;
    if (cmd == "useradd") return Parse_Args(argc, argv, 2, {"--type", "--apps"}, a) ? User_Add(a) : Usage();
    if (cmd == "login") return Parse_Args(argc, argv, 2, {"--apps", "--ttl"}, a) ? Login(a) : Usage();
    if (cmd == "logout") return Parse_Args(argc, argv, 2, {}, a) ? Logout(a) : Usage();
    if (cmd == "share") return Parse_Args(argc, argv, 2, {}, a) ? Share(a) : Usage();
    return Usage();
}
