// What every forked worker of a family shares (backups and restores alike): becoming a worker,
// the retry pauses of the service wrappers, and the scoutix permission checks before a run.
#pragma once

#include <functional>
#include <string>

#include "mission/mission_record.h"

class GWSTask;

namespace qlm {

// Makes the calling (forked) process a worker: its own process group, standard input and output
// on /dev/null (standard error too when bStderrToo: a worker forked by an action must let go of
// the request's pipes, which the web server waits for), ended by SIGTERM with its running tool and
// its GAM folder.
void Become_Worker(bool bStderrToo);

// The scratch files of the command a worker runs now (its output and error files), removed by
// the worker's SIGTERM handler when an abort ends it in the middle of the command. Slots 0 and 1;
// an empty path clears a slot.
void Worker_Scratch_File(int slot, const std::string& path);

// The service wrappers' attempts and pauses.
inline constexpr int RETRY_MAX = 15;
inline constexpr unsigned BASE_SEC = 20;
inline constexpr unsigned CAP_SEC = 30000;

// The pause after failed attempt n (from 1): base doubled n-1 times, capped.
unsigned Backup_Calc_Backoff_Sec(int n, unsigned base, unsigned cap);
// The whole pause, one second at a time (scaled under a test root).
void Backup_Sleep_Full(unsigned sec);

// Runs one finished scoutix check line and reads "is_pass" from its result file.
// 0 passed; -1 the command did not run or exited non-zero; -2 no JSON; -3 "is_pass" false or absent.
int Check_Permission_By_Cmd(const std::string& strCmdLine, const std::string& strResultPath);

// The failure replies of the four checks, in check order (drive, calendar, gmail, contacts).
extern const char* const kPermissionFail[4];

// The scoutix checks of the selected services, in the order drive (for Drive or Shared Drive),
// calendar, gmail, contacts. -1 when all passed (or none ran); otherwise the index of the failed
// check into kPermissionFail, after onFail got the row text "<pszVerb> failed for domain %s: ..."
// or "<pszVerb> failed for selected accounts in domain %s: ...". The key file and the check output
// are removed on every way out.
int Run_Permission_Checks(const GWSTask& task, const Service_Switches& sw, const std::string& strKeyPath,
                          const char* pszVerb, const std::function<void(const std::string&)>& onFail);

}  // namespace qlm
