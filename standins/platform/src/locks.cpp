#include "plat_lock.h"

#include "plat_fd.h"
#include "plat_file.h"
#include "plat_root.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr long kRetryMs = 50;

// Lock paths are often built from request texts; a ".." component would let them escape their folder.
bool Has_Dot_Dot_Component(const char* path) {
    for (const char* p = path; *p;) {
        const char* end = strchrnul(p, '/');
        if (end - p == 2 && p[0] == '.' && p[1] == '.') return true;
        p = *end ? end + 1 : end;
    }
    return false;
}

long Now_Ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

void Sleep_Ms(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);  // a signal only shortens one retry pause; the deadline still holds
}

int Open_Lock_File(const std::string& path) {
    // No O_TRUNC: some lock files carry data (a result file that is its own lock).
    constexpr int kFlags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    int fd = open(path.c_str(), kFlags, 0600);
    if (fd < 0 && errno == ENOENT) {
        std::string::size_type slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0) {
            smbbackup::Create_Path(path.substr(0, slash).c_str(), 0700);
            fd = open(path.c_str(), kFlags, 0600);
        }
    }
    return fd < 0 ? -errno : fd;
}

}  // namespace

int Get_File_Lock(const char* pathOrName, int waitMs, int& fd) {
    fd = -1;
    if (!pathOrName || !*pathOrName || Has_Dot_Dot_Component(pathOrName)) return -EINVAL;

    std::string path = strchr(pathOrName, '/')
                           ? std::string(pathOrName)
                           : Plat_Root_Path("/run/lock/nasplat/") + pathOrName + ".lck";
    int opened = Open_Lock_File(path);
    if (opened < 0) return opened;
    plat::Fd lock(opened);

    const long deadline = Now_Ms() + (waitMs > 0 ? waitMs : 0);
    for (;;) {
        if (flock(lock.get(), LOCK_EX | LOCK_NB) == 0) break;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return -errno;
        long left = deadline - Now_Ms();
        if (left <= 0) return -EWOULDBLOCK;
        Sleep_Ms(left < kRetryMs ? left : kRetryMs);
    }
    fd = lock.release();
    return 0;
}

int Release_File_Lock(int fd) {
    if (fd < 0) return -EBADF;
    // close, not LOCK_UN: after fork() the child shares this lock and must keep it.
    if (close(fd) != 0 && errno != EINTR) return -errno;  // on Linux the descriptor is gone even on EINTR
    return 0;
}
