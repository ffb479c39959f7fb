#include "common/atomicfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <json-c/json.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/guards.h"
#include "common/paths.h"
#include "common/procinfo.h"
#include "plat_file.h"
#include "plat_json.h"

namespace qlm {

namespace {

constexpr char kTempPrefix[] = "w.";

// Removes the temporary file unless it was renamed into place.
struct TempName {
    std::string path;
    bool keep = false;
    ~TempName() {
        if (!path.empty() && !keep) unlink(path.c_str());
    }
};

int Write_All(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Puts the finished temporary file in place of path. With bExistingOnly, only while path exists:
// the two names are exchanged, so a file removed meanwhile stays removed (the temporary name then
// holds the old content, which the caller removes); where names cannot be exchanged, the existence
// is checked just before the rename. 0 or -errno (-ENOENT: path is gone, nothing was put there).
int Put_In_Place(TempName& tmp, const std::string& path, bool bExistingOnly) {
    if (bExistingOnly) {
        if (renameat2(AT_FDCWD, tmp.path.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) return 0;
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -errno;
        if (access(path.c_str(), F_OK) != 0) return -ENOENT;
    }
    if (rename(tmp.path.c_str(), path.c_str()) != 0) return -errno;
    tmp.keep = true;
    return 0;
}

// One try with the temporary file made from tmpl ("...XXXXXX").
int Write_Via(std::string tmpl, const std::string& path, const std::string& data, mode_t mode, bool bExistingOnly) {
    TempName tmp;
    FdGuard f;
    f.fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (f.fd < 0) return -errno;
    tmp.path = tmpl;
    if (fchmod(f.fd, mode) != 0) return -errno;
    if (int r = Write_All(f.fd, data); r != 0) return r;
    if (fsync(f.fd) != 0) return -errno;
    int fd = f.fd;
    f.fd = -1;
    if (close(fd) != 0) return -errno;
    return Put_In_Place(tmp, path, bExistingOnly);
}

// ".<name>.XXXXXX" beside the target; the name is cut so the temporary name stays a legal length.
std::string Beside_Template(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() > 200) name.resize(200);
    return (dir == "/" ? "" : dir) + "/." + name + ".XXXXXX";
}

int Write_Whole(const std::string& path, const std::string& data, mode_t mode, bool bExistingOnly) {
    if (path.empty() || path.back() == '/') return -EINVAL;
    std::string tmpDir = Db_Tmp_Dir();
    // The folder holds the service-account keys too: whoever makes it first makes it private.
    int r = smbbackup::Create_Path(tmpDir.c_str(), 0700);
    if (r == 0) {
        r = Write_Via(tmpDir + "/" + kTempPrefix + std::to_string(getpid()) + ".XXXXXX", path, data, mode,
                      bExistingOnly);
        if (r != -EXDEV) return r;
    }
    // The temporary folder is on another file system (or cannot be made): stay beside the target.
    return Write_Via(Beside_Template(path), path, data, mode, bExistingOnly);
}

// The writer's pid of a temporary file's name; 0 when the name is no such file's.
pid_t Temp_File_Owner(const std::string& name) {
    const size_t n = strlen(kTempPrefix);
    if (name.compare(0, n, kTempPrefix) != 0) return 0;
    const size_t dot = name.find('.', n);
    const std::string digits = name.substr(n, dot == std::string::npos ? std::string::npos : dot - n);
    if (dot == std::string::npos || digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return static_cast<pid_t>(std::stol(digits));
}

}  // namespace

void Remove_Stale_Temp_Files() { Remove_Files_Of_Gone_Processes(Db_Tmp_Dir(), Temp_File_Owner); }

int Write_File_Atomic(const std::string& path, const std::string& data, mode_t mode) {
    return Write_Whole(path, data, mode, false);
}

int Replace_File_Atomic(const std::string& path, const std::string& data, mode_t mode) {
    return Write_Whole(path, data, mode, true);
}

namespace {

int Json_Write_Whole(const std::string& path, json_object* obj, bool bExistingOnly) {
    if (obj == nullptr) return -EINVAL;
    const char* text = json_object_to_json_string_ext(obj, JSON_C_TO_STRING_PLAIN);
    if (text == nullptr) return -ENOMEM;
    return Write_Whole(path, text, 0600, bExistingOnly);
}

}  // namespace

int Json_Write_File(const std::string& path, json_object* obj) { return Json_Write_Whole(path, obj, false); }

int Json_Replace_File(const std::string& path, json_object* obj) { return Json_Write_Whole(path, obj, true); }

json_object* Json_Read_Object_File(const std::string& path) {
    json_object* obj = Json_From_File(path.c_str());
    if (obj != nullptr && !json_object_is_type(obj, json_type_object)) {
        json_object_put(obj);
        return nullptr;
    }
    return obj;
}

}  // namespace qlm
