#include "plat_file.h"

#include "plat_fd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int Is_Directory_At(int dirFd, const char* name, const dirent* entry, bool& isDir) {
    if (entry->d_type != DT_UNKNOWN) {
        isDir = entry->d_type == DT_DIR;
        return 0;
    }
    struct stat st;
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -errno;
    isDir = S_ISDIR(st.st_mode);
    return 0;
}

// Removes everything inside the open folder dirFd. Sub-folders are opened relative to their parent
// with O_NOFOLLOW, so a link swapped in for a folder is never entered. Keeps going past failures
// and returns the first one.
int Remove_Content(int dirFd) {
    int scanFd = dup(dirFd);
    if (scanFd < 0) return -errno;
    plat::Dir dir(fdopendir(scanFd));
    if (!dir) {
        int err = -errno;
        close(scanFd);
        return err;
    }
    int first = 0;
    auto note = [&first](int err) {
        if (err && !first) first = err;
    };
    errno = 0;
    while (const dirent* e = readdir(dir.get())) {
        const char* name = e->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        bool isDir = false;
        if (int err = Is_Directory_At(dirFd, name, e, isDir)) {
            if (err != -ENOENT) note(err);
        } else if (isDir) {
            plat::Fd sub(openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub) {
                note(-errno);
            } else {
                note(Remove_Content(sub.get()));
                sub.reset();
                if (unlinkat(dirFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) note(-errno);
            }
        } else if (unlinkat(dirFd, name, 0) != 0 && errno != ENOENT) {
            note(-errno);
        }
        errno = 0;
    }
    if (errno) note(-errno);
    return first;
}

// Copies from srcFd to dstFd at their current offsets: copy_file_range where the file systems
// allow it, plain read/write where they do not.
int Copy_Fd_Content(int srcFd, int dstFd) {
    constexpr size_t kChunk = 1 << 20;
    bool kernelCopy = true;
    for (;;) {
        if (kernelCopy) {
            ssize_t n = copy_file_range(srcFd, nullptr, dstFd, nullptr, kChunk, 0);
            if (n > 0) continue;
            if (n == 0) return 0;
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
                errno != EBADF && errno != EPERM)
                return -errno;
            kernelCopy = false;  // the offsets moved by what was copied so far; go on from there
        }
        char buf[64 * 1024];
        ssize_t n = read(srcFd, buf, sizeof buf);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        for (ssize_t off = 0; off < n;) {
            ssize_t w = write(dstFd, buf + off, static_cast<size_t>(n - off));
            if (w < 0) {
                if (errno == EINTR) continue;
                return -errno;
            }
            off += w;
        }
    }
}

int Open_Source(const char* src, plat::Fd& fd, struct stat& st) {
    if (!src || !*src) return -EINVAL;
    fd.reset(open(src, O_RDONLY | O_CLOEXEC));
    if (!fd) return -errno;
    if (fstat(fd.get(), &st) != 0) return -errno;
    if (S_ISDIR(st.st_mode)) return -EISDIR;
    if (!S_ISREG(st.st_mode)) return -EINVAL;
    return 0;
}

}  // namespace

int smbbackup::Create_Path(const char* path, mode_t mode) {
    if (!path || !*path) return -EINVAL;
    std::string p(path);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    // Each prefix ending before a '/' is a parent; the whole path comes last.
    for (std::string::size_type i = 1; i <= p.size(); ++i) {
        if (i < p.size() && p[i] != '/') continue;
        if (p[i - 1] == '/') continue;  // doubled slash
        std::string prefix = p.substr(0, i);
        if (mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) return -errno;
    }
    struct stat st;
    if (stat(p.c_str(), &st) != 0) return -errno;
    return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
}

int Remove_Folder_Tree(const char* path, int mode, void*) {
    if (!path || !*path || (mode != 0 && mode != 1)) return -EINVAL;
    if (strspn(path, "/") == strlen(path)) return -EINVAL;  // never the whole file system
    plat::Fd dir(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) return errno == ELOOP ? -ENOTDIR : -errno;
    int err = Remove_Content(dir.get());
    dir.reset();
    if (err || mode == 1) return err;
    return rmdir(path) == 0 ? 0 : -errno;
}

int Copy_File_To_Fd(const char* src, int dstFd) {
    if (dstFd < 0) return -EBADF;
    plat::Fd in;
    struct stat st;
    if (int err = Open_Source(src, in, st)) return err;
    return Copy_Fd_Content(in.get(), dstFd);
}

int Copy_File(const char* src, const char* dst, void*, void*) {
    if (!dst || !*dst) return -EINVAL;
    plat::Fd in;
    struct stat st;
    if (int err = Open_Source(src, in, st)) return err;

    bool created = true;
    plat::Fd out(open(dst, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777));
    if (!out && errno == EEXIST) {
        created = false;
        out.reset(open(dst, O_WRONLY | O_CLOEXEC));  // not truncated yet: it may be src itself
    }
    if (!out) return -errno;

    int err = 0;
    struct stat dstSt;
    if (fstat(out.get(), &dstSt) != 0) {
        err = -errno;
    } else if (dstSt.st_dev == st.st_dev && dstSt.st_ino == st.st_ino) {
        err = -EINVAL;
    } else if (!created && ftruncate(out.get(), 0) != 0) {
        err = -errno;
    } else {
        err = Copy_Fd_Content(in.get(), out.get());
    }
    // A failed close can be the first report of a failed write (full disk, network file system).
    if (close(out.release()) != 0 && !err && errno != EINTR) err = -errno;
    if (err && created) unlink(dst);
    return err;
}

int Is_Folder(const char* path) {
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}
