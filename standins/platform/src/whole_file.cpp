#include "whole_file.h"

#include "plat_fd.h"
#include "plat_root.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

namespace {

// Removes the temporary file unless it was renamed into place.
struct Temp_Name {
    std::string path;
    ~Temp_Name() {
        if (!path.empty()) unlink(path.c_str());
    }
};

}  // namespace

int Read_Whole_File(const char* path, std::string& out, mode_t* mode) {
    if (!path) return -EINVAL;
    // Non-blocking, so a FIFO in the file's place cannot hang the caller; regular files ignore it.
    Fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return -errno;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return -errno;
    if (S_ISDIR(st.st_mode)) return -EISDIR;
    if (!S_ISREG(st.st_mode)) return -EINVAL;
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    out = std::move(text);
    if (mode) *mode = st.st_mode & 07777;
    return 0;
}

int Write_All(int fd, const char* p, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

namespace {

// One try: a fresh temporary in tmpDir, written, synced and renamed over path.
int Write_Via(const std::string& tmpDir, const std::string& name, const char* path, const char* data,
              size_t len, mode_t mode) {
    // Keep the temporary name within NAME_MAX however long the target's name is.
    std::string tmpl = tmpDir + "/." + name.substr(0, 200) + ".XXXXXX";
    Fd fd(mkostemp(tmpl.data(), O_CLOEXEC));
    if (!fd) return -errno;
    Temp_Name tmp{tmpl};
    if (fchmod(fd.get(), mode) != 0) return -errno;
    if (int rc = Write_All(fd.get(), data, len); rc != 0) return rc;
    if (fsync(fd.get()) != 0) return -errno;
    if (close(fd.release()) != 0) return -errno;
    if (rename(tmp.path.c_str(), path) != 0) return -errno;
    tmp.path.clear();
    return 0;
}

}  // namespace

int Write_Whole_File(const char* path, const char* data, size_t len, mode_t mode) {
    if (!path || !*path || (!data && len > 0)) return -EINVAL;
    std::string target(path);
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (name.empty()) return -EISDIR;
    // Folders such as the mission folder count every entry they hold, so the temporary goes to the
    // NAS's shared temporary folder when it is on the same file system; beside the target otherwise.
    std::string shared = Plat_Root_Path("/usr/local/tmp");
    struct stat sd, st;
    if (stat(shared.c_str(), &sd) == 0 && S_ISDIR(sd.st_mode) && stat(dir.c_str(), &st) == 0 &&
        sd.st_dev == st.st_dev) {
        int rc = Write_Via(shared, name, path, data, len, mode);
        if (rc != -EXDEV && rc != -EACCES && rc != -EPERM) return rc;
    }
    return Write_Via(dir, name, path, data, len, mode);
}

}  // namespace plat
