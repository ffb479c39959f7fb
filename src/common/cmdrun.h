// Running a tool's shell command line with a time-out, and the small helpers around tool runs.
#pragma once

#include <csignal>
#include <string>

// Process group of the command Execute_Command_Line_Timeout is running now; 0 when none.
// A worker's SIGTERM handler ends that group with it, so an abort also stops the long downloads,
// uploads and message transfers that run in a group of their own.
extern volatile sig_atomic_t g_current_pgid;

// Formats the command line from pszFmt like printf and runs it as the leader of a new process
// group, with default signal handling, an empty signal mask and /dev/null as standard input. Text
// that may hold '%' is passed through "%s", never as the format. A line that is one program named
// by its path, with quoted arguments and output redirections, is started directly with the
// argument vector /bin/sh would give it; any other line, and one whose program or redirections
// fail to start, runs as /bin/sh -c LINE. Neither route copies the calling process.
// Results: 0 when the command ran to its end, iRetBuf = its exit code (127: the shell could not
// run it; 128 + signal for a program started directly that a signal ended, as the shell reports
// it) or -128 - signal (the shell itself ended by a signal); -110 when the time-out ended it
// (iRetBuf = -1); -22 when the format cannot be applied; another negative errno when the process
// cannot be created or waited for. iTimeoutSec below 1 waits without limit. On time-out the group
// gets SIGTERM, up to 2 s later SIGKILL, and up to 2 s more to go; the wait sleeps until the child
// ends or the time is up. Callers must not ignore SIGCHLD nor reap with waitpid(-1).
int Execute_Command_Line_Timeout(int& iRetBuf, int iTimeoutSec, const char* pszFmt, ...)
    __attribute__((format(printf, 3, 4)));

// Work the process does while it waits for a command of Execute_Command_Line_Timeout (a worker's
// pending progress counters, say): the function is called just before the command starts, and
// again, while the command still runs, the number of milliseconds later that its last call gave
// back (below 1: not again for this command). One per process; nullptr: none.
using CommandWaitFn = long long (*)();
void Set_Command_Wait_Fn(CommandWaitFn fn);

// The same start as Execute_Command_Line_Timeout, but like the platform's Execute_Command_Line the
// command stays in the caller's process group and is waited for without limit. Results: 0 when it
// ran to its end, iRetBuf = its status as above; -22 when the format cannot be applied; another
// negative errno when the process cannot be created or waited for.
int Execute_Tool_Line(int& iRetBuf, const char* pszFmt, ...) __attribute__((format(printf, 2, 3)));

// For forked workers: on SIGTERM, send SIGTERM to the group of the running command (if any) and
// end at once with _exit(0).
void Install_Worker_Sigterm_Handler();

// True when a line of the tool's error file contains "ERROR: Connection error" (a lost socket) or
// "ERROR: Unable to find the server at" (GAM's status 5: no network after its own retries),
// case-sensitive; false when none does or the file cannot be read.
bool IsConnectionError(const std::string& errFile);

// When bDebug is true: "[pid=N] " + the formatted text + newline on standard output, flushed.
// Standard output is a CGI's reply, so CGI-mode callers always pass false.
void DBG(bool bDebug, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
