#include "backup/run_backup.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "appgenerallib/keystore.h"
#include "backup/backup_retry.h"
#include "backup/backup_service.h"
#include "mission/mission_record.h"
#include "common/clock.h"
#include "common/cmdrun.h"
#include "common/filehelpers.h"
#include "common/guards.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "common/shellquote.h"
#include "common/toolcmd.h"
#include "common/atomicfile.h"
#include "log/log_db.h"
#include "web/action_log.h"
#include "web/reply.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_lock.h"
#include "plat_string.h"

namespace qlm {

std::string Backup_Total_Lock_Path(const std::string& strTaskID) {
    return Backup_Service_Dir("backup_total") + "/" + strTaskID + ".total_lck";
}

namespace {

// Everything one run needs; the task and the log handle belong to the caller.
struct Backup_Run {
    GWSTask* pTask = nullptr;
    const char* pszUser = "";
    sqlite3* db = nullptr;
    Service_Switches sw;
    std::string strMissionID, strMissionPath, strHistoryPath, strMissionName;
    int64_t llStartTime = 0;
};

void Run_Row(const Backup_Run& run, const char* pszStatus, const std::string& text) {
    Sql_Log_Insert_Data(run.db, "Orvenna", run.pTask->Get_Task_ID(), run.pTask->Get_Admin_Email(), run.pszUser,
                        pszStatus, "backup", "info", text.c_str());
}

std::string Domain_Text(const Backup_Run& run, const char* pszBefore, const char* pszAfter) {
    return std::string(pszBefore) + run.pTask->Get_Admin_Email() + pszAfter;
}

// The keys every backup record starts with; backup_status is the caller's.
PT_JSON Head_Record(const Backup_Run& run, const char* pszStatus) {
    PT_JSON record = Json_Dict_Init();
    Json_Dict_Add_List(record, kKeyService, Service_List(run.sw));
    Json_Dict_Add_Str(record, kKeyMissionName, run.strMissionName.c_str());
    Json_Dict_Add_Str(record, kKeyTaskId, run.pTask->Get_Task_ID());
    Json_Dict_Add_Str(record, kKeyDomain, run.pTask->Get_Admin_Email());
    Json_Dict_Add_Str(record, kKeyMode, "backup");
    Json_Dict_Add_Int64(record, kKeyStartTime, run.llStartTime);
    Json_Dict_Add_Str(record, kKeyBackupStatus, pszStatus);
    return record;
}

// A run refused before the lock leaves this record in the history.
void File_Early_Record(const Backup_Run& run) {
    RAIIful_Json record(Head_Record(run, "error"));
    Json_Write_File(run.strHistoryPath, record.get());
}

int Make_Mission_Folders() {
    if (int rc = smbbackup::Create_Path(Mission_Dir().c_str(), 0700)) return rc;
    return smbbackup::Create_Path(History_Mission_Dir().c_str(), 0700);
}

// Users selected for the run, from the task's own switches (an unset one, -1, counts as on).
int Backuped_Amount(const GWSTask& task) {
    if (task.Get_Backup_Drive_Enable() == 0 && task.Get_Backup_Calendar_Enable() == 0 &&
        task.Get_Backup_Gmail_Enable() == 0 && task.Get_Backup_Contact_Enable() == 0)
        return 0;
    if (task.Get_Auto_Add_User_Enable() == 0) {
        RAIIful_Json list(Json_From_String(task.Get_Manual_Select_Domain_User()));
        return Json_List_Size(list.get());
    }
    return task.Get_Total_User_Num();
}

// The scoutix checks of the selected services; the index of the failed check into kPermissionFail
// after its FAIL row and the early record, or -1 when all passed.
int Run_Permission_Checks(const Backup_Run& run, const std::string& strKeyPath) {
    return Run_Permission_Checks(*run.pTask, run.sw, strKeyPath, "Backup", [&](const std::string& row) {
        Run_Row(run, "FAIL", row);
        File_Early_Record(run);
    });
}

// The driver's record at the start of the run.
PT_JSON Start_Record(const Backup_Run& run, bool bManual) {
    PT_JSON record = Head_Record(run, "backing");
    for (const char* key : {kKeyTotalProgress, kKeyDriveProgress, kKeySharedDriveProgress, kKeyGmailProgress,
                            kKeyContactProgress, kKeyCalendarProgress})
        Json_Dict_Add_Double(record, key, 0.0);
    for (const char* key : {kKeyBackupCurrent, kKeyDriveCurrent, kKeySharedDriveCurrent, kKeyGmailCurrent,
                            kKeyContactCurrent, kKeyCalendarCurrent})
        Json_Dict_Add_Int(record, key, 0);
    Json_Dict_Add_Int(record, kKeyProcessPid, static_cast<int>(getpid()));
    Json_Dict_Add_Str(record, kKeyBackupMode, bManual ? "manual" : "scheduling");
    if (bManual) Json_Dict_Add_Int64(record, kKeyLastTime, run.llStartTime);
    Json_Dict_Add_Int(record, kKeyTotalAmount, run.pTask->Get_Total_User_Num());
    Json_Dict_Add_Int(record, kKeyBackupedAmount, Backuped_Amount(*run.pTask));
    return record;
}

// The end of every run that wrote its running record: the row, then the driver's own record (so no
// service key survives) with the final status and end time becomes the history record in one rename,
// and the running record goes.
void End_Run(const Backup_Run& run, PT_JSON record, bool bFinish, const std::string& row) {
    Run_Row(run, bFinish ? "SUCCESS" : "FAIL", row);
    Drop_Gmail_Resume(record);
    Json_Dict_Add_Str(record, kKeyBackupStatus, bFinish ? "finish" : "error");
    Json_Dict_Add_Int64(record, kKeyEndTime, static_cast<int64_t>(Now()));
    if (bFinish)
        for (const char* key : {kKeyTotalProgress, kKeyDriveProgress, kKeySharedDriveProgress, kKeyGmailProgress,
                                kKeyContactProgress, kKeyCalendarProgress})
            Json_Dict_Add_Double(record, key, 100.0);
    Sleep_Seconds(1.0);
    Json_Write_File(run.strHistoryPath, record);
    unlink(run.strMissionPath.c_str());
}

// The run itself, with the run lock held. A row of "" means the failure already has its rows.
void Perform_Run(Backup_Run& run, bool bManual) {
    RAIIful_Json record(Start_Record(run, bManual));
    Write_Start_Record_Keeping_Gmail_Resume(run.strMissionPath, record.get());

    DirGuard gam = Guard_Gam_Process_Dir();
    if (Initial_GAM_Conf(run.pTask->Get_Auth_ID(), run.pTask->Get_Admin_Email()) != 0) {
        End_Run(run, record.get(), false, "Failed to initialize API configuration.");
        return;
    }

    using CountFn = int (*)(GWSTask*, int64_t*, const char*, sqlite3*);
    struct Count {
        int nSwitch;
        CountFn fn;
        const char* pszKey;
        const char* pszName;
        int64_t llCount;
    } counts[] = {
        {run.sw.nGmail, Count_Gmail, kKeyGmailTotal, "Gmail", 0},
        {run.sw.nCalendar, Count_Calendar, kKeyCalendarTotal, "Calendar", 0},
        {run.sw.nContact, Count_Contact, kKeyContactTotal, "Contact", 0},
        {run.sw.nDrive, Count_Drive, kKeyDriveTotal, "Drive", 0},
        {run.sw.nSharedDrive, Count_Shared_Drive, kKeySharedDriveTotal, "Shared Drive", 0},
    };
    int64_t llSum = 0;
    for (Count& c : counts) {
        if (c.nSwitch != 1) continue;
        if (c.fn(run.pTask, &c.llCount, run.pszUser, run.db) < 0) {
            End_Run(run, record.get(), false, std::string("Failed in ") + c.pszName + " counting process.");
            return;
        }
        llSum += c.llCount;
    }
    Json_Dict_Add_Int64(record.get(), kKeyBackupTotal, llSum);
    for (const Count& c : counts) Json_Dict_Add_Int64(record.get(), c.pszKey, c.llCount);
    Json_Write_File(run.strMissionPath, record.get());

    struct Service {
        int nSwitch;
        BackupServiceFn fn;
        const char* pszFailure;
        bool bForceLog;
    } services[] = {
        {run.sw.nGmail, Backup_Gmail, "Gmail backup fail.", true},
        {run.sw.nSharedDrive, Backup_Shared_Drive, "Shared drive backup fail.", false},
        {run.sw.nCalendar, Backup_Calendar, "Calendar backup fail.", false},
        {run.sw.nContact, Backup_Contact, "Contact backup fail.", false},
        {run.sw.nDrive, Backup_Drive, "Drive backup fail.", false},
    };
    for (const Service& s : services) {
        if (s.nSwitch != 1) continue;
        if (Backup_Service_With_Retry(s.fn, run.pTask, run.strMissionPath, run.pTask->Get_Task_ID(), run.pszUser,
                                      run.db, s.pszFailure, s.bForceLog) < 0) {
            // The wrapper has stored the failure's rows; the history says "error".
            Drop_Gmail_Resume(record.get());
            Json_Dict_Add_Str(record.get(), kKeyBackupStatus, "error");
            Json_Dict_Add_Int64(record.get(), kKeyEndTime, static_cast<int64_t>(Now()));
            Json_Write_File(run.strHistoryPath, record.get());
            unlink(run.strMissionPath.c_str());
            return;
        }
    }
    End_Run(run, record.get(), true, Domain_Text(run, "Completed backup for all accounts in domain ", "."));
}

int Take_Run_Lock(const Backup_Run& run, int& fd) {
    if (Get_File_Lock(Backup_Total_Lock_Path(run.pTask->Get_Task_ID()).c_str(), 0, fd) == 0) return 0;
    Run_Row(run, "SUCCESS",
            std::string("Skipped scheduled backup for account ") + run.pTask->Get_Admin_Email() +
                ", reason: There is already a task in progress.");
    return -1;
}

}  // namespace

int Backup(O_APP_CGI_AGENT* agent) {
    const char* pszTaskID = agent->Get_Param("task_id");
    if (pszTaskID == nullptr) {
        Reply_Error(kReplyMissingParam, "task_id");
        return 0;
    }
    Backup_Run run;
    run.pszUser = agent->m_szUser;
    int sw[5] = {-1, -1, -1, -1, -1};
    agent->Get_Boolean_Param("drive_enable", sw[0]);
    agent->Get_Boolean_Param("shared_drive_enable", sw[1]);
    agent->Get_Boolean_Param("calendar_enable", sw[2]);
    agent->Get_Boolean_Param("gmail_enable", sw[3]);
    agent->Get_Boolean_Param("contact_enable", sw[4]);
    run.sw = {sw[0], sw[1], sw[2], sw[3], sw[4]};
    run.strMissionID = smbbackup::Create_New_ID();
    run.strMissionPath = Mission_Dir() + "/" + run.strMissionID;
    run.strHistoryPath = History_Mission_Dir() + "/" + smbbackup::Create_New_ID();

    Log_Db db;
    if (Open_Action_Log(db) != 0) return 0;
    run.db = db.get();

    GWSTask task;
    run.pTask = &task;
    // Only a text of the id form names a task file; anything else is a task that does not load.
    if (!Is_Id_Form(pszTaskID) || task.Load_Task_Data(pszTaskID) != 0) {
        Run_Row(run, "FAIL", Domain_Text(run, "Error occurred while backing up all accounts in domain ", ": Parameter error."));
        Reply_Error(kReplyBadParam, "task_id");
        return 0;
    }
    if (task.Validate_Task_Data() != 0) {
        Run_Row(run, "FAIL",
                Domain_Text(run, "Error occurred while backing up all accounts in domain ", ": Configuration file corruption."));
        Reply_Error(kReplyFailed, "task_id");
        return 0;
    }
    run.llStartTime = Now();
    run.strMissionName = Get_New_Mission_Name();
    Make_Mission_Folders();

    std::string strKeyPath;
    if (Get_Encrypt_Service_Account_Key(strKeyPath, task.Get_Auth_ID()) != 0) {
        Reply_Error(kReplyFailed, "Failed to get encrypted service account key.");
        File_Early_Record(run);
        return 0;
    }
    int failed = Run_Permission_Checks(run, strKeyPath);
    if (failed >= 0) {
        Reply_Error(kReplyPermissionCheckFailed, kPermissionFail[failed]);
        return 0;
    }

    int lockFd = -1;
    if (Take_Run_Lock(run, lockFd) != 0) {
        Reply_Success();
        return 0;
    }
    LockGuard lock(&lockFd);  // the parent's copy only: the child's copy keeps the lock
    Run_Row(run, "SUCCESS", Domain_Text(run, "Started backup for all accounts in domain ", "."));

    Ensure_Reply_Header();
    fflush(stdout);  // nothing buffered may be printed twice
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        Run_Row(run, "FAIL", Domain_Text(run, "Failed to start backup process for domain ", "."));
        File_Early_Record(run);
        Reply_Error(kReplyFailed, "Failed to start backup process.");
        return 0;
    }
    if (pid == 0) {
        Become_Worker(true);
        // The run starts with its worker, not with the checks before it: an abort tells the
        // worker from a later process of the same pid by this time.
        run.llStartTime = Now();
        // SQLite handles do not cross fork: the worker logs through its own.
        sqlite3* childDb = nullptr;
        if (Sql_Open_Datebase(&childDb) == 0 && Sql_Log_Create_Table(childDb) == 0) {
            run.db = childDb;
            run.strMissionName = Get_New_Mission_Name();
            Perform_Run(run, true);
        } else {
            File_Early_Record(run);  // the request was answered: its failure must show somewhere
        }
        _exit(0);
    }
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_Str(reply.get(), "mission_id", run.strMissionID.c_str());
    Reply_Json(reply.get());
    fflush(stdout);
    return 0;
}

}  // namespace qlm

void Run_Backup(const char* pszMissionID, const char* pszTaskID, int nDrive, int nSharedDrive, int nCalendar,
                int nGmail, int nContact, const char* pszLoginUser) {
    using namespace qlm;
    // Ids become file names: anything not of the id form ends the call before a file is touched.
    if (pszTaskID == nullptr || !Is_Id_Form(pszTaskID)) return;
    if (pszMissionID != nullptr && !Is_Id_Form(pszMissionID)) return;
    Become_Worker(false);

    Backup_Run run;
    run.pszUser = pszLoginUser ? pszLoginUser : "";
    run.sw = {nDrive, nSharedDrive, nCalendar, nGmail, nContact};
    run.strMissionID = pszMissionID ? pszMissionID : smbbackup::Create_New_ID();
    run.strMissionPath = Mission_Dir() + "/" + run.strMissionID;
    run.strHistoryPath = History_Mission_Dir() + "/" + smbbackup::Create_New_ID();
    if (pszMissionID != nullptr) {
        RAIIful_Json sched(Json_From_File((Scheduling_Mission_Dir() + "/" + run.strMissionID).c_str()));
        const char* name = nullptr;
        if (sched && Json_Dict_Find_Str(sched.get(), kKeyMissionName, name) == 0 && name[0] != '\0')
            run.strMissionName = name;
    }
    if (run.strMissionName.empty()) run.strMissionName = Get_New_Mission_Name();

    GWSTask task;
    if (task.Load_Task_Data(pszTaskID) != 0 || task.Validate_Task_Data() != 0) return;
    run.pTask = &task;
    run.llStartTime = Now();
    // The folders first: the early record of a refused run needs them.
    Make_Mission_Folders();

    sqlite3* rawDb = nullptr;
    int open = Sql_Open_Datebase(&rawDb);
    Log_Db db(rawDb);
    if (open != 0 || Sql_Log_Create_Table(db.get()) != 0) {
        File_Early_Record(run);
        Reply_Error(kReplyLogDbUnusable, open != 0 ? "KVT_Sql_Open_Datebase error." : "KVT_Sql_Log_Create_Table error.");
        return;
    }
    run.db = db.get();

    std::string strKeyPath;
    if (Get_Encrypt_Service_Account_Key(strKeyPath, task.Get_Auth_ID()) != 0) {
        File_Early_Record(run);
        return;
    }
    int failed = Run_Permission_Checks(run, strKeyPath);
    if (failed >= 0) {
        Reply_Error(kReplyPermissionCheckFailed, kPermissionFail[failed]);
        return;
    }
    int lockFd = -1;
    if (Take_Run_Lock(run, lockFd) != 0) return;
    LockGuard lock(&lockFd);
    Run_Row(run, "SUCCESS", Domain_Text(run, "Started backup for all accounts in domain ", "."));
    Perform_Run(run, false);
}
