// The scheduler daemon: it keeps the next run time of every scheduling record, starts each due
// mission as "orvenna.cgi -backup <mission> <task> <drive> <shared drive> <calendar> <gmail>
// <contact>" in a process of its own, and sleeps until shortly before the earliest next run.
//
// One daemon at a time: it holds the lock Daemon_Lock_Path() for its whole life. SIGUSR1 makes it
// re-read every record at once; it ends when no record has a future run. Local times are the
// NAS zone's (TZ, else the system's), read again at every turn.
//
// The daemon writes only its own keys of a record: start_time and next_time (the next run), and,
// as it starts a run, last_time (the start) and, for a "once" schedule, backup_status "finish".
// It re-reads the record just before and never writes a record that has vanished. The next_time
// it stored is its announcement: a run announced is started at that time, unless an edit
// withdrew it (an edit removes next_time) or a "once" schedule was aborted.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/next_time.h"

struct json_object;

namespace qlm {

struct Schedule_Entry {
    std::string strMissionID;
    int64_t tNext = 0;
};
using Schedule_List = std::vector<Schedule_Entry>;

// A due mission ready to start: the backup command's nine arguments.
struct Due_Run {
    std::string strMissionID;
    std::vector<std::string> vArgv;
};

// Re-reads the record of the mission whole, lets patch change it, and puts it back atomically,
// only while the record still exists (a deleted record is never made again). 0; -2 when the
// record is missing or no JSON object (nothing written); -22 for an id not of the id form;
// patch's non-zero result; -errno of the write.
int Patch_Schedule_Record(const std::string& strMissionID, const std::function<int(json_object*)>& patch);

// start_time = next_time = tNext in the record. Results of Patch_Schedule_Record.
int Store_Next_Time(const std::string& strMissionID, int64_t tNext);
// last_time = tNow, and backup_status "finish" when schedule_frequency is "once".
int Mark_Started(const std::string& strMissionID, int64_t tNow);

// Reads every record of the scheduling folder whose name has the id form, in folder order; each
// with a next run gets it stored and listed. previous is the list before a reload: a mission that
// was already due there keeps its due time when the record's schedule still gives that time, so a
// reload in the very second of a run does not skip the run; and a run the record announces
// (next_time) that is still ahead and still stands is kept, though the rule computed from a later
// day may no longer give it.
void Load_Schedule_List(Schedule_List& list, const Schedule_List& previous, const Clock_Fn& clock);

// The command of a mission's run from its record: Cgi_Path(), "-backup", mission id, task id and
// the switches "1"/"0" of drive, shared_drive, calendar, gmail, contact in the service list.
// -22 when the mission id or the task id is not of the id form.
int Backup_Command(const std::string& strMissionID, json_object* rec, std::vector<std::string>& argv);

// Takes every mission due by clock() out of the list; each whose record still reads gets its next
// run stored and listed again (when it has one), and is given back in runs with its command when
// the record still announces that run or its schedule still gives that time (one edited or
// aborted since starts nothing).
void Take_Due_Missions(Schedule_List& list, const Clock_Fn& clock, std::vector<Due_Run>& runs);

// Milliseconds to sleep before the next pass: until 5 s before the earliest run, at most an hour
// (the clock may be set meanwhile); 1 s when that is 5 s away or less.
int64_t Daemon_Sleep_Ms(int64_t tEarliest, int64_t tNow);

// Removes the web server's CGI variables from the environment, so the backups the daemon starts
// run in their command-line mode even when a CGI request started the daemon.
void Drop_Cgi_Environment();

// The program: "-daemon" or "-start" runs the daemon; anything else ends at once. 0; 1 when
// another daemon runs, the lock cannot be had, or becoming a daemon fails.
int Daemon_Main(int argc, char** argv);

}  // namespace qlm
