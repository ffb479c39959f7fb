// The reader's side of the writers' lock files (Get_File_Lock, exclusive): a shared lock, so
// readers never turn each other away, taken without ever creating the file or its folders.
#pragma once

#include <string>

namespace qlm {

// Tries once for a shared flock on the existing file at path (opened close-on-exec, not through
// a symbolic link). 0 with fd >= 0: held until fd is released (Release_File_Lock, LockGuard).
// 0 with fd == -1: there is no lock file to take (no writer ever took it), or it cannot be opened.
// -11 (EWOULDBLOCK): a writer holds it.
int Try_Read_Lock(const std::string& path, int& fd);

}  // namespace qlm
