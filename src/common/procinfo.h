// What /proc tells of another process that the system may signal.
#pragma once

#include <sys/types.h>

#include <string>

namespace qlm {

// The program file the process runs (its /proc/<pid>/exe), also when that file has been replaced
// or removed since the process started (an update while a backup runs): the kernel's " (deleted)"
// mark is left out. Empty when the process is gone or cannot be looked at.
std::string Process_Program(pid_t pid);

}  // namespace qlm
