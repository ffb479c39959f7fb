// What /proc tells of another process that the system may signal.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <string>

namespace qlm {

// The whole content of a small file (a /proc file, a pid marker); false when it cannot be read.
bool Read_Small_File(const std::string& path, std::string& out);

// The program file the process runs (its /proc/<pid>/exe), also when that file has been replaced
// or removed since the process started (an update while a backup runs): the kernel's " (deleted)"
// mark is left out. Empty when the process is gone or cannot be looked at.
std::string Process_Program(pid_t pid);

// True when no process pid runs any more: there is none, or only its zombie waits to be reaped
// (a killed worker whose parent is gone stays a zombie until init reaps it). False for pid <= 0
// and for a process that exists but may not be signalled.
bool Process_Is_Gone(pid_t pid);

// Removes every entry of dir whose name owner() ties to a process (its pid; 0 for a name of no
// process) that is gone: the files a killed process could not remove. Never a file of the caller
// or of a live process. remove (given the whole path) replaces unlink, for entries that are folders.
void Remove_Files_Of_Gone_Processes(const std::string& dir, const std::function<pid_t(const std::string&)>& owner,
                                    const std::function<void(const std::string&)>& remove = nullptr);

// What /proc/<pid>/stat says of a process.
struct Proc_Stat {
    pid_t pid = 0;
    char cState = 0;  // 'Z' for a zombie
    pid_t ppid = 0;
    pid_t pgrp = 0;
    unsigned long long ullStartTicks = 0;  // start, in clock ticks after boot: with the pid, one process
};
// 0, or -2 when the process is gone or its stat cannot be read.
int Read_Proc_Stat(pid_t pid, Proc_Stat& out);

// How many seconds the process has been running. 0, or -2 when it is gone.
int Process_Age(pid_t pid, double& dSeconds);

// How far a worker's own start may trail the start its mission stored: the worker stores it as
// its first step, so only the clocks' rounding lies between them.
inline constexpr int kWorkerStartSlackSec = 5;

// True when the process started no later than kWorkerStartSlackSec after tStart, a time read on a
// clock that reads tNow at this moment (Now() for the times of records, time() for file times).
// A process that started later cannot be the worker of something that started at tStart: a pid
// taken from a stale record or marker may name any process by now, a web request or another
// mission's worker, and such a process is never signalled. False when the process is gone.
bool Process_Started_By(pid_t pid, time_t tStart, time_t tNow);

// True when pid may be signalled as a worker of this system: above 1, not the caller, not a
// zombie, and running the same program file as the caller (every worker is orvenna.cgi). A stale
// record's pid that now names another program is thereby never signalled; one that names a later
// orvenna.cgi is told by its start (Process_Started_By).
bool Is_Own_Worker(pid_t pid);

// The worker a pid marker names, when it still runs: the file holds the pid in decimal digits
// (perhaps followed by white space), the process is a worker of this system, and it started by the
// marker's time (the worker writes its marker as it starts; a later process is another one).
// False otherwise; pid is then the pid read, or 0.
bool Marker_Worker_Runs(const std::string& strMarkerPath, pid_t& pid);

}  // namespace qlm
