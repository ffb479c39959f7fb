// Whole-file reads and writes of the platform library (JSON files and configuration files).
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace plat {

// Reads the regular file path whole into out; *mode (when given) gets its permission bits.
// 0, -2 when it is missing, -21 for a folder, -22 for another kind of file, else -errno.
int Read_Whole_File(const char* path, std::string& out, mode_t* mode = nullptr);

// Writes all len bytes to fd, going on after short writes and signals. 0 or -errno.
int Write_All(int fd, const char* p, size_t len);

// Makes data the whole content of path: written to a temporary file ".<name>.XXXXXX" in the NAS's
// shared temporary folder when it is on the target's file system (else in the target's folder),
// flushed to disk, then renamed over path. A
// reader sees either the old or the new content. The file gets mode. 0 or -errno; on failure
// path is untouched and the temporary file is gone.
int Write_Whole_File(const char* path, const char* data, size_t len, mode_t mode);

}  // namespace plat
