// What /proc tells of another process that the system may signal.
#pragma once

#include <sys/types.h>

#include <string>

namespace qlm {

// The program file the process runs (its /proc/<pid>/exe), also when that file has been replaced
// or removed since the process started (an update while a backup runs): the kernel's " (deleted)"
// mark is left out. Empty when the process is gone or cannot be looked at.
std::string Process_Program(pid_t pid);

// True when no process pid runs any more: there is none, or only its zombie waits to be reaped
// (a killed worker whose parent is gone stays a zombie until init reaps it). False for pid <= 0
// and for a process that exists but may not be signalled.
bool Process_Is_Gone(pid_t pid);

}  // namespace qlm
