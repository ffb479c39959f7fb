#include "orvenna_cgi/schedule_record.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mission/mission_record.h"
#include "common/atomicfile.h"
#include "common/filehelpers.h"
#include "common/next_time.h"
#include "common/paths.h"
#include "common/procinfo.h"
#include "common/reqcheck.h"
#include "common/shellquote.h"
#include "log/log_db.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_proc.h"
#include "plat_string.h"

namespace qlm {

void Read_Schedule_Params(O_APP_CGI_AGENT* agent, Schedule_Params& out) {
    out = Schedule_Params{};
    agent->Get_Boolean_Param("drive_enable", out.nDrive);
    agent->Get_Boolean_Param("shared_drive_enable", out.nSharedDrive);
    agent->Get_Boolean_Param("calendar_enable", out.nCalendar);
    agent->Get_Boolean_Param("gmail_enable", out.nGmail);
    agent->Get_Boolean_Param("contact_enable", out.nContact);
    agent->Get_Boolean_Param(kKeyBackupSchedulingEnable, out.nBackupSchedulingEnable);
    out.pszMissionName = agent->Get_Param("mission_name");
    out.pszFrequency = agent->Get_Param(kKeyScheduleFrequency);
    out.pszInterval = agent->Get_Param("schedule_interval");
    out.pszYear = agent->Get_Param("schedule_year");
    out.pszMonth = agent->Get_Param("schedule_month");
    out.pszDay = agent->Get_Param("schedule_day");
    out.pszWeek = agent->Get_Param("schedule_week");
    out.pszHour = agent->Get_Param("schedule_hour");
    out.pszMinute = agent->Get_Param("schedule_minute");
    out.pszHourEnd = agent->Get_Param("schedule_hour_end");
    out.pszMinuteEnd = agent->Get_Param("schedule_minute_end");
}

json_object* Schedule_Service_List(const Schedule_Params& p) {
    return Service_List({p.nDrive, p.nSharedDrive, p.nCalendar, p.nGmail, p.nContact});
}

std::string Schedule_List_Text(const char* pszSent) {
    // A page that sends back what detail_schedule_mission showed it sends the stored array text.
    if (pszSent != nullptr && pszSent[0] == '[') {
        RAIIful_Json list(Json_From_String(pszSent));
        if (Json_Is_List(list.get())) return Json_To_Plain_String(list.get());
    }
    return smbbackup::Parse_Separated_Data_To_Json_String(pszSent, ",", 0);
}

int Schedule_Record_Set_Times(json_object* rec, const Schedule_Params& p) {
    std::string day = Schedule_List_Text(p.pszDay);
    std::string week = Schedule_List_Text(p.pszWeek);
    const std::pair<const char*, const char*> texts[] = {
        {kKeyScheduleFrequency, p.pszFrequency}, {"schedule_interval", p.pszInterval},
        {"schedule_year", p.pszYear},           {"schedule_month", p.pszMonth},
        {"schedule_day", day.c_str()},          {"schedule_week", week.c_str()},
        {"schedule_hour", p.pszHour},           {"schedule_minute", p.pszMinute},
        {"schedule_hour_end", p.pszHourEnd},    {"schedule_minute_end", p.pszMinuteEnd}};
    for (const auto& [key, value] : texts)
        if (int rc = Json_Dict_Add_Str(rec, key, value); rc != 0) return rc;
    return 0;
}

int Schedule_Backuped_Amount(const GWSTask& task) {
    bool userServices = task.Get_Backup_Drive_Enable() != 0 || task.Get_Backup_Calendar_Enable() != 0 ||
                        task.Get_Backup_Gmail_Enable() != 0 || task.Get_Backup_Contact_Enable() != 0;
    if (!userServices) return 0;
    if (task.Get_Auto_Add_User_Enable() != 0) return task.Get_Total_User_Num();
    // Json_List_Size gives 0 for a list that does not parse (the empty text an edit can store).
    RAIIful_Json picked(Json_From_String(task.Get_Manual_Select_Domain_User()));
    return Json_List_Size(picked.get());
}

json_object* Build_Schedule_Record(const Schedule_Params& p, const GWSTask& task, time_t tNow) {
    RAIIful_Json rec(Json_Dict_Init());
    if (!rec) return nullptr;
    std::string name = p.pszMissionName ? p.pszMissionName : Get_New_Mission_Name();
    PT_JSON r = rec.get();
    bool ok = Json_Dict_Add_List(r, "service", Schedule_Service_List(p)) == 0 &&
              Json_Dict_Add_Str(r, "mission_name", name.c_str()) == 0 &&
              Json_Dict_Add_Int(r, kKeyBackupSchedulingEnable, p.nBackupSchedulingEnable) == 0 &&
              Json_Dict_Add_Str(r, "task_id", task.Get_Task_ID()) == 0 &&
              Json_Dict_Add_Str(r, "domain", task.Get_Admin_Email()) == 0 &&
              Json_Dict_Add_Str(r, "mode", "backup") == 0 && Json_Dict_Add_Int64(r, "start_time", tNow) == 0 &&
              Json_Dict_Add_Str(r, "backup_status", "scheduling") == 0 &&
              Json_Dict_Add_Int(r, "total_amount", task.Get_Total_User_Num()) == 0 &&
              Json_Dict_Add_Int(r, "backuped_amount", Schedule_Backuped_Amount(task)) == 0 &&
              Schedule_Record_Set_Times(r, p) == 0 && Json_Dict_Add_Str(r, "backup_mode", "scheduling") == 0;
    return ok ? rec.release() : nullptr;
}

int Write_Schedule_Record(const char* pszMissionID, json_object* rec) {
    if (!Is_Id_Form(pszMissionID) || rec == nullptr) return -22;
    smbbackup::Create_Path(Mission_Dir().c_str(), 0700);
    smbbackup::Create_Path(Scheduling_Mission_Dir().c_str(), 0700);
    return Json_Write_File(Scheduling_Mission_Dir() + "/" + pszMissionID, rec);
}

int Mark_Once_Schedule_Aborted(const char* pszMissionID, json_object* sched) {
    if (!Is_Id_Form(pszMissionID) || sched == nullptr) return -22;
    const char* freq = nullptr;
    if (Json_Dict_Find_Str(sched, kKeyScheduleFrequency, freq) != 0 || freq == nullptr || strcmp(freq, "once") != 0)
        return 0;
    if (int rc = Json_Dict_Add_Str(sched, "backup_status", "abort"); rc != 0) return rc;
    return Replace_Schedule_Record(pszMissionID, sched);
}

int Replace_Schedule_Record(const char* pszMissionID, json_object* rec) {
    if (!Is_Id_Form(pszMissionID) || rec == nullptr) return -22;
    return Json_Replace_File(Scheduling_Mission_Dir() + "/" + pszMissionID, rec);
}

int Remove_Task_Schedule_Records(const char* pszTaskID) {
    int removed = 0;
    for (const std::string& path : Task_Schedule_Record_Paths(pszTaskID))
        if (unlink(path.c_str()) == 0) ++removed;
    return removed;
}

bool Signal_Daemons(int nLookup, const std::vector<pid_t>& pids, bool bStart, int (*signal_fn)(pid_t)) {
    if (nLookup != 0 && nLookup != -61) return false;
    bool signalled = false;
    // Every one is tried: the first found may be a daemon that has just ended (it ends when it has
    // nothing left), and the one that took the signal is the one that reloads.
    for (pid_t pid : pids)
        if (pid > 1 && signal_fn(pid) == 0) signalled = true;
    return !signalled && bStart;
}

}  // namespace qlm

namespace {

// The process lookup's result, and the pids of this system's daemon program among those found:
// never a namesake, nor the daemon of another app root.
int Find_Own_Daemons(std::vector<pid_t>& pids) {
    std::vector<pid_t> found;
    int count = 0;
    int rc = Get_All_Pids("qlm_deamon", found, count);
    char real[PATH_MAX];
    const std::string daemon = qlm::Daemon_Path();
    const std::string program = realpath(daemon.c_str(), real) != nullptr ? real : daemon;
    pids.clear();
    for (pid_t pid : found)
        if (qlm::Process_Program(pid) == program) pids.push_back(pid);
    return rc;
}

// Starts the daemon; the starter's exit status, which is 0 only when this call's starter became
// the daemon (1 when another one runs). The daemon detaches itself; its output never goes into
// this process's reply. Another change may signal the starting process in the instant before it
// can take signals, which ends it: it is started again then (by the shell or directly, the status
// tells the signal).
int Start_Daemon() {
    int status = -1;
    for (int attempt = 0; attempt < 3; ++attempt) {
        status = -1;
        if (Execute_Command_Line(status, "%s -daemon >%s 2>%s", qlm::ShellQuote(qlm::Daemon_Path()).c_str(),
                                 "/dev/null", "/dev/null") != 0)
            return -1;
        if (status != 128 + SIGUSR1 && status != -128 - SIGUSR1) break;
    }
    return status;
}

// True when some scheduling record has a run still ahead, as the daemon itself would compute it.
bool Any_Schedule_Ahead(const std::vector<std::string>& names) {
    const std::string dir = qlm::Scheduling_Mission_Dir();
    for (const std::string& name : names) {
        if (!qlm::Is_Id_Form(name.c_str())) continue;
        RAIIful_Json rec(qlm::Json_Read_Object_File(dir + "/" + name));
        long next = 0;
        if (rec && Get_Next_Time(rec.get(), next) == 0) return true;
    }
    return false;
}

}  // namespace

void Send_Signal_Let_Daemon_Recalculate_Schedule_Queue(bool bExecute_Daemon_If_Not_Exist) {
    std::vector<pid_t> pids;
    int rc = Find_Own_Daemons(pids);
    auto usr1 = [](pid_t pid) { return kill(pid, SIGUSR1) == 0 ? 0 : -errno; };
    if (!qlm::Signal_Daemons(rc, pids, bExecute_Daemon_If_Not_Exist, usr1)) return;
    Start_Daemon();
}

int Mend_Scheduler() {
    std::vector<std::string> names;
    GetFolderList(names, qlm::Scheduling_Mission_Dir().c_str());
    if (names.empty()) return 0;  // the common case, and the cheapest look
    std::vector<pid_t> pids;
    int rc = Find_Own_Daemons(pids);
    if ((rc != 0 && rc != -61) || !pids.empty()) return 0;  // nothing tells, or ours runs
    if (!Any_Schedule_Ahead(names)) return 0;
    // Of requests racing here, only the one whose starter became the daemon says so.
    if (Start_Daemon() != 0) return 0;
    sqlite3* db = nullptr;
    if (Sql_Open_Datebase(&db) == 0 && Sql_Log_Create_Table(db) == 0)
        Sql_Log_Insert_Data(db, "Orvenna", " ", "", "", "FAIL", " ", "warn", kSchedulerRestartedText);
    sqlite3_close(db);
    return 1;
}
