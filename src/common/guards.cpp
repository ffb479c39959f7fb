#include "common/guards.h"

#include <unistd.h>

#include "plat_file.h"
#include "plat_lock.h"

void FdGuard::Reset(int f) {
    if (fd >= 0) close(fd);
    fd = f;
}

void FileLockReleaser::operator()(int* pFd) const {
    if (pFd == nullptr || *pFd < 0) return;
    Release_File_Lock(*pFd);
    *pFd = -1;
}

void autoRemoveDir::operator()(std::string* path) const {
    std::unique_ptr<std::string> owned(path);
    if (path != nullptr && !path->empty()) Remove_Folder_Tree(path->c_str(), 0, nullptr);
}

void autoUnlink::operator()(std::string* path) const {
    std::unique_ptr<std::string> owned(path);
    if (path != nullptr && !path->empty()) unlink(path->c_str());
}
