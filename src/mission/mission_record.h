// Mission records: the key names every writer and reader shares, and the small computations the
// mission lists make on them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "plat_json.h"

namespace qlm {

inline constexpr const char* kKeyService = "service";
inline constexpr const char* kKeyMissionName = "mission_name";
inline constexpr const char* kKeyTaskId = "task_id";
inline constexpr const char* kKeyDomain = "domain";
inline constexpr const char* kKeyMode = "mode";
inline constexpr const char* kKeyStartTime = "start_time";
inline constexpr const char* kKeyBackupStatus = "backup_status";
inline constexpr const char* kKeyTotalProgress = "total_progress";
inline constexpr const char* kKeyDriveProgress = "drive_progress";
inline constexpr const char* kKeySharedDriveProgress = "shared_drive_progress";
inline constexpr const char* kKeyGmailProgress = "gmail_progress";
inline constexpr const char* kKeyContactProgress = "contact_progress";
inline constexpr const char* kKeyCalendarProgress = "calendar_progress";
inline constexpr const char* kKeyBackupCurrent = "backup_current";
inline constexpr const char* kKeyDriveCurrent = "drive_current";
inline constexpr const char* kKeySharedDriveCurrent = "shared_drive_current";
inline constexpr const char* kKeyGmailCurrent = "gmail_current";
inline constexpr const char* kKeyContactCurrent = "contact_current";
inline constexpr const char* kKeyCalendarCurrent = "calendar_current";
inline constexpr const char* kKeyBackupTotal = "backup_total";
inline constexpr const char* kKeyDriveTotal = "drive_total";
inline constexpr const char* kKeySharedDriveTotal = "shared_drive_total";
inline constexpr const char* kKeyGmailTotal = "gmail_total";
inline constexpr const char* kKeyContactTotal = "contact_total";
inline constexpr const char* kKeyCalendarTotal = "calendar_total";
inline constexpr const char* kKeyProcessPid = "process_pid";
inline constexpr const char* kKeyBackupMode = "backup_mode";
inline constexpr const char* kKeyLastTime = "last_time";
// A scheduling record's next run as the daemon announced it; an edit withdraws it.
inline constexpr const char* kKeyNextTime = "next_time";
inline constexpr const char* kKeyTotalAmount = "total_amount";
inline constexpr const char* kKeyBackupedAmount = "backuped_amount";
inline constexpr const char* kKeyGmailLastUser = "gmail_last_user";
inline constexpr const char* kKeyGmailLastIndex = "gmail_last_index";
inline constexpr const char* kKeyRestoreIdmapDrive = "restore_idmap_drive";
inline constexpr const char* kKeyRestoreIdmapSharedDrive = "restore_idmap_shared_drive";
inline constexpr const char* kKeyRestoreIdmapGmail = "restore_idmap_gmail";
inline constexpr const char* kKeyRestoreIdmapContact = "restore_idmap_contact";
inline constexpr const char* kKeyRestoreStampDrive = "restore_stamp_drive";
inline constexpr const char* kKeyRestoreStampSharedDrive = "restore_stamp_shared_drive";
inline constexpr const char* kKeyRestoreStampGmail = "restore_stamp_gmail";
inline constexpr const char* kKeyEndTime = "end_time";
// Only in list replies, never stored.
inline constexpr const char* kKeyMissionId = "mission_id";
inline constexpr const char* kKeyElapsedTime = "elapsed_time";

// The services of a mission as the five switches of a backup run, 1 for on. A record's "service"
// list names them "drive", "shared_drive", "gmail", "calendar", "contact".
struct Service_Switches {
    int nDrive = 0, nSharedDrive = 0, nCalendar = 0, nGmail = 0, nContact = 0;
};
// The names of the switches that are 1, in the order above; nullptr when memory runs out.
PT_JSON Service_List(const Service_Switches& sw);
// The switches of a record's service list: 1 for each name that stands in it exactly, other
// entries passed over; all 0 without a list.
Service_Switches Service_Switches_Of(PT_JSON record);

// The per-cent figure of (current, total): 0.0 for a total of 0, else clamped to [0, 100].
double Mission_Percent(int64_t llCurrent, int64_t llTotal);

// An integer key of a record, read as int64 whether it was written as int or int64; 0 when absent.
int64_t Mission_Int(PT_JSON record, const char* key);

// True when the record passes the key-word filter: no key word, or it is a substring of
// "mission_name", or else of "domain" (case-sensitive).
bool Mission_Matches_Key_Word(PT_JSON record, const char* pszKeyWord);

// Replaces the six per-cent keys with values computed from the record's counters.
void Mission_Recompute_Percents(PT_JSON record);

// Removes the restore id maps, which never reach the browser.
void Mission_Remove_Id_Maps(PT_JSON record);

// The paths of the scheduling records whose task_id is this task's; records that do not read
// or lack task_id belong to no task. Empty for an id not of the id form.
std::vector<std::string> Task_Schedule_Record_Paths(const char* pszTaskID);
// The same for the running records of the task's backups and restores.
std::vector<std::string> Task_Running_Record_Paths(const char* pszTaskID);

// A running restore keeps what it has finished in a journal beside its running record: one line
// per item, appended as it is done; the journal goes away with the record.
inline constexpr const char* kRestoreJournalSuffix = ".journal";
std::string Restore_Journal_Path(const std::string& strMissionPath);
// True for the name of such a journal (a file of the running folder that is no record).
bool Is_Restore_Journal_Name(const std::string& name);
// True for a name of the running folder that may be a running record: no sub-folder of the
// history, scheduling or export markers, and no restore journal.
bool Is_Running_Record_Name(const std::string& name);

}  // namespace qlm

// qsort comparator over pointers to record objects: newest "start_time" first (missing counts as 0).
int cmp_nStartTime_for_qsort(const void* a, const void* b);

// A service's counters in the running record: "<service>_current" and "backup_current".
// Begin reads the record: the overall count restarts at backup_current - <service>_current (not below
// 0) and the service count at 0, so a repeated attempt never counts its items twice.
// Add counts items done; the record is rewritten whole (temporary file and rename) at most about once
// a second. Flush rewrites it now (after each account, and at the end). The record's other keys stay
// as they are. 0, or the negative result of the record write (the counters are kept either way).
struct MissionProgress {
    std::string strPath;
    std::string strCurrentKey;  // "drive_current", "shared_drive_current", ...
    int64_t nServiceCurrent = 0;
    int64_t nBackupCurrent = 0;
    int64_t llLastWriteMs = 0;  // monotonic clock of the last write
    bool bDirty = false;
};
int Mission_Progress_Begin(MissionProgress& progress, const std::string& strMissionPath, const char* pszCurrentKey);
int Mission_Progress_Add(MissionProgress& progress, int64_t nItems = 1);
int Mission_Progress_Flush(MissionProgress& progress);
// While a command of the process runs, the watched progress's pending counters are written once
// they are a second old (and before it starts, when they are already), so a slow or hung command
// never hides the items finished before it. One watched progress per process; nullptr: none.
void Mission_Progress_Watch(MissionProgress* progress);
