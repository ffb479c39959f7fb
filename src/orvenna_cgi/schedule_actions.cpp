#include "orvenna_cgi/schedule_actions.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "mission/mission_record.h"
#include "backup/run_backup.h"
#include "common/atomicfile.h"
#include "common/clock.h"
#include "common/filehelpers.h"
#include "common/jsontext.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "web/action_log.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "orvenna_cgi/schedule_record.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_json.h"
#include "plat_string.h"

namespace qlm {

namespace {

// The booleans that stand for the record's service list in what detail_schedule_mission shows.
const struct {
    const char* pszFlag;
    int Service_Switches::*pSwitch;
} kServiceFlags[] = {
    {"drive_enable", &Service_Switches::nDrive},       {"shared_drive_enable", &Service_Switches::nSharedDrive},
    {"calendar_enable", &Service_Switches::nCalendar}, {"gmail_enable", &Service_Switches::nGmail},
    {"contact_enable", &Service_Switches::nContact},
};

// The scheduling record named by the request's mission_id. 0; otherwise, after the reply
// 5303 "mission_id" (missing) or 5302 "mission_id" (not of the id form, no such record, or a
// record that is not a JSON object: no file is touched for a text of another form), -1.
int Load_Request_Schedule(const O_APP_CGI_AGENT* agent, std::string& strMissionID, RAIIful_Json& rec) {
    const char* pszID = Get_Request_Mission_ID(agent);
    if (pszID == nullptr) return -1;
    rec.reset(Json_Read_Object_File(Scheduling_Mission_Dir() + "/" + pszID));
    if (!rec) {
        Reply_Error(kReplyBadParam, kKeyMissionId);
        return -1;
    }
    strMissionID = pszID;
    return 0;
}

void Reply_Mission_ID(const std::string& strMissionID) {
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_Str(reply.get(), kKeyMissionId, strMissionID.c_str());
    Reply_Json(reply.get());
}

}  // namespace

const char* Get_Request_Mission_ID(const O_APP_CGI_AGENT* agent) {
    const char* pszID = agent->Get_Param(kKeyMissionId);
    if (pszID == nullptr) {
        Reply_Error(kReplyMissingParam, kKeyMissionId);
        return nullptr;
    }
    if (!Is_Id_Form(pszID)) {
        Reply_Error(kReplyBadParam, kKeyMissionId);
        return nullptr;
    }
    return pszID;
}

int Add_Schedule_Mission(O_APP_CGI_AGENT* agent) {
    Log_Db db;
    if (Open_Action_Log(db) != 0) return 0;
    GWSTask task;
    if (Load_Valid_Request_Task(agent, task) != 0) return 0;
    Schedule_Params p;
    Read_Schedule_Params(agent, p);
    // An empty name would show as a blank line in the lists; it gets the default as an absent one.
    if (p.pszMissionName != nullptr && p.pszMissionName[0] == '\0') p.pszMissionName = nullptr;
    const std::string strMissionID = smbbackup::Create_New_ID();
    RAIIful_Json rec(Build_Schedule_Record(p, task, Now()));
    if (!rec || Write_Schedule_Record(strMissionID.c_str(), rec.get()) != 0) {
        Reply_Error(kReplyFailed, kKeyMissionId);  // nothing was scheduled: never a success
        return 0;
    }
    if (p.pszFrequency != nullptr) Send_Signal_Let_Daemon_Recalculate_Schedule_Queue(true);
    std::string msg = "User " + std::string(agent->m_szUser) + " added " + Json_Text_Of(rec.get(), kKeyMissionName) +
                      " to the task list.";
    Log_Action_Row(db.get(), task.Get_Task_ID(), task.Get_Admin_Email(), agent->m_szUser, "backup", "info",
                   msg.c_str());
    Reply_Mission_ID(strMissionID);
    return 0;
}

int Edit_Schedule_Mission(O_APP_CGI_AGENT* agent) {
    Log_Db db;
    if (Open_Action_Log(db) != 0) return 0;
    std::string strMissionID;
    RAIIful_Json rec;
    if (Load_Request_Schedule(agent, strMissionID, rec) != 0) return 0;
    const std::string strOldName = Json_Text_Of(rec.get(), kKeyMissionName);
    Schedule_Params p;
    Read_Schedule_Params(agent, p);
    // An empty name would show as a blank line in the lists: it gets the default, as in add.
    const std::string strDefaultName =
        p.pszMissionName != nullptr && p.pszMissionName[0] == '\0' ? Get_New_Mission_Name() : std::string();
    if (!strDefaultName.empty()) p.pszMissionName = strDefaultName.c_str();
    PT_JSON r = rec.get();
    bool ok = Json_Dict_Add_List(r, kKeyService, Schedule_Service_List(p)) == 0 &&
              Json_Dict_Add_Int(r, kKeyBackupSchedulingEnable, p.nBackupSchedulingEnable) == 0 &&
              Json_Dict_Add_Str(r, kKeyMode, "backup") == 0 &&
              Json_Dict_Add_Int64(r, kKeyStartTime, static_cast<int64_t>(Now())) == 0 &&
              Json_Dict_Add_Str(r, kKeyBackupStatus, "scheduling") == 0 &&
              Json_Dict_Add_Str(r, kKeyMissionName, p.pszMissionName) == 0 && Schedule_Record_Set_Times(r, p) == 0;
    // The daemon starts the run it announced; an edit withdraws that until the reload announces anew.
    Json_Dict_Remove(r, kKeyNextTime);
    const int rc = ok ? Replace_Schedule_Record(strMissionID.c_str(), r) : -1;
    if (rc != 0) {
        // Deleted while it was being edited: as for a schedule that was never there.
        Reply_Error(rc == -ENOENT ? kReplyBadParam : kReplyFailed, kKeyMissionId);
        return 0;
    }
    Send_Signal_Let_Daemon_Recalculate_Schedule_Queue(true);
    Reply_Mission_ID(strMissionID);
    std::string msg = "User " + std::string(agent->m_szUser) + " edited the settings of task " + strOldName + ".";
    Log_Action_Row(db.get(), Json_Text_Of(r, kKeyTaskId), Json_Text_Of(r, kKeyDomain), agent->m_szUser,
                   "backup", "info", msg.c_str());
    return 0;
}

int Detail_Schedule_Mission(O_APP_CGI_AGENT* agent) {
    std::string strMissionID;
    RAIIful_Json rec;
    if (Load_Request_Schedule(agent, strMissionID, rec) != 0) return 0;
    const Service_Switches sw = Service_Switches_Of(rec.get());
    for (const auto& f : kServiceFlags) Json_Dict_Add_Bool(rec.get(), f.pszFlag, sw.*f.pSwitch == 1);
    Json_Dict_Remove(rec.get(), kKeyService);
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_Dict(reply.get(), "data", rec.release());
    Reply_Json(reply.get());
    return 0;
}

int Run_Mission(O_APP_CGI_AGENT* agent) {
    std::string strMissionID;
    RAIIful_Json rec;
    if (Load_Request_Schedule(agent, strMissionID, rec) != 0) return 0;
    const Service_Switches sw = Service_Switches_Of(rec.get());
    int nEnable = 0;
    Json_Dict_Find_Int(rec.get(), kKeyBackupSchedulingEnable, nEnable);
    const std::string strTaskID = Json_Text_Of(rec.get(), kKeyTaskId);
    const std::string strUser = agent->m_szUser;

    Reply_Success();
    fflush(stdout);  // nothing buffered may be printed twice
    fflush(stderr);
    pid_t pid = fork();
    if (pid != 0) return 0;  // a failed fork starts nothing; the reply is out
    Become_Worker(true);
    Run_Backup(strMissionID.c_str(), strTaskID.c_str(), sw.nDrive, sw.nSharedDrive, sw.nCalendar, sw.nGmail,
               sw.nContact, strUser.c_str());
    // Even when the run was refused (another run of the task held its lock): the record was
    // asked for one run only.
    if (nEnable == 0 && unlink((Scheduling_Mission_Dir() + "/" + strMissionID).c_str()) == 0)
        Send_Signal_Let_Daemon_Recalculate_Schedule_Queue(true);
    _exit(0);
}

}  // namespace qlm
