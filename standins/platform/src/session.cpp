// NAS login sessions: one file per session under the platform root, named by the session id
// that the browser carries in the cookie NAS_SID.
//   user=<name>  type=<user type>  expires=<epoch seconds>  apps=<comma list or *>
#include "nasplat_store.h"
#include "plat_cgi.h"
#include "plat_nas.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <sys/random.h>
#include <unistd.h>

namespace {

constexpr char kCookieName[] = "NAS_SID";
constexpr int kErrInvalid = -1;
constexpr int kErrRefused = -256;

bool Is_Session_Id(std::string_view sid) {
    if (sid.size() < 16 || sid.size() > 64) return false;
    for (char c : sid)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    return true;
}

std::string Session_Path(std::string_view sid) { return nasplat::Store_Path("sessions/" + std::string(sid)); }

// The value of the first NAS_SID cookie of an HTTP Cookie header, if any.
std::optional<std::string_view> Cookie_Session_Id(const char* header) {
    if (!header) return std::nullopt;
    for (std::string_view item : nasplat::Split(header, ';')) {
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
        size_t eq = item.find('=');
        if (eq == std::string_view::npos || item.substr(0, eq) != kCookieName) continue;
        std::string_view value = item.substr(eq + 1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
        return value;
    }
    return std::nullopt;
}

bool App_Allowed(std::string_view apps, std::string_view app) {
    if (apps == "*") return true;
    if (apps.empty()) return false;
    for (std::string_view a : nasplat::Split(apps, ','))
        if (a == app) return true;
    return false;
}

struct Session {
    std::string strUser;
    long long llType = 0;
    long long llExpires = 0;
    std::string strApps;
};

// Every key once, every value well-formed; anything else is not a session.
bool Parse_Session(std::string_view text, Session& s) {
    bool user = false, type = false, expires = false, apps = false;
    for (std::string_view line : nasplat::Split_Lines(text)) {
        if (line.empty()) continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) return false;
        std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
        bool* seen = nullptr;
        bool ok = false;
        if (key == "user") {
            seen = &user;
            ok = nasplat::Is_Plain_Name(value);
            s.strUser = value;
        } else if (key == "type") {
            seen = &type;
            ok = nasplat::Parse_Int64(value, INT32_MIN, INT32_MAX, s.llType);
        } else if (key == "expires") {
            seen = &expires;
            ok = nasplat::Parse_Int64(value, 0, INT64_MAX, s.llExpires);
        } else if (key == "apps") {
            seen = &apps;
            ok = nasplat::Is_App_List(value, true);
            s.strApps = value;
        } else {
            continue;
        }
        if (!ok || *seen) return false;
        *seen = true;
    }
    return user && type && expires && apps;
}

// The apps of a new session: the user's, narrowed to the filter when one is given.
std::string Narrow_Apps(const std::string& userApps, const char* filter) {
    if (!filter || strcmp(filter, "*") == 0) return userApps;
    if (userApps == "*") return filter;
    std::string apps;
    for (std::string_view app : nasplat::Split(filter, ',')) {
        if (!App_Allowed(userApps, app) || App_Allowed(apps, app)) continue;
        if (!apps.empty()) apps += ',';
        apps += app;
    }
    return apps;
}

int New_Session_Id(std::string& sid) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    sid.clear();
    while (sid.size() < 32) {
        unsigned char bytes[64];
        ssize_t n = getrandom(bytes, sizeof bytes, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        for (ssize_t i = 0; i < n && sid.size() < 32; ++i)
            if (bytes[i] < 248) sid += kAlphabet[bytes[i] % 62];  // 248 = 4 * 62: no bias
    }
    return 0;
}

}  // namespace

int O_APP_CGI_AGENT::Revive_Session(int, const char* appId) {
    m_szUser[0] = '\0';
    m_idUserType = -1;
    std::optional<std::string_view> sid = Cookie_Session_Id(getenv("HTTP_COOKIE"));
    if (!sid || !Is_Session_Id(*sid)) return kErrInvalid;
    std::string text;
    if (nasplat::Read_Text_File(Session_Path(*sid), text, 4096) != 0) return kErrInvalid;
    Session s;
    if (!Parse_Session(text, s)) return kErrInvalid;
    if (static_cast<long long>(time(nullptr)) >= s.llExpires) return kErrInvalid;
    if (!appId || !App_Allowed(s.strApps, appId)) return kErrRefused;
    snprintf(m_szUser, sizeof m_szUser, "%s", s.strUser.c_str());
    m_idUserType = static_cast<int>(s.llType);
    return 0;
}

int Nas_Session_Create(const char* user, const char* password, const char* appsFilter,
                       int64_t ttlSeconds, std::string& sid) {
    if (!user || !password || ttlSeconds < 1 || ttlSeconds > (100LL * 365 * 86400)) return -22;
    if (appsFilter && !nasplat::Is_App_List(appsFilter, false)) return -22;
    if (Verify_User_Passwd(user, password) != 0) return -1;
    Nas_User u;
    if (Nas_User_Get(user, u) != 0) return -1;
    std::string id;
    if (int rc = New_Session_Id(id); rc != 0) return rc;
    char body[512];
    snprintf(body, sizeof body, "user=%s\ntype=%d\nexpires=%lld\n", u.strName.c_str(), u.idUserType,
             static_cast<long long>(time(nullptr)) + static_cast<long long>(ttlSeconds));
    std::string content = body;
    content += "apps=" + Narrow_Apps(u.strApps, appsFilter) + "\n";
    if (int rc = nasplat::Write_File_Atomic(Session_Path(id), content, 0600); rc != 0) return rc;
    sid = id;
    return 0;
}

int Nas_Session_Remove(const char* sid) {
    if (!sid || !Is_Session_Id(sid)) return -22;
    if (unlink(Session_Path(sid).c_str()) != 0) return errno == ENOENT ? -2 : -errno;
    return 0;
}
