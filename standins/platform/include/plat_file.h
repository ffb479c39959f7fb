// Files and folders of the platform library.
// Every function reports through its result alone: 0 (or the stated value) on success, a negative
// errno on failure.
#pragma once

#include <sys/types.h>

namespace smbbackup {

// Creates the folder path with its missing parents, each with mode (less the umask); a folder
// that already exists is fine. -20 (ENOTDIR) when a component exists and is not a folder.
int Create_Path(const char* path, mode_t mode);

}  // namespace smbbackup

// mode 0 removes the folder path with everything in it; mode 1 removes its content and keeps it.
// Symbolic links are removed as links, never followed, so nothing outside the tree is touched;
// a path that is itself a link is refused (-20). The third argument is unused (callers pass NULL).
// Goes on past entries it cannot remove and returns the first error.
int Remove_Folder_Tree(const char* path, int mode, void* unused = nullptr);

// Copies the regular file src to dst: a missing dst is created with the source's permission bits,
// an existing one is overwritten in place (keeping its own mode). Returns 0 when the whole file
// was copied. A dst this call created is removed again when the copy fails; src and dst being the
// same file is refused (-22). The last two arguments are unused (callers pass NULL).
int Copy_File(const char* src, const char* dst, void* unused1 = nullptr, void* unused2 = nullptr);

// Copies the content of the regular file src to the open descriptor dstFd at its current offset,
// for callers that open the target themselves (for example exclusively and without following
// links). dstFd stays open and is not truncated. 0 when everything was written.
int Copy_File_To_Fd(const char* src, int dstFd);

// 1 when path names an existing folder (a link to a folder counts), else 0.
int Is_Folder(const char* path);
