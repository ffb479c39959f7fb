// One backup run of one task: the "backup" action (checks in the request, then a forked worker) and
// Run_Backup (the same run in the calling process: the backup mode and scheduled runs).
//
// Backup store (BK = Backup_Dir(), folders 0700, made when missing):
//   drive/<task>/<account>/<local id>, shared_drive/<task>/<uuid>/<local id>, gmail/<task>/<account>/<local id>,
//   calendar/<task>/<account>/, contact/<task>/<account>/, gmail_count/<task>, and the catalogs.
// Locks (Get_File_Lock; wait in ms):
//   BK/backup_total/<task>.total_lck  0      one run per task, held until the run ends (the worker
//                                            inherits it across fork)
//   BK/drive/<task>.drive_lck 15000, BK/drive/<task>/<account>.drive_lck 30000,
//   BK/shared_drive/<task>.shared_drive_lck 0, BK/shared_drive/<task>/<drive id>.shared_drive_lck 0,
//   BK/gmail/<task>.gmail_lck 15000, BK/gmail/<task>/<account>.gmail_lck 30000,
//   BK/calendar/<task>.calendar_lck 15000, BK/calendar/<task>/<account>.calendar_lck 30000,
//   BK/contact/<task>.contact_lck 15000, BK/contact/<task>/<account>.contact_lck 30000.
#pragma once
#include <string>

#include "mission/worker.h"

class O_APP_CGI_AGENT;

namespace qlm {

// The run lock of a task.
std::string Backup_Total_Lock_Path(const std::string& strTaskID);

// The action "backup": replies, then forks the worker that performs the run.
int Backup(O_APP_CGI_AGENT* agent);

}  // namespace qlm

// pszMissionID may be nullptr for a fresh mission id; the switches are 1 for on. The caller becomes
// a worker: its own process group, standard input and output on /dev/null, ended by SIGTERM.
void Run_Backup(const char* pszMissionID, const char* pszTaskID, int nDrive, int nSharedDrive, int nCalendar,
                int nGmail, int nContact, const char* pszLoginUser);
