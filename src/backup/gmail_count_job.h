// The Gmail message-counting job: sizes a domain's mailboxes before its first backup.
//
// Files of one job (AUTH its auth id, MID its mission id):
//   <tmp>/qlm_AUTH_MID/Gmail_count/<e-mail>.out and .err   GAM's output and progress per user; they
//                                                          stay after the job for the list action
//   DB/tmp/AUTH_MID.gmail_user_count.pid                   the job's process id while it runs
//   DB/tmp/AUTH_MID.gmail_user_count.stop                  "stop\n", written by the stop action
//   BK/gmail_count/<task id>                               with a task: [{"User","messages"}], fewest first
// The job leads a process group of its own with at most four GAM workers; it has its own GAM
// configuration folder, removed when it ends.
#pragma once

class O_APP_CGI_AGENT;

namespace qlm {

// task_id, or auth_id with admin_email (a key uploaded but not yet a task). Reply: success and
// mission_id, then the job runs on detached.
int Gmail_Users_Get_Count_Start(O_APP_CGI_AGENT* agent);
// mission_id with task_id or auth_id. Reply: success, mission_id, user_list of {"Email", "iD",
// "status" (finished, running, pending, failed), "count"}, largest count first.
int Gmail_Users_Get_Count_List(O_APP_CGI_AGENT* agent);
// mission_id with task_id or auth_id: ends the job and its workers.
int Gmail_Users_Get_Count_Stop(O_APP_CGI_AGENT* agent);

// The start with the request's texts (each NULL or empty when not given). bDebug keeps the
// standard streams and prints what the job does; the web page never sets it.
void Gmail_Users_Get_Count_Start_Impl(const char* pszTaskID, const char* pszAuthID, const char* pszAdminEmail,
                                      bool bDebug);

}  // namespace qlm
