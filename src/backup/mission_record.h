// Mission records: the key names every writer and reader shares, and the small computations the
// mission lists make on them.
#pragma once
#include <cstdint>
#include <string>

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
inline constexpr const char* kKeyTotalAmount = "total_amount";
inline constexpr const char* kKeyBackupedAmount = "backuped_amount";
inline constexpr const char* kKeyGmailLastUser = "gmail_last_user";
inline constexpr const char* kKeyGmailLastIndex = "gmail_last_index";
inline constexpr const char* kKeyRestoreIdmapDrive = "restore_idmap_drive";
inline constexpr const char* kKeyRestoreIdmapSharedDrive = "restore_idmap_shared_drive";
inline constexpr const char* kKeyRestoreIdmapGmail = "restore_idmap_gmail";
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

}  // namespace qlm

// qsort comparator over pointers to record objects: newest "start_time" first (missing counts as 0).
int cmp_nStartTime_for_qsort(const void* a, const void* b);
