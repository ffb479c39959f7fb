#include "browse/read_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace qlm {

int Try_Read_Lock(const std::string& path, int& fd) {
    fd = -1;
    // O_NONBLOCK: a FIFO put where the lock file should be must not hang the request.
    const int opened = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (opened < 0) return 0;
    int rc;
    while ((rc = flock(opened, LOCK_SH | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        const int err = errno;
        close(opened);
        return err == EWOULDBLOCK ? -EWOULDBLOCK : 0;
    }
    fd = opened;
    return 0;
}

}  // namespace qlm
