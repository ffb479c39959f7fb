// Running commands and finding processes.
#pragma once

#include <cstdint>
#include <sys/types.h>
#include <vector>

// Formats the command line once from fmt and its arguments and runs it as /bin/sh -c LINE, waiting
// for its end. Pass text that may hold '%' through "%s", never as fmt. The shell reads /dev/null as
// standard input and starts with default signal handling and an empty signal mask; it stays in the
// caller's process group. Standard output and error are the caller's (command lines redirect them).
// Returns 0 when the shell ran, with status = its exit code (127: command not found) or -128 - signal
// when a signal ended it; -22 when fmt cannot be applied; another negative errno when the shell
// could not be started or waited for (status is then -1).
int Execute_Command_Line(int& status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Lists, in ascending order, every live process whose program is name, the caller included
// (zombies are not counted). Names of up to 15 characters are compared with the kernel's command
// name; longer ones with the last component of argv[0]. count is the number found.
// 0 when one or more were found; -61 (ENODATA) when none; -22 for an empty name.
int Get_All_Pids(const char* name, std::vector<pid_t>& pids, int& count);

// Sleeps ms milliseconds; a signal handled meanwhile ends the sleep early.
// 0 when the full time passed; -4 (EINTR) when a signal cut it short.
int Sleep_MSec_With_Signal(uint32_t ms);
