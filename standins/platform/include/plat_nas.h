// The NAS side of the platform: volume, users and passwords, login sessions, shares and their
// physical paths. Users, sessions and shares are files under Plat_Root_Path("/etc/nasplat");
// only these functions read and write them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct _T_VOLUME_INFO_ {
    uint64_t cbSize;  // bytes in the volume
    uint64_t cbUsed;  // bytes in use
};

// The volume that holds the root. *out is malloc'd; the caller frees it with free. 0 or -errno.
int Get_Nas_Volume_Info(int vol, _T_VOLUME_INFO_** out);

// 0 when pw is the password of user; -1 when it is not or the user is unknown; -22 for NULL.
int Verify_User_Passwd(const char* user, const char* pw);

// The physical path of a share path as the browser gives it ("/Share/folder/sub"): the share's
// folder followed by the rest, without a trailing slash. -22 for an empty path, a "." or ".."
// component, a backslash or a control character, and for an existing path that a link leads out
// of the share's folder; -2 when the share is unknown. Share names are case-sensitive.
int Get_Phy_Path(const char* sharePath, std::string& out);

// A path in two spellings, duplicate slashes collapsed: "/a/b" and "/a/b/".
class GeneralPath {
public:
    explicit GeneralPath(const char* path);
    explicit GeneralPath(const std::string& path) : GeneralPath(path.c_str()) {}
    const std::string& Head_Slashed() const { return m_strHead; }
    const std::string& Both_Slashed() const { return m_strBoth; }

private:
    std::string m_strHead;
    std::string m_strBoth;
};

// Administration, for nasctl and tests.

struct Nas_User {
    std::string strName;
    std::string strHash;  // crypt(3) hash
    int idUserType = 0;
    std::string strApps;  // comma list of app ids, or "*" for every app
};

// Adds the user, or replaces the password, type and apps of an existing one. A name is 1 to 128
// of [A-Za-z0-9._-] not starting with "-"; apps is "*" or a comma list of such names. 0 or negative.
int Nas_User_Add(const char* user, const char* password, int type, const char* apps);
// 0 and out filled; -2 when there is no such user.
int Nas_User_Get(const char* user, Nas_User& out);

// Signs a user in: checks the password, then writes a session that lives ttlSeconds and may use
// the user's apps, narrowed to appsFilter when that is not NULL. sid gets the new session id.
// 0; -1 for a wrong password or unknown user; -22 for bad arguments; -errno when writing failed.
int Nas_Session_Create(const char* user, const char* password, const char* appsFilter,
                       int64_t ttlSeconds, std::string& sid);
// 0 when the session was removed; -2 when there was none; -22 for a malformed id.
int Nas_Session_Remove(const char* sid);

// Adds a share, or moves an existing one to another folder. name is one path component without
// "=", path an absolute folder path. 0 or negative.
int Nas_Share_Add(const char* name, const char* path);
// Every share as (name, physical path), in the order they were added.
int Nas_Share_List(std::vector<std::pair<std::string, std::string>>& out);
