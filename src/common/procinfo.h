// What /proc tells of another process that the system may signal.
#pragma once

#include <sys/types.h>

#include <string>

namespace qlm {

// The program file the process runs (its /proc/<pid>/exe), also when that file has been replaced
// or removed since the process started (an update while a backup runs): the kernel's " (deleted)"
// mark is left out. Empty when the process is gone or cannot be looked at.
std::string Process_Program(pid_t pid);

// The whole content of a small file (a /proc entry, a pid file); false when it cannot be read.
bool Read_Small_File(const std::string& path, std::string& out);

// What /proc/<pid>/stat says of a process.
struct Proc_Stat {
    pid_t pid = 0;
    char cState = 0;  // 'Z' for a zombie
    pid_t ppid = 0;
    pid_t pgrp = 0;
};
// 0, or -2 when the process is gone or its stat cannot be read.
int Read_Proc_Stat(pid_t pid, Proc_Stat& out);

// True when pid may be signalled as a worker of this system: above 1, not the caller, not a
// zombie, and running the same program file as the caller (every worker is orvenna.cgi). A stale
// record's pid that now names some other process is thereby never signalled.
bool Is_Own_Worker(pid_t pid);

}  // namespace qlm
