#include "orvenna_task.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "appgenerallib/keystore.h"
#include "common/atomicfile.h"
#include "common/clock.h"
#include "common/filehelpers.h"
#include "common/guards.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "plat_conf.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_lock.h"
#include "plat_string.h"

namespace {

constexpr const char* kConfLock = "gws_conf_lock";
constexpr int kConfLockWaitMs = 15000;

// Stores a private copy of psz in member; the old copy goes only once the new one exists.
int Set_Text(char*& member, const char* psz) {
    if (psz == nullptr) return -61;
    char* copy = nullptr;
    if (int rc = Copy_String(&copy, psz); rc != 0) return rc;
    free(member);
    member = copy;
    return 0;
}

void Free_Text(char*& member) {
    free(member);
    member = nullptr;
}

// The texts of an unset member are written as the empty text.
const char* Or_Empty(const char* p) { return p ? p : ""; }

// Writes the section as the whole task file: a reader sees the old file or the new one.
int Write_Task_File(const std::string& path, const _T_STR_SECT_NODE_* node) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* mem = open_memstream(&buf, &len);
    if (mem == nullptr) return -errno;
    Set_Pair_Format(0);
    int wrote = Write_Sect_Node(mem, node);
    int closed = fclose(mem);
    std::string text(buf ? buf : "", buf ? len : 0);
    free(buf);
    if (wrote < 0) return wrote;
    if (closed != 0) return -EIO;
    return qlm::Write_File_Atomic(path, text, 0600);
}

// The number of users in the key's upload listing, or -161 when the listing is missing or unreadable.
int Count_Listed_Users(const std::string& listPath) {
    RAIIful_Json list(Json_From_File(listPath.c_str()));
    if (!list || !json_object_is_type(list.get(), json_type_object)) return -161;
    PT_JSON users = nullptr;
    if (Json_Dict_Find_List(list.get(), "user_list", users) != 0) return 0;
    return Json_List_Size(users);
}

// A changed key or admin e-mail makes the cached listing another domain's: drop it.
void Drop_Listing_Cache(const std::string& taskID) {
    std::string dir = qlm::Task_Listing_Cache_Dir(taskID);
    unlink((dir + "/domain_user").c_str());
    unlink((dir + "/shared_drive").c_str());
}

}  // namespace

namespace qlm {

std::string Task_Conf_Path(const std::string& strTaskID) { return Conf_Dir() + "/" + strTaskID; }

std::string Task_Listing_Cache_Dir(const std::string& strTaskID) {
    return Backup_Service_Dir("domain_user_and_shared_dirve_db") + "/" + strTaskID;
}

}  // namespace qlm

GWSTask::GWSTask() { Initialize_All_Varible(); }

GWSTask::GWSTask(const char* pszTask_ID) {
    Initialize_All_Varible();
    Load_Task_Data(pszTask_ID);
}

GWSTask::~GWSTask() { Free_All_Varible(); }

void GWSTask::Initialize_All_Varible() {
    m_tCreateTime = -1;
    m_nConfVersion = -1;
    m_pszTaskStatus = nullptr;
    m_pszTaskID = nullptr;
    m_pszAuthID = nullptr;
    m_pszAdminEmail = nullptr;
    m_bBackupDriveEnable = -1;
    m_bBackupSharedDriveEnable = -1;
    m_bBackupContactEnable = -1;
    m_bBackupCalendarEnable = -1;
    m_bBackupGmailEnable = -1;
    m_bAutoAddUserEnable = -1;
    m_bAutoAddSharedDriveEnable = -1;
    m_bScheduleBackupEnable = -1;
    m_pszScheduleBackupFrequence = nullptr;
    m_nScheduleYear = -1;
    m_nScheduleMonth = -1;
    m_pszScheduleDay = nullptr;
    m_pszScheduleWeek = nullptr;
    m_nScheduleHour = -1;
    m_nScheduleMinute = -1;
    m_nTotalUserNumber = -1;
    m_pszManualSelectDomainUser = nullptr;
    m_pszManualSelectSharedDrive = nullptr;
}

void GWSTask::Free_All_Varible() {
    for (char** p : {&m_pszTaskStatus, &m_pszTaskID, &m_pszAuthID, &m_pszAdminEmail, &m_pszScheduleBackupFrequence,
                     &m_pszScheduleDay, &m_pszScheduleWeek, &m_pszManualSelectDomainUser,
                     &m_pszManualSelectSharedDrive})
        Free_Text(*p);
    Initialize_All_Varible();
}

int GWSTask::Set_Task_Status(const char* psz) { return Set_Text(m_pszTaskStatus, psz); }
int GWSTask::Set_Task_ID(const char* psz) { return Set_Text(m_pszTaskID, psz); }
int GWSTask::Set_Auth_ID(const char* psz) { return Set_Text(m_pszAuthID, psz); }
int GWSTask::Set_Admin_Email(const char* psz) { return Set_Text(m_pszAdminEmail, psz); }
int GWSTask::Set_Schedule_Backup_Frequence(const char* psz) { return Set_Text(m_pszScheduleBackupFrequence, psz); }
int GWSTask::Set_Schedule_Day(const char* psz) { return Set_Text(m_pszScheduleDay, psz); }
int GWSTask::Set_Schedule_Week(const char* psz) { return Set_Text(m_pszScheduleWeek, psz); }
int GWSTask::Set_Manual_Select_Domain_User(const char* psz) { return Set_Text(m_pszManualSelectDomainUser, psz); }
int GWSTask::Set_Manual_Select_Shared_Drive(const char* psz) { return Set_Text(m_pszManualSelectSharedDrive, psz); }

int GWSTask::Create_And_Set_New_Task_ID() { return Set_Task_ID(smbbackup::Create_New_ID().c_str()); }

int GWSTask::Validate_Task_Data() { return 0; }

int GWSTask::Load_Task_Data(const char* pszTask_ID) {
    if (pszTask_ID == nullptr) return -161;
    // A text of another form names no task; it never becomes a path.
    if (!qlm::Is_Id_Form(pszTask_ID)) return -2;
    std::string path = qlm::Task_Conf_Path(pszTask_ID);
    if (access(path.c_str(), F_OK) != 0) return -2;
    if (Set_Task_ID(pszTask_ID) != 0) return -161;

    _T_STR_SECT_NODE_* raw = nullptr;
    if (int rc = Get_Conf_File_Section(path.c_str(), pszTask_ID, &raw); rc != 0) return rc;
    Sect_List_Ptr sect(raw);
    if (!sect) return -161;

    std::string text;
    auto readText = [&](const char* key, int (GWSTask::*set)(const char*)) {
        return Get_Pair_String_Buffer(sect.get(), key, text) == 0 && (this->*set)(text.c_str()) == 0;
    };
    auto readBool = [&](const char* key, int& member) {
        int v = 0;
        if (Get_Pair_Boolean_Value(sect.get(), key, v) != 0) return false;
        member = v;
        return true;
    };

    if (!readText("task_status", &GWSTask::Set_Task_Status)) return -161;
    int version = 0;
    if (Get_Pair_Integer_Value(sect.get(), "configure_version", version) != 0) return -161;
    m_nConfVersion = version;
    int64_t created = 0;
    if (Get_Pair_Int64_Value(sect.get(), "create_time", created) != 0) return -161;
    m_tCreateTime = created;
    if (!readText("auth_id", &GWSTask::Set_Auth_ID)) return -161;
    if (!readText("admin_email", &GWSTask::Set_Admin_Email)) return -161;
    if (!readBool("drive_enable", m_bBackupDriveEnable) || !readBool("shared_drive_enable", m_bBackupSharedDriveEnable) ||
        !readBool("calendar_enable", m_bBackupCalendarEnable) || !readBool("gmail_enable", m_bBackupGmailEnable) ||
        !readBool("contact_enable", m_bBackupContactEnable) || !readBool("auto_add_user_enable", m_bAutoAddUserEnable) ||
        !readBool("auto_add_shared_drive_enable", m_bAutoAddSharedDriveEnable))
        return -161;

    // The hand-picked lists matter only while the services they feed are on.
    bool userServices = m_bBackupDriveEnable != 0 || m_bBackupGmailEnable != 0 || m_bBackupCalendarEnable != 0 ||
                        m_bBackupContactEnable != 0;
    if (m_bAutoAddUserEnable == 0 && userServices &&
        !readText("manual_domain_user", &GWSTask::Set_Manual_Select_Domain_User))
        return -161;
    if (m_bAutoAddSharedDriveEnable == 0 && m_bBackupSharedDriveEnable != 0 &&
        !readText("manual_shared_drive", &GWSTask::Set_Manual_Select_Shared_Drive))
        return -161;

    int total = 0;
    if (Get_Pair_Integer_Value(sect.get(), "total_user_number", total) != 0) return -161;
    m_nTotalUserNumber = total;
    return 0;
}

int GWSTask::Set_Param_To_Sect_Node(_T_STR_SECT_NODE_* ptSect) {
    int rc = 0;
    struct TextKey {
        const char* key;
        const char* value;
    };
    for (const TextKey& t : {TextKey{"task_status", m_pszTaskStatus}, TextKey{"auth_id", m_pszAuthID},
                             TextKey{"manual_domain_user", m_pszManualSelectDomainUser},
                             TextKey{"manual_shared_drive", m_pszManualSelectSharedDrive},
                             TextKey{"admin_email", m_pszAdminEmail}}) {
        rc = Set_Pair_String_Value(ptSect, t.key, Or_Empty(t.value));
        if (rc < 0) return rc;
    }
    struct NumKey {
        const char* key;
        int value;
    };
    for (const NumKey& b : {NumKey{"drive_enable", m_bBackupDriveEnable},
                            NumKey{"shared_drive_enable", m_bBackupSharedDriveEnable},
                            NumKey{"contact_enable", m_bBackupContactEnable},
                            NumKey{"calendar_enable", m_bBackupCalendarEnable},
                            NumKey{"gmail_enable", m_bBackupGmailEnable},
                            NumKey{"auto_add_user_enable", m_bAutoAddUserEnable},
                            NumKey{"auto_add_shared_drive_enable", m_bAutoAddSharedDriveEnable},
                            NumKey{"schedule_backup_enable", m_bScheduleBackupEnable}}) {
        if (b.value == -1) continue;
        rc = Set_Pair_Boolean_Value(ptSect, b.key, b.value);
        if (rc < 0) return rc;
    }
    rc = Set_Pair_String_Value(ptSect, "schedule_frequence", Or_Empty(m_pszScheduleBackupFrequence));
    if (rc < 0) return rc;
    for (const NumKey& n : {NumKey{"schedule_year", m_nScheduleYear}, NumKey{"schedule_month", m_nScheduleMonth},
                            NumKey{"schedule_hour", m_nScheduleHour}, NumKey{"schedule_minute", m_nScheduleMinute}}) {
        if (n.value == -1) continue;
        rc = Set_Pair_Integer_Value(ptSect, n.key, n.value);
        if (rc < 0) return rc;
    }
    return rc;
}

int GWSTask::Create_A_New_Configure_File() {
    int fd = -1;
    if (int rc = Get_File_Lock(kConfLock, kConfLockWaitMs, fd); rc != 0) return rc;
    LockGuard lock(&fd);

    std::string confDir = qlm::Conf_Dir();
    smbbackup::Create_Path(confDir.c_str(), 0700);
    smbbackup::Create_Path(qlm::Sa_Dir().c_str(), 0700);
    if (Get_All_GWS_Task_ID_In_Vector().size() >= static_cast<size_t>(kMaxGwsTasks)) return -194;
    if (int rc = Check_Conf_DIR(confDir.c_str()); rc != 0) return rc;
    if (!qlm::Is_Id_Form(m_pszTaskID)) return -161;
    if (!qlm::Is_Id_Form(m_pszAuthID)) return -22;

    Sect_List_Ptr sect(Create_Sect_Node(m_pszTaskID));
    if (!sect) return -12;
    if (int rc = Set_Param_To_Sect_Node(sect.get()); rc < 0) return rc;
    if (int rc = Set_Pair_Integer_Value(sect.get(), "create_time", qlm::Now()); rc < 0) return rc;
    if (int rc = Set_Pair_Integer_Value(sect.get(), "configure_version", 0); rc < 0) return rc;

    // The user list is read before the key moves, so a create that fails here leaves the upload
    // as it was and the key can still be used.
    std::string listPath = qlm::User_List_Path(m_pszAuthID);
    int users = Count_Listed_Users(listPath);
    if (users < 0) return users;
    if (int rc = Set_Pair_Integer_Value(sect.get(), "total_user_number", users); rc < 0) return rc;

    if (int rc = Move_Temporary_SA_Key_To_Official_Storage(nullptr); rc != 0) return rc;
    if (int rc = Write_Task_File(qlm::Task_Conf_Path(m_pszTaskID), sect.get()); rc != 0) {
        // No task holds the key: put it back where the next create finds it.
        rename(qlm::Stored_Key_Path(m_pszAuthID).c_str(), qlm::Pending_Key_Path(m_pszAuthID).c_str());
        return rc;
    }
    unlink(listPath.c_str());
    return 0;
}

int GWSTask::Update_Change_To_Configure() {
    if (!qlm::Is_Id_Form(m_pszTaskID)) return -231;
    int fd = -1;
    if (int rc = Get_File_Lock(kConfLock, kConfLockWaitMs, fd); rc != 0) return rc;
    LockGuard lock(&fd);

    std::string path = qlm::Task_Conf_Path(m_pszTaskID);
    _T_STR_SECT_NODE_* raw = nullptr;
    if (Get_Conf_File_Section(path.c_str(), m_pszTaskID, &raw) != 0 || raw == nullptr) {
        Release_Sect_List(raw);
        return -231;
    }
    Sect_List_Ptr stored(raw);
    std::string oldAuth, oldAdmin;
    Get_Pair_String_Buffer(stored.get(), "auth_id", oldAuth);
    Get_Pair_String_Buffer(stored.get(), "admin_email", oldAdmin);
    const bool keyChanged = oldAuth != Or_Empty(m_pszAuthID);

    Sect_List_Ptr sect(Create_Sect_Node(m_pszTaskID));
    if (!sect) return -12;
    if (int rc = Clone_Pair_List(sect.get(), stored.get()); rc < 0) return rc;
    if (int rc = Set_Param_To_Sect_Node(sect.get()); rc < 0) return rc;

    // The new key goes in first and the old one out last: a failure on the way leaves the task
    // with the key it had.
    if (keyChanged) {
        if (int rc = Move_Temporary_SA_Key_To_Official_Storage(nullptr); rc != 0) return rc;
    }
    if (int rc = Write_Task_File(path, sect.get()); rc != 0) {
        if (keyChanged)
            rename(qlm::Stored_Key_Path(m_pszAuthID).c_str(), qlm::Pending_Key_Path(m_pszAuthID).c_str());
        return rc;
    }
    if (keyChanged && qlm::Is_Id_Form(oldAuth.c_str())) unlink(qlm::Stored_Key_Path(oldAuth).c_str());
    if (keyChanged || oldAdmin != Or_Empty(m_pszAdminEmail)) Drop_Listing_Cache(m_pszTaskID);
    return 0;
}

int GWSTask::Move_Temporary_SA_Key_To_Official_Storage(const char* pszRemoveExistingSAKeyID) {
    if (!qlm::Is_Id_Form(m_pszAuthID)) return -22;
    smbbackup::Create_Path(qlm::Sa_Dir().c_str(), 0700);
    if (rename(qlm::Pending_Key_Path(m_pszAuthID).c_str(), qlm::Stored_Key_Path(m_pszAuthID).c_str()) != 0)
        return -errno;
    if (pszRemoveExistingSAKeyID != nullptr && qlm::Is_Id_Form(pszRemoveExistingSAKeyID) &&
        strcmp(pszRemoveExistingSAKeyID, m_pszAuthID) != 0)
        unlink(qlm::Stored_Key_Path(pszRemoveExistingSAKeyID).c_str());
    return 0;
}

int GWSTask::Delete_Task() {
    if (int rc = Validate_Task_Data(); rc != 0) return rc;
    if (!qlm::Is_Id_Form(m_pszTaskID)) return 0;
    int fd = -1;
    if (int rc = Get_File_Lock(kConfLock, kConfLockWaitMs, fd); rc != 0) return rc;
    LockGuard lock(&fd);

    unlink(qlm::Task_Conf_Path(m_pszTaskID).c_str());
    if (qlm::Is_Id_Form(m_pszAuthID)) unlink(qlm::Stored_Key_Path(m_pszAuthID).c_str());
    for (const char* service : {"drive_db", "drive"}) {
        std::string dir = qlm::Backup_Service_Dir(service) + "/" + m_pszTaskID;
        if (Is_Folder(dir.c_str()) == 1) Remove_Folder_Tree(dir.c_str(), 0, nullptr);
    }
    return 0;
}

std::vector<std::string> Get_All_GWS_Task_ID_In_Vector() {
    std::vector<std::string> names, ids;
    GetFolderList(names, qlm::Conf_Dir().c_str());
    for (std::string& name : names)
        if (smbbackup::Is_Task_Configure_File_Name(name.c_str())) ids.push_back(std::move(name));
    return ids;
}
