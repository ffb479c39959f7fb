// The NAS side: the volume, users with crypt(3) passwords, and shares.
//   passwd:      <user>:<crypt hash>:<user type>:<apps>   (apps: comma list, or * for all)
//   shares.conf: <share name>=<physical folder>
#include "nasplat_store.h"
#include "plat_nas.h"
#include "plat_root.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <crypt.h>
#include <memory>
#include <openssl/crypto.h>
#include <sys/statvfs.h>

namespace {

const char kPasswd[] = "passwd";
const char kShares[] = "shares.conf";

bool Has_Control_Char(std::string_view s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

bool Parse_User_Line(std::string_view line, Nas_User& u) {
    std::vector<std::string_view> f = nasplat::Split(line, ':');
    long long type = 0;
    if (f.size() != 4 || !nasplat::Is_Plain_Name(f[0]) || f[1].empty() ||
        !nasplat::Parse_Int64(f[2], INT32_MIN, INT32_MAX, type))
        return false;
    u.strName = f[0];
    u.strHash = f[1];
    u.idUserType = static_cast<int>(type);
    u.strApps = f[3];
    return true;
}

int Read_Users(std::vector<Nas_User>& users) {
    std::string text;
    int rc = nasplat::Read_Text_File(nasplat::Store_Path(kPasswd), text);
    if (rc == -2) return 0;  // no file yet: no users
    if (rc != 0) return rc;
    for (std::string_view line : nasplat::Split_Lines(text)) {
        Nas_User u;
        if (Parse_User_Line(line, u)) users.push_back(std::move(u));
    }
    return 0;
}

struct Crypt_Data_Deleter {
    void operator()(crypt_data* d) const {
        explicit_bzero(d, sizeof *d);
        delete d;
    }
};
using Crypt_Data = std::unique_ptr<crypt_data, Crypt_Data_Deleter>;

// crypt(3) of phrase with setting (a hash or a fresh salt); empty on failure.
std::string Hash_With(const char* phrase, const char* setting) {
    Crypt_Data data(new crypt_data());
    const char* h = crypt_rn(phrase, setting, data.get(), sizeof *data);
    if (!h || h[0] == '*') return std::string();
    return h;
}

std::string Fresh_Setting() {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting)) return std::string();
    return setting;
}

bool Is_Share_Name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
           name.find_first_of("/=\\") == std::string_view::npos && !Has_Control_Char(name);
}

int Read_Shares(std::vector<std::pair<std::string, std::string>>& shares) {
    std::string text;
    int rc = nasplat::Read_Text_File(nasplat::Store_Path(kShares), text);
    if (rc == -2) return 0;
    if (rc != 0) return rc;
    for (std::string_view line : nasplat::Split_Lines(text)) {
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view name = line.substr(0, eq), path = line.substr(eq + 1);
        if (!Is_Share_Name(name) || path.empty() || path[0] != '/') continue;
        shares.emplace_back(name, path);
    }
    return 0;
}

}  // namespace

int Get_Nas_Volume_Info(int, _T_VOLUME_INFO_** out) {
    if (!out) return -22;
    struct statvfs sv;
    if (statvfs(Plat_Root_Path("/").c_str(), &sv) != 0) return -errno;
    auto* info = static_cast<_T_VOLUME_INFO_*>(malloc(sizeof(_T_VOLUME_INFO_)));
    if (!info) return -12;
    info->cbSize = static_cast<uint64_t>(sv.f_blocks) * sv.f_frsize;
    info->cbUsed = static_cast<uint64_t>(sv.f_blocks - sv.f_bfree) * sv.f_frsize;
    *out = info;
    return 0;
}

int Nas_User_Get(const char* user, Nas_User& out) {
    if (!user) return -22;
    std::vector<Nas_User> users;
    if (int rc = Read_Users(users); rc != 0) return rc;
    for (Nas_User& u : users) {
        if (u.strName != user) continue;
        out = std::move(u);
        return 0;
    }
    return -2;
}

int Verify_User_Passwd(const char* user, const char* pw) {
    if (!user || !pw) return -22;
    Nas_User u;
    if (Nas_User_Get(user, u) != 0) {
        // Spend the time a known user costs, so the answer does not tell which names exist.
        std::string setting = Fresh_Setting();
        if (!setting.empty()) Hash_With(pw, setting.c_str());
        return -1;
    }
    std::string h = Hash_With(pw, u.strHash.c_str());
    if (h.empty() || h.size() != u.strHash.size() ||
        CRYPTO_memcmp(h.data(), u.strHash.data(), h.size()) != 0)
        return -1;
    return 0;
}

int Nas_User_Add(const char* user, const char* password, int type, const char* apps) {
    if (!user || !password || !apps || !nasplat::Is_Plain_Name(user) || !*password ||
        !nasplat::Is_App_List(apps, false))
        return -22;
    std::string setting = Fresh_Setting();
    std::string hash = setting.empty() ? std::string() : Hash_With(password, setting.c_str());
    if (hash.empty() || hash.find(':') != std::string::npos) return -1;
    std::string path = nasplat::Store_Path(kPasswd);
    nasplat::Store_Lock lock(path);
    if (!lock.ok()) return lock.error();
    std::vector<Nas_User> users;
    if (int rc = Read_Users(users); rc != 0) return rc;
    Nas_User added{user, hash, type, apps};
    bool replaced = false;
    for (Nas_User& u : users)
        if (u.strName == user) {
            u = added;
            replaced = true;
        }
    if (!replaced) users.push_back(added);
    std::string text;
    for (const Nas_User& u : users)
        text += u.strName + ":" + u.strHash + ":" + std::to_string(u.idUserType) + ":" + u.strApps + "\n";
    return nasplat::Write_File_Atomic(path, text, 0600);
}

int Nas_Share_Add(const char* name, const char* path) {
    if (!name || !path || !Is_Share_Name(name) || path[0] != '/' || Has_Control_Char(path)) return -22;
    std::string phys = GeneralPath(path).Head_Slashed();
    std::string file = nasplat::Store_Path(kShares);
    nasplat::Store_Lock lock(file);
    if (!lock.ok()) return lock.error();
    std::vector<std::pair<std::string, std::string>> shares;
    if (int rc = Read_Shares(shares); rc != 0) return rc;
    bool replaced = false;
    for (auto& share : shares)
        if (share.first == name) {
            share.second = phys;
            replaced = true;
        }
    if (!replaced) shares.emplace_back(name, phys);
    std::string text;
    for (const auto& [n, p] : shares) text += n + "=" + p + "\n";
    return nasplat::Write_File_Atomic(file, text, 0644);
}

int Nas_Share_List(std::vector<std::pair<std::string, std::string>>& out) {
    std::vector<std::pair<std::string, std::string>> shares;
    if (int rc = Read_Shares(shares); rc != 0) return rc;
    out = std::move(shares);
    return 0;
}

int Get_Phy_Path(const char* sharePath, std::string& out) {
    if (!sharePath || strchr(sharePath, '\\') || Has_Control_Char(sharePath)) return -22;
    std::vector<std::string_view> parts;
    for (std::string_view part : nasplat::Split(sharePath, '/')) {
        if (part.empty()) continue;
        if (part == "." || part == "..") return -22;
        parts.push_back(part);
    }
    if (parts.empty()) return -22;
    std::vector<std::pair<std::string, std::string>> shares;
    if (int rc = Read_Shares(shares); rc != 0) return rc;
    for (const auto& [name, phys] : shares) {
        if (name != parts[0]) continue;
        std::string path = phys == "/" ? std::string() : phys;
        for (size_t i = 1; i < parts.size(); ++i) (path += '/') += parts[i];
        if (path.empty()) path = "/";
        // A link inside the share may point anywhere: what the path names must lie in the share.
        std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
        std::unique_ptr<char, decltype(&free)> top(realpath(phys.c_str(), nullptr), &free);
        if (real && top) {
            const std::string r(real.get()), t(top.get());
            if (r != t && (t == "/" ? r.empty() : r.compare(0, t.size() + 1, t + "/") != 0)) return -22;
        }
        out = path;
        return 0;
    }
    return -2;
}

GeneralPath::GeneralPath(const char* path) {
    std::string p = "/";
    for (const char* c = path ? path : ""; *c; ++c)
        if (*c != '/' || p.back() != '/') p += *c;
    m_strBoth = p.back() == '/' ? p : p + "/";
    if (p.size() > 1 && p.back() == '/') p.pop_back();
    m_strHead = p;
}
