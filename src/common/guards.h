// Scope guards for lock files, folders and files: every way out of a scope releases them once.
//
//   int fd = -1;
//   if (Get_File_Lock(path, 0, fd) != 0) return ...;
//   LockGuard lock(&fd);                         // points at the caller's int; sets it to -1
//   DirGuard gam = Guard_Dir(qlm::Gam_Dir());    // owns a copy of the path
//   UnlinkGuard out = Guard_File(tmpPath);
//
// Across fork() both processes hold the guards, and each would run them when it leaves its scope.
// The parent therefore disarms every guard whose resource passes to the child (temporary files,
// GAM's folder) with Disarm(), which is release() plus freeing the path copy, so it does not
// remove what the child still uses; and a forked child
// leaves only with _exit, never exit or a return through the guards it inherited. Lock guards
// may run in the parent: releasing is closing its own copy, and the child's copy keeps the lock.
#pragma once

#include <memory>
#include <string>

// Releases the lock whose descriptor *pFd holds (when pFd is not NULL and *pFd >= 0) with
// Release_File_Lock and sets *pFd to -1. The int stays the caller's; it is not freed.
struct FileLockReleaser {
    void operator()(int* pFd) const;
};

// Removes the folder *path with everything in it (Remove_Folder_Tree, mode 0), then frees the path.
struct autoRemoveDir {
    void operator()(std::string* path) const;
};

// Deletes the file *path, then frees the path.
struct autoUnlink {
    void operator()(std::string* path) const;
};

// A descriptor closed when its holder goes; Reset closes it early or takes another.
struct FdGuard {
    int fd = -1;
    FdGuard() = default;
    explicit FdGuard(int f) : fd(f) {}
    ~FdGuard() { Reset(); }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    void Reset(int f = -1);
};

using LockGuard = std::unique_ptr<int, FileLockReleaser>;
using DirGuard = std::unique_ptr<std::string, autoRemoveDir>;
using UnlinkGuard = std::unique_ptr<std::string, autoUnlink>;

inline DirGuard Guard_Dir(std::string path) { return DirGuard(new std::string(std::move(path))); }
inline UnlinkGuard Guard_File(std::string path) { return UnlinkGuard(new std::string(std::move(path))); }

// Lets the folder or file live on (the guard no longer acts) and frees the guard's path copy.
inline void Disarm(DirGuard& g) { delete g.release(); }
inline void Disarm(UnlinkGuard& g) { delete g.release(); }
