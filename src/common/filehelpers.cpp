#include "common/filehelpers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "common/guards.h"
#include "common/clock.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "plat_file.h"
#include "plat_json.h"

namespace {

constexpr int kErrArg = -22;
constexpr int kErrFolder = -161;
constexpr int kMaxCopySuffix = 99999;

struct Dir_Closer {
    void operator()(DIR* d) const { closedir(d); }
};
using Dir_Ptr = std::unique_ptr<DIR, Dir_Closer>;

// Calls f(name) for every entry but "." and ".."; -1 when the folder cannot be opened.
template <typename F>
int For_Each_Entry(const char* path, F&& f) {
    if (path == nullptr) return -1;
    Dir_Ptr dir(opendir(path));
    if (!dir) return -1;
    while (const dirent* e = readdir(dir.get())) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        f(e->d_name);
    }
    return 0;
}

bool Ends_With(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

enum class Account_Kind { Folder, Db_File };

// The account entries of one service store of a task. A lock file beside the account folders, or a
// catalog's journal beside the catalogs, would otherwise become a bogus account.
int List_Backuped_User(std::string_view service, Account_Kind kind, const char* pszTaskID,
                       std::vector<std::string>& vResult) {
    if (pszTaskID == nullptr || !qlm::Is_Single_Path_Component(pszTaskID)) return kErrArg;
    const std::string dir = qlm::Backup_Service_Dir(service) + "/" + pszTaskID;
    std::vector<std::string> names;
    if (Get_Folder_Name_List(names, dir.c_str(), kind == Account_Kind::Db_File) != 0) return kErrFolder;
    for (const std::string& name : names) {
        struct stat st;
        if (lstat((dir + "/" + name).c_str(), &st) != 0) continue;
        bool keep = kind == Account_Kind::Folder
                        ? S_ISDIR(st.st_mode)
                        : S_ISREG(st.st_mode) && name.size() > 3 && Ends_With(name, ".db");
        if (keep) vResult.push_back(name);
    }
    return 0;
}

// dst with "(n)" before its extension; the extension starts at the last "." of the last component.
std::string Numbered_Name(const std::string& dst, int n) {
    size_t dot = dst.rfind('.');
    size_t sep = dst.find_last_of("/\\");
    if (dot == std::string::npos || (sep != std::string::npos && dot < sep)) dot = dst.size();
    return dst.substr(0, dot) + "(" + std::to_string(n) + ")" + dst.substr(dot);
}

// The name of a header line's filename="..." (or, without one, its name="..."); false when it has
// neither.
bool Named_File(const std::string& line, std::string& name) {
    for (const char* marker : {"filename=\"", "name=\""}) {
        size_t at = line.find(marker);
        if (at == std::string::npos) continue;
        size_t start = at + strlen(marker);
        size_t end = line.find('"', start);
        name = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
        return true;
    }
    return false;
}

}  // namespace

int GetFolderList(std::vector<std::string>& vFolderList, const char* Path) {
    For_Each_Entry(Path, [&](const char* name) { vFolderList.emplace_back(name); });
    return 0;
}

int Get_Folder_Name_List(std::vector<std::string>& vResult, const char* pszTarget, bool bIncloudDBFile) {
    int rc = For_Each_Entry(pszTarget, [&](const char* name) {
        if (bIncloudDBFile || !Ends_With(name, ".db")) vResult.emplace_back(name);
    });
    return rc == 0 ? 0 : kErrFolder;
}

void listFiles(const std::string& path, std::vector<std::string>& files) {
    For_Each_Entry(path.c_str(), [&](const char* name) {
        std::string full = path + name;
        struct stat st;
        if (stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(std::move(full));
    });
}

int64_t get_folder_size(const std::string& folder_path) {
    int64_t total = 0;
    For_Each_Entry(folder_path.c_str(), [&](const char* name) {
        std::string full = folder_path + "/" + name;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0) return;
        if (S_ISDIR(st.st_mode))
            total += get_folder_size(full);
        else if (S_ISREG(st.st_mode))
            total += static_cast<int64_t>(st.st_size);
    });
    return total;
}

int List_Gmail_Backuped_User(const char* pszTaskID, std::vector<std::string>& vResult) {
    return List_Backuped_User("gmail", Account_Kind::Folder, pszTaskID, vResult);
}

int List_Drive_Backuped_User(const char* pszTaskID, std::vector<std::string>& vResult) {
    return List_Backuped_User("drive", Account_Kind::Folder, pszTaskID, vResult);
}

int List_Calendar_Backuped_User(const char* pszTaskID, std::vector<std::string>& vResult) {
    return List_Backuped_User("calendar_db", Account_Kind::Db_File, pszTaskID, vResult);
}

int List_Contact_Backuped_User(const char* pszTaskID, std::vector<std::string>& vResult) {
    return List_Backuped_User("contact_db", Account_Kind::Db_File, pszTaskID, vResult);
}

void SafeCopyFile(const std::string& src, const std::string& dst) {
    struct stat srcSt, dstSt;
    if (stat(src.c_str(), &srcSt) != 0 || !S_ISREG(srcSt.st_mode)) return;
    if (stat(dst.c_str(), &dstSt) == 0 && dstSt.st_dev == srcSt.st_dev && dstSt.st_ino == srcSt.st_ino) return;

    // Reserving the name with O_EXCL settles "does it exist" and "create it" in one step, and
    // O_EXCL never creates through a symlink, dangling or not.
    const mode_t mode = srcSt.st_mode & 0777;
    std::string target = dst;
    FdGuard out{-1};
    for (int n = 0; n <= kMaxCopySuffix; ++n) {
        if (n > 0) target = Numbered_Name(dst, n);
        out.fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (out.fd >= 0 || errno != EEXIST) break;
    }
    if (out.fd < 0) return;
    if (Copy_File_To_Fd(src.c_str(), out.fd) != 0) unlink(target.c_str());
}

std::string Link_Or_Copy_Free_At(const std::string& src, int dirFd, const std::string& name) {
    struct stat srcSt;
    if (lstat(src.c_str(), &srcSt) != 0 || !S_ISREG(srcSt.st_mode)) return "";
    for (int n = 0; n <= kMaxCopySuffix; ++n) {
        const std::string target = n > 0 ? Numbered_Name(name, n) : name;
        // linkat() takes the source itself, never what a link there points to, and never creates
        // through an existing name; the check after it settles a source swapped meanwhile.
        if (linkat(AT_FDCWD, src.c_str(), dirFd, target.c_str(), 0) == 0) {
            struct stat st;
            if (fstatat(dirFd, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) return target;
            unlinkat(dirFd, target.c_str(), 0);
            return "";
        }
        if (errno == EEXIST) continue;
        FdGuard out{openat(dirFd, target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           srcSt.st_mode & 0777)};
        if (out.fd < 0) {
            if (errno == EEXIST) continue;
            return "";
        }
        if (Copy_File_To_Fd(src.c_str(), out.fd) != 0) {
            unlinkat(dirFd, target.c_str(), 0);
            return "";
        }
        return target;
    }
    return "";
}

std::string Link_Or_Copy_Free(const std::string& src, const std::string& dst) {
    const size_t slash = dst.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dst.substr(0, slash);
    const FdGuard folder{open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (folder.fd < 0) return "";
    const std::string made = Link_Or_Copy_Free_At(src, folder.fd, dst.substr(slash + 1));
    return made.empty() || slash == std::string::npos ? made : dst.substr(0, slash + 1) + made;
}

std::string Make_Or_Join_Folder_At(int dirFd, const std::string& name) {
    for (int n = 0; n < 1000; ++n) {
        const std::string made = n > 0 ? name + "(" + std::to_string(n) + ")" : name;
        if (mkdirat(dirFd, made.c_str(), 0700) == 0) return made;
        struct stat st;
        if (errno != EEXIST || fstatat(dirFd, made.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return "";
        if (S_ISDIR(st.st_mode)) return made;
    }
    return "";
}

int Folder_Below::Open(int rootFd, const std::string& path) {
    if (path.empty()) return rootFd;
    if (fd.fd >= 0 && rel == path) return fd.fd;
    fd.Reset();
    rel.clear();
    FdGuard at;
    int parent = rootFd;
    for (size_t start = 0;;) {
        const size_t slash = path.find('/', start);
        const std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        const int next = openat(parent, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) return -1;
        at.Reset(next);
        parent = next;
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    fd.Reset(at.fd);
    at.fd = -1;
    rel = path;
    return fd.fd;
}

bool IsSameDomain(std::string email1, std::string email2) {
    size_t at1 = email1.find('@');
    size_t at2 = email2.find('@');
    if (at1 == std::string::npos || at2 == std::string::npos) return false;
    // A domain name is one whatever the letter case of its ASCII letters (Example.com is example.com),
    // and with or without the trailing dot of its absolute form (example.com. is example.com).
    auto domain = [](const std::string& email, size_t at) {
        std::string d = email.substr(at + 1);
        if (!d.empty() && d.back() == '.') d.pop_back();
        for (char& c : d)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return d;
    };
    return domain(email1, at1) == domain(email2, at2);
}

std::string trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    size_t first = s.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    size_t last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

Base64_Parts Base64_Parts_By_Filename(const std::string& filepath, const std::set<std::string>& targetFilenames) {
    Base64_Parts found;
    std::ifstream in(filepath, std::ios::binary);
    // The wanted names the current part has named: -1 while not collecting, else where the name's
    // body starts in the part's collected text. Every name collecting shares that one text.
    std::map<std::string, long long> named;
    bool base64 = false, collecting = false;
    std::string collected;
    auto endPart = [&] {
        if (collecting) {
            // One copy of each body, however many names share it.
            std::map<long long, std::shared_ptr<const std::string>> bodies;
            bodies[0] = std::make_shared<const std::string>(std::move(collected));
            const std::string& whole = *bodies[0];
            for (const auto& [name, from] : named) {
                if (from < 0 || static_cast<size_t>(from) >= whole.size()) continue;
                std::shared_ptr<const std::string>& body = bodies[from];
                if (!body) body = std::make_shared<const std::string>(whole.substr(static_cast<size_t>(from)));
                found.emplace(name, body);
            }
        }
        named.clear();
        collected.clear();
        base64 = collecting = false;
    };
    std::string raw, name;
    while (std::getline(in, raw)) {
        const std::string line = trim(raw);
        if (line.compare(0, 2, "--") == 0) {
            endPart();
            continue;
        }
        if (Named_File(line, name) && targetFilenames.count(name) != 0 && found.count(name) == 0) named.emplace(name, -1);
        if (line.find("Content-Transfer-Encoding:") != std::string::npos && line.find("base64") != std::string::npos) {
            base64 = true;
            continue;
        }
        if (collecting) collected += line;
        if (!line.empty() || !base64) continue;
        for (auto& entry : named) {
            if (entry.second >= 0) continue;
            entry.second = static_cast<long long>(collected.size());
            collecting = true;
        }
    }
    endPart();
    return found;
}

std::string extractFirstBase64ByFilename(const std::string& filepath, const std::string& targetFilename) {
    const Base64_Parts parts = Base64_Parts_By_Filename(filepath, {targetFilename});
    const auto it = parts.find(targetFilename);
    return it == parts.end() ? std::string() : *it->second;
}

std::string Get_New_Mission_Name() {
    const time_t now = qlm::Now();
    struct tm tm = {};
    localtime_r(&now, &tm);
    char prefix[32];
    snprintf(prefix, sizeof prefix, "Task%d%02d%02d-", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);

    // Scheduled and running missions; the history folder is below the running ones and not read.
    std::vector<std::string> files;
    listFiles(qlm::Scheduling_Mission_Dir() + "/", files);
    listFiles(qlm::Mission_Dir() + "/", files);
    std::set<std::string> taken;
    for (const std::string& file : files) {
        RAIIful_Json mission(Json_From_File(file.c_str()));
        const char* name = nullptr;
        if (mission && Json_Dict_Find_Str(mission.get(), "mission_name", name) == 0 && name != nullptr)
            taken.insert(name);
    }
    int n = 1;
    while (taken.count(prefix + std::to_string(n)) != 0) ++n;
    return prefix + std::to_string(n);
}
