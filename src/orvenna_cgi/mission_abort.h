// Ending missions on the administrator's request: "mission_abort" stops a running backup, restore
// or export and files it in the history as "abort"; "mission_delete" removes a scheduled mission
// or a history record. Also the GAM sweep the abort is built on (its process checks are in
// common/procinfo).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/procinfo.h"
#include "plat_json.h"

class O_APP_CGI_AGENT;

namespace qlm {

int Mission_Abort(O_APP_CGI_AGENT* agent);
int Mission_Delete(O_APP_CGI_AGENT* agent);

// Aborts every running backup and restore of the task as "mission_abort" aborts one: its worker
// and that worker's GAM tools are gone when this returns, and its record is filed "abort". The
// number of missions aborted.
int Abort_Task_Missions(const char* pszTaskID);

// Moves a running record into the history as the given status with the end time now (after a
// pause of dPauseSec), and removes a restore's journal beside it. False when the record was gone
// already: its worker, or another request, filed it.
bool File_Running_Record(const std::string& strRunningPath, PT_JSON record, const char* pszStatus, double dPauseSec);

// A worker and the processes it started, read before any signal reaches it: once the worker is
// gone its group may be empty and its children belong to another parent.
struct Worker_Processes {
    pid_t pid = 0;
    pid_t pgid = 0;                    // the worker's group when it leads it; 0 otherwise
    unsigned long long ullStartTicks = 0;  // its start: a later process of the same pid is another
    std::vector<pid_t> vDescendants;  // children, their children, ... at the time of the snapshot
};
// 0, or -2 when the process is gone.
int Snapshot_Worker(pid_t pid, Worker_Processes& out);

// Sends sig to every GAM process (one whose command line contains the app's gam path) that is in
// the worker's group, when it leads one, or descends from the worker: the tools the command
// runner started in groups of their own included, the worker itself and other missions' tools
// never. The number of processes signalled.
int Signal_Gam_Processes(const Worker_Processes& worker, int sig);

// The sweep: SIGTERM to the worker's GAM processes, half a second, then SIGKILL to those left.
void Kill_Gam_In_Same_Group(const Worker_Processes& worker);

// The sweep for a worker that is gone already (killed or crashed before the abort): SIGTERM, half
// a second, SIGKILL to the GAM processes left in the group it led. No process takes a gone
// process's id while its group lives on, so that group is the worker's; its tools in groups of
// their own can no longer be told from others. Nothing for a pid above 1 that names a live
// process (then not a worker of this system). The number signalled by the first pass.
int Sweep_Gone_Worker_Group(pid_t pid);

// Polls until pid is no longer a worker of this system (ended, reaped or a zombie). True when it
// is gone within timeoutMs.
bool Wait_Worker_Gone(pid_t pid, int timeoutMs);

}  // namespace qlm
