// One domain task (GWSTask) and its configuration file conf/<task id>.
//
// The file holds one section named by the task id, in the platform's configuration format:
//     [<task id>]
//     task_status = Stand_by
//     auth_id = <auth id>
//     manual_domain_user = ["id1","id2"]
//     manual_shared_drive = []
//     admin_email = admin@example.com
//     drive_enable = true            (the seven switches only when set)
//     ...
//     schedule_frequence =           (always written, always empty; schedules live in their own records)
//     create_time = 1700000000       (the last three written by creation only)
//     configure_version = 0
//     total_user_number = 12
//
// Results are 0 or negative: -2 no task file, -61 NULL text, -161 no id / no section / a required
// key missing / the key's user list missing, -194 the 32-task limit, -231 the stored section
// unreadable on update, -errno for a failed rename or write, or the platform call's own result.
// Every id that reaches a path is checked for the id form first; a text that fails it never
// touches a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct _T_STR_SECT_NODE_;

// At most this many tasks exist at once.
inline constexpr int kMaxGwsTasks = 32;

class GWSTask {
public:
    GWSTask();
    // Loads the task; the result is not kept: callers that need it check the members.
    explicit GWSTask(const char* pszTask_ID);
    ~GWSTask();
    GWSTask(const GWSTask&) = delete;
    GWSTask& operator=(const GWSTask&) = delete;

    void Initialize_All_Varible();  // every member unset (-1 / NULL), nothing freed
    void Free_All_Varible();        // frees the owned texts and sets every member unset

    // Text getters give "" for an unset member, never NULL; the text stays the object's.
    int64_t Get_Create_Time() const { return m_tCreateTime; }
    int Get_Conf_Version() const { return m_nConfVersion; }
    const char* Get_Task_Status() const { return Text(m_pszTaskStatus); }
    const char* Get_Task_ID() const { return Text(m_pszTaskID); }
    const char* Get_Auth_ID() const { return Text(m_pszAuthID); }
    const char* Get_Admin_Email() const { return Text(m_pszAdminEmail); }
    int Get_Backup_Drive_Enable() const { return m_bBackupDriveEnable; }
    int Get_Backup_Shared_Drive_Enable() const { return m_bBackupSharedDriveEnable; }
    int Get_Backup_Contact_Enable() const { return m_bBackupContactEnable; }
    int Get_Backup_Calendar_Enable() const { return m_bBackupCalendarEnable; }
    int Get_Backup_Gmail_Enable() const { return m_bBackupGmailEnable; }
    int Get_Auto_Add_User_Enable() const { return m_bAutoAddUserEnable; }
    int Get_Auto_Add_Shared_Drive_Enable() const { return m_bAutoAddSharedDriveEnable; }
    int Get_Schedule_Backup_Enable() const { return m_bScheduleBackupEnable; }
    const char* Get_Schedule_Backup_Frequence() const { return Text(m_pszScheduleBackupFrequence); }
    int Get_Schedule_Year() const { return m_nScheduleYear; }
    int Get_Schedule_Month() const { return m_nScheduleMonth; }
    const char* Get_Schedule_Day() const { return Text(m_pszScheduleDay); }
    const char* Get_Schedule_Week() const { return Text(m_pszScheduleWeek); }
    int Get_Schedule_Hour() const { return m_nScheduleHour; }
    int Get_Schedule_Minute() const { return m_nScheduleMinute; }
    int Get_Total_User_Num() const { return m_nTotalUserNumber; }
    const char* Get_Manual_Select_Domain_User() const { return Text(m_pszManualSelectDomainUser); }
    const char* Get_Manual_Select_Shared_Drive() const { return Text(m_pszManualSelectSharedDrive); }

    void Set_Create_Time(int64_t t) { m_tCreateTime = t; }
    void Set_Conf_Version(int n) { m_nConfVersion = n; }
    void Set_Backup_Drive_Enable(int b) { m_bBackupDriveEnable = b; }
    void Set_Backup_Shared_Drive_Enable(int b) { m_bBackupSharedDriveEnable = b; }
    void Set_Backup_Contact_Enable(int b) { m_bBackupContactEnable = b; }
    void Set_Backup_Calendar_Enable(int b) { m_bBackupCalendarEnable = b; }
    void Set_Backup_Gmail_Enable(int b) { m_bBackupGmailEnable = b; }
    void Set_Auto_Add_User_Enable(int b) { m_bAutoAddUserEnable = b; }
    void Set_Auto_Add_Shared_Drive_Enable(int b) { m_bAutoAddSharedDriveEnable = b; }
    void Set_Schedule_Backup_Enable(int b) { m_bScheduleBackupEnable = b; }
    void Set_Schedule_Year(int n) { m_nScheduleYear = n; }
    void Set_Schedule_Month(int n) { m_nScheduleMonth = n; }
    void Set_Schedule_Hour(int n) { m_nScheduleHour = n; }
    void Set_Schedule_Minute(int n) { m_nScheduleMinute = n; }
    void Set_Total_User_Num(int n) { m_nTotalUserNumber = n; }

    // Text setters: -61 for NULL; otherwise Copy_String's result. The old text is freed only
    // after the copy was made, so a failed set leaves the member as it was.
    int Set_Task_Status(const char* psz);
    int Set_Task_ID(const char* psz);
    int Set_Auth_ID(const char* psz);
    int Set_Admin_Email(const char* psz);
    int Set_Schedule_Backup_Frequence(const char* psz);
    int Set_Schedule_Day(const char* psz);
    int Set_Schedule_Week(const char* psz);
    int Set_Manual_Select_Domain_User(const char* psz);
    int Set_Manual_Select_Shared_Drive(const char* psz);

    // A fresh id from smbbackup::Create_New_ID as the task id.
    int Create_And_Set_New_Task_ID();
    // Accepts every task (0).
    int Validate_Task_Data();
    // Reads conf/<id> into the members. -161 for NULL; -2 for a missing file and for a text that
    // is not of the id form (the id member is then left unset); -161 for a missing section or
    // required key (members read before it stay set).
    int Load_Task_Data(const char* pszTask_ID);
    // Writes the members as keys into ptSect; the last write's result, or the first negative one.
    int Set_Param_To_Sect_Node(_T_STR_SECT_NODE_* ptSect);
    // Under "gws_conf_lock": refuses a 33rd task (-194), reads the key's user list for
    // total_user_number (-161 when it is missing), installs the uploaded key (tmp/<auth>_en ->
    // sa/<auth>) and writes the file, then removes the user list. A failure leaves the upload's
    // files where they were, so the same auth id can be used again.
    int Create_A_New_Configure_File();
    // Under "gws_conf_lock": merges the members into the stored file. When the auth id changed,
    // the new key is installed first and the old one removed only after the file was rewritten;
    // a failed rewrite puts the new key back and leaves the task with its old key. A change of
    // key or admin e-mail drops the task's cached user and shared-drive listing.
    int Update_Change_To_Configure();
    // Renames tmp/<auth>_en of this task's auth id to sa/<auth>; then removes sa/<old> when an
    // old id is given (and differs). 0, -22 for ids not of the id form, or -errno of the rename.
    int Move_Temporary_SA_Key_To_Official_Storage(const char* pszRemoveExistingSAKeyID);
    // Under "gws_conf_lock": removes the task file, sa/<auth> and the task's Drive backup trees
    // (the other services' backups stay). 0, also when a step fails or the task id is not of the
    // id form (nothing is touched then); the lock's result when it cannot be taken.
    int Delete_Task();

private:
    static const char* Text(const char* p) { return p ? p : ""; }

    int64_t m_tCreateTime;
    int m_nConfVersion;
    char* m_pszTaskStatus;
    char* m_pszTaskID;
    char* m_pszAuthID;
    char* m_pszAdminEmail;
    int m_bBackupDriveEnable;
    int m_bBackupSharedDriveEnable;
    int m_bBackupContactEnable;
    int m_bBackupCalendarEnable;
    int m_bBackupGmailEnable;
    int m_bAutoAddUserEnable;
    int m_bAutoAddSharedDriveEnable;
    int m_bScheduleBackupEnable;
    char* m_pszScheduleBackupFrequence;
    int m_nScheduleYear;
    int m_nScheduleMonth;
    char* m_pszScheduleDay;
    char* m_pszScheduleWeek;
    int m_nScheduleHour;
    int m_nScheduleMinute;
    int m_nTotalUserNumber;
    char* m_pszManualSelectDomainUser;
    char* m_pszManualSelectSharedDrive;
};

// The ids of all tasks (entries of conf/ of the id form), in directory order; none for a missing folder.
std::vector<std::string> Get_All_GWS_Task_ID_In_Vector();

namespace qlm {

// conf/<task id>, and the task's listing cache folder backup/domain_user_and_shared_dirve_db/<task id>.
std::string Task_Conf_Path(const std::string& strTaskID);
std::string Task_Listing_Cache_Dir(const std::string& strTaskID);

}  // namespace qlm
