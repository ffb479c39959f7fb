#include "gam_cfg.h"

#include <gwssim/state.h>

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool Is_Dir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string Gam_Cfg_Dir() {
    if (const char* v = getenv("GAMCFGDIR"); v && *v) return v;
    std::string root;
    if (const char* v = getenv("QLM_ROOT")) root = v;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (root.size() < 2 || root[0] != '/' || !Is_Dir(root)) root.clear();
    return root + "/root/.gam";
}

int Gam_Make_Default_Cfg(const std::string& dir, std::string& err) {
    // The folder and any missing parent (under a test root, its "root" folder) with mode 0700.
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            err = "Cannot create " + part + ": " + strerror(errno);
            return 1;
        }
        if (slash == std::string::npos) break;
    }
    std::string path = dir + "/gam.cfg";
    std::string text =
        "# GAM configuration, written by the first run; the system fills in section DEFAULT.\n"
        "[DEFAULT]\n"
        "admin_email = \n"
        "customer_id = my_customer\n"
        "domain = \n"
        "enable_dasa = false\n"
        "config_dir = " + dir + "\n"
        "\n"
        "[gam_stand_in]\n"
        "version = 1\n";
    // Written aside, then linked into place: readers see the whole file or none, and link()
    // never replaces a gam.cfg that is already there (it is the configuration in use).
    std::string tmp = path + ".new." + std::to_string(getpid());
    if (Gwssim_Write_File(tmp, text) != 0) {
        err = "Cannot write " + tmp;
        return 1;
    }
    int rc = link(tmp.c_str(), path.c_str()) == 0 || errno == EEXIST ? 0 : errno;
    unlink(tmp.c_str());
    if (rc != 0) {
        err = "Cannot create " + path + ": " + strerror(rc);
        return 1;
    }
    return 0;
}

bool Gam_Cfg_True(const std::string& text) {
    for (const char* t : {"true", "yes", "on", "1"})
        if (strcasecmp(text.c_str(), t) == 0) return true;
    return false;
}

int Gam_Read_Cfg(const std::string& dir, GamCfg& cfg, std::string& err) {
    std::ifstream in(dir + "/gam.cfg");
    if (!in) {
        err = "Config file " + dir + "/gam.cfg does not exist";
        return 1;
    }
    cfg = GamCfg{};
    bool in_default = false, seen = false;
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            in_default = line == "[DEFAULT]";
            seen = seen || in_default;
            continue;
        }
        size_t eq = line.find('=');
        if (!in_default || eq == std::string::npos) continue;
        std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (key == "domain") cfg.domain = value;
        else if (key == "admin_email") cfg.admin_email = value;
        else if (key == "customer_id") cfg.customer_id = value;
        else if (key == "enable_dasa") cfg.enable_dasa = Gam_Cfg_True(value);
    }
    if (!seen) {
        err = "Config file " + dir + "/gam.cfg has no section DEFAULT";
        return 1;
    }
    return 0;
}
