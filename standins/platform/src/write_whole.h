// Whole-file writes of the platform library (JSON files and configuration files).
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace plat {

// Makes data the whole content of path: written to a temporary file ".<name>.XXXXXX" in the same
// folder (so the rename stays on one file system), flushed to disk, then renamed over path. A
// reader sees either the old or the new content. The file gets mode. 0 or -errno; on failure
// path is untouched and the temporary file is gone.
int Write_Whole_File(const char* path, const char* data, size_t len, mode_t mode);

}  // namespace plat
