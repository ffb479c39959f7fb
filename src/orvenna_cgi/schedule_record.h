// Scheduling records (conf/mission/scheduling_mission/<mission id>) and the daemon's reload signal.
//
// A record is one JSON object, its keys in this order when created:
//   service, mission_name, backup_scheduling_enable, task_id, domain, mode ("backup"), start_time,
//   backup_status ("scheduling"), total_amount, backuped_amount, schedule_frequency,
//   schedule_interval, schedule_year, schedule_month, schedule_day, schedule_week, schedule_hour,
//   schedule_minute, schedule_hour_end, schedule_minute_end, backup_mode ("scheduling")
// and later, from the daemon, next_time and last_time. Schedule values are the texts as sent (an
// absent one is JSON null); schedule_day and schedule_week are JSON array text of the comma lists.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

class O_APP_CGI_AGENT;
class GWSTask;
struct json_object;

namespace qlm {

// Keys of a scheduling record that other writers and readers name too.
inline constexpr const char* kKeyBackupSchedulingEnable = "backup_scheduling_enable";
inline constexpr const char* kKeyScheduleFrequency = "schedule_frequency";

// The request's schedule parameters. Texts are borrowed from the agent (nullptr: absent);
// booleans are -1 when absent.
struct Schedule_Params {
    int nDrive = -1;
    int nSharedDrive = -1;
    int nCalendar = -1;
    int nGmail = -1;
    int nContact = -1;
    int nBackupSchedulingEnable = -1;
    const char* pszMissionName = nullptr;
    const char* pszFrequency = nullptr;
    const char* pszInterval = nullptr;
    const char* pszYear = nullptr;
    const char* pszMonth = nullptr;
    const char* pszDay = nullptr;   // comma list of day numbers
    const char* pszWeek = nullptr;  // comma list of day names
    const char* pszHour = nullptr;
    const char* pszMinute = nullptr;
    const char* pszHourEnd = nullptr;
    const char* pszMinuteEnd = nullptr;
};

// Reads every parameter of Schedule_Params from the request.
void Read_Schedule_Params(O_APP_CGI_AGENT* agent, Schedule_Params& out);

// The service list: "drive", "shared_drive", "gmail", "calendar", "contact" for each flag given as 1.
json_object* Schedule_Service_List(const Schedule_Params& p);
// The stored form of a sent day or week list: JSON array text of the comma list's items, or the
// sent text itself (in compact form) when it already is a JSON array.
std::string Schedule_List_Text(const char* pszSent);
// Adds or replaces schedule_frequency ... schedule_minute_end in the record, in the record's
// order (schedule_day and schedule_week as JSON array text). 0 or the first failing add's result.
int Schedule_Record_Set_Times(json_object* rec, const Schedule_Params& p);

// Users the mission backs up, from the task's stored switches (on = not 0): with user auto-add
// on, total_user_number; hand-picked, the number of ids in manual_domain_user; 0 when none of
// Drive, Calendar, Gmail and Contacts is on.
int Schedule_Backuped_Amount(const GWSTask& task);

// A new record for the loaded task, every key of the creation order; the name is the
// parameter or Get_New_Mission_Name(). The caller owns the result; nullptr when out of memory.
json_object* Build_Schedule_Record(const Schedule_Params& p, const GWSTask& task, time_t tNow);

// Writes the record as scheduling_mission/<mission id>, creating mission/ and
// scheduling_mission/ (0700) when missing; written whole. 0; -22 for an id not of the id form
// or a NULL record; -errno of the write.
int Write_Schedule_Record(const char* pszMissionID, json_object* rec);

// Writes back a record that was read: only while it exists, so a schedule deleted between the
// read and the write stays deleted. 0; -ENOENT when it is gone; -22 as above.
int Replace_Schedule_Record(const char* pszMissionID, json_object* rec);

// The abort's mark on the schedule that started a run: when sched (the record as read) is a
// "once" schedule, its backup_status becomes "abort" so that the daemon does not run it again,
// written back only while the record exists: a schedule deleted meanwhile stays deleted. 0 (also
// when there is nothing to mark); -ENOENT when the record is gone; -22 for a bad id or record.
int Mark_Once_Schedule_Aborted(const char* pszMissionID, json_object* sched);

// Deletes every scheduling record whose task_id is this task's; records that do not read or lack
// task_id stay. The number deleted (0 for an id not of the id form).
int Remove_Task_Schedule_Records(const char* pszTaskID);

// The signal's decision over a process lookup's result (nLookup: 0 found, -61 none, else failed)
// and its pids: sends SIGUSR1 through signal_fn (0 or -errno) to every pid above 1, going on past
// failures (a daemon found may have ended since). True when a daemon must be started: none was
// found, or none of those found could be signalled, and bStart. A failed lookup starts nothing.
bool Signal_Daemons(int nLookup, const std::vector<pid_t>& pids, bool bStart, int (*signal_fn)(pid_t));

}  // namespace qlm

// Tells the scheduler daemon to reload its records: SIGUSR1 to every running qlm_deamon whose
// program is Daemon_Path() (not a namesake, not the daemon of another app root); when
// none runs or none took the signal, and bExecute_Daemon_If_Not_Exist, starts
// "<bin>/qlm_deamon -daemon" (which detaches itself). A failed process lookup does nothing.
void Send_Signal_Let_Daemon_Recalculate_Schedule_Queue(bool bExecute_Daemon_If_Not_Exist);

// The scheduler found dead (killed, or the NAS restarted) while schedules still have runs ahead is
// started again, for the requests the web page makes while an administrator looks at the app. 1
// when this request started it, logging one warn row with kSchedulerRestartedText; 0 otherwise
// (no schedule ahead, a daemon runs or was started by another request, or the lookup failed).
inline constexpr const char* kSchedulerRestartedText =
    "The scheduler was not running and was started again; scheduled runs missed while it was down are not "
    "made up.";
int Mend_Scheduler();
