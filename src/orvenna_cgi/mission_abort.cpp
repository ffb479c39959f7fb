#include "orvenna_cgi/mission_abort.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "mission/mission_record.h"
#include "common/atomicfile.h"
#include "common/clock.h"
#include "common/jsontext.h"
#include "common/paths.h"
#include "common/procinfo.h"
#include "export/export_frame.h"
#include "web/action_log.h"
#include "web/reply.h"
#include "orvenna_cgi/schedule_actions.h"
#include "orvenna_cgi/schedule_record.h"
#include "plat_cgi.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_string.h"
#include "progress_shm.h"

namespace qlm {

namespace {

constexpr int kTermWaitMs = 5000;  // a worker's SIGTERM handler ends it at once; this is ample
constexpr int kKillWaitMs = 2000;

struct Dir_Closer {
    void operator()(DIR* d) const { closedir(d); }
};

// Every process of /proc that can still be read.
std::vector<Proc_Stat> All_Processes() {
    std::vector<Proc_Stat> out;
    std::unique_ptr<DIR, Dir_Closer> dir(opendir("/proc"));
    if (!dir) return out;
    while (struct dirent* e = readdir(dir.get())) {
        const char* name = e->d_name;
        if (!isdigit(static_cast<unsigned char>(name[0])) ||
            !std::all_of(name, name + strlen(name), [](char c) { return isdigit(static_cast<unsigned char>(c)); }))
            continue;
        long n = strtol(name, nullptr, 10);
        Proc_Stat st;
        if (n > 0 && n <= INT_MAX && Read_Proc_Stat(static_cast<pid_t>(n), st) == 0) out.push_back(st);
    }
    return out;
}

bool Is_Gam_Process(pid_t pid, const std::string& gamPath) {
    std::string cmdline;
    if (!Read_Small_File("/proc/" + std::to_string(pid) + "/cmdline", cmdline) || cmdline.empty()) return false;
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    return cmdline.find(gamPath) != std::string::npos;
}

// SIGTERM, the GAM sweep when asked, then a bounded wait; SIGKILL for a worker that outlives it.
// True when the worker is gone.
bool Stop_Worker(pid_t pid, bool bSweepGam) {
    Worker_Processes worker;
    if (Snapshot_Worker(pid, worker) != 0) return true;
    kill(pid, SIGTERM);
    if (bSweepGam) Kill_Gam_In_Same_Group(worker);
    if (Wait_Worker_Gone(pid, kTermWaitMs)) return true;
    Proc_Stat now;
    // Only the process that got the SIGTERM: the pid may name a new one by now.
    if (Is_Own_Worker(pid) && Read_Proc_Stat(pid, now) == 0 && now.ullStartTicks == worker.ullStartTicks)
        kill(pid, SIGKILL);
    return Wait_Worker_Gone(pid, kKillWaitMs);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string New_History_Path() {
    smbbackup::Create_Path(History_Mission_Dir().c_str(), 0700);
    return History_Mission_Dir() + "/" + smbbackup::Create_New_ID();
}

// A backup or restore: its running record moves into the history as "abort" once its worker and
// that worker's GAM tools are gone.
void Abort_Running(const std::string& strMissionID, const std::string& strRunningPath) {
    RAIIful_Json record(Json_Read_Object_File(strRunningPath));
    if (!record) record.reset(Json_Dict_Init());  // a record that is not JSON is filed all the same
    const std::string strSchedPath = Scheduling_Mission_Dir() + "/" + strMissionID;
    RAIIful_Json sched(Json_Read_Object_File(strSchedPath));
    int nEnable = 0;
    if (sched) {
        Json_Dict_Find_Int(sched.get(), kKeyBackupSchedulingEnable, nEnable);
        Mark_Once_Schedule_Aborted(strMissionID.c_str(), sched.get());
    }
    int nPid = 0;
    Json_Dict_Find_Int(record.get(), kKeyProcessPid, nPid);
    int64_t tStart = 0;  // a record without its start names no process that can be told for its worker
    Json_Dict_Find_Int64(record.get(), kKeyStartTime, tStart);
    // The record may name a worker that is long gone, or a pid that is no worker of ours now: a
    // program of another kind, or a web request or another mission's worker started since.
    if (Is_Own_Worker(nPid) && Process_Started_By(nPid, static_cast<time_t>(tStart), Now()))
        Stop_Worker(nPid, true);
    else
        Sweep_Gone_Worker_Group(nPid);

    File_Running_Record(strRunningPath, record.get(), "abort", 1.0);
    // The daemon would otherwise hold the removed schedule until its next due time.
    if (sched && nEnable == 0 && unlink(strSchedPath.c_str()) == 0)
        Send_Signal_Let_Daemon_Recalculate_Schedule_Queue(true);
}

// An export: its worker ends, and the history gets a record made from its shared progress.
// One whose worker is gone already is filed "error" as the mission list files it (its shared
// progress record removed with its marker), so that it shows in the history, not nowhere.
// 0, or -1 after the 5302 reply (marker removed) when a live worker left no progress record.
int Abort_Export(const std::string& strMissionID, const std::string& strMarkerPath) {
    pid_t pid = 0;
    if (!Marker_Worker_Runs(strMarkerPath, pid)) {
        struct stat st {};
        // A marker that is no regular file is nothing Export_Reap_If_Dead files; it just goes.
        if (!Export_Reap_If_Dead(strMissionID) && lstat(strMarkerPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            unlink(strMarkerPath.c_str());
        return 0;
    }
    const std::string strShmName = "/" + strMissionID;
    // Opened before the signal: the mapping outlives whatever the worker does with the name.
    std::unique_ptr<SharedProgress> shm;
    try {
        shm = std::make_unique<SharedProgress>(strShmName.c_str(), false);
    } catch (...) {
        shm.reset();
    }
    bool bGone = Stop_Worker(pid, false);
    if (!shm || !shm->Is_Open()) {
        unlink(strMarkerPath.c_str());
        Reply_Error(kReplyBadParam, kKeyMissionId);
        return -1;
    }
    // A worker ended by a signal cannot remove its record; no one else would.
    if (bGone) shm_unlink(strShmName.c_str());
    RAIIful_Json record(Json_Dict_Init());
    PT_JSON services = Json_List_Init();
    Json_List_Add_Str(services, shm->GetService().c_str());
    Json_Dict_Add_List(record.get(), kKeyService, services);
    Json_Dict_Add_Str(record.get(), kKeyMissionName, shm->GetMissionName().c_str());
    Json_Dict_Add_Str(record.get(), kKeyDomain, shm->GetDomain().c_str());
    Json_Dict_Add_Str(record.get(), kKeyMode, shm->GetMode().c_str());
    Json_Dict_Add_Int64(record.get(), kKeyStartTime, shm->GetStartTime());
    Json_Dict_Add_Str(record.get(), kKeyBackupStatus, "abort");
    Json_Dict_Add_Int64(record.get(), kKeyEndTime, static_cast<int64_t>(Now()));
    Json_Write_File(New_History_Path(), record.get());
    unlink(strMarkerPath.c_str());
    return 0;
}

}  // namespace

bool File_Running_Record(const std::string& strRunningPath, PT_JSON record, const char* pszStatus, double dPauseSec) {
    const std::string strHistoryPath = New_History_Path();
    // The rename claims the record: it fails when the worker filed its own history record
    // meanwhile, or another request filed this one.
    const bool bFiled = rename(strRunningPath.c_str(), strHistoryPath.c_str()) == 0;
    if (bFiled) {
        Json_Dict_Add_Str(record, kKeyBackupStatus, pszStatus);
        Json_Dict_Add_Int64(record, kKeyEndTime, static_cast<int64_t>(Now()));
        if (dPauseSec > 0) Sleep_Seconds(dPauseSec);
        Json_Write_File(strHistoryPath, record);
    }
    unlink(Restore_Journal_Path(strRunningPath).c_str());  // a restore's journal goes with its record
    return bFiled;
}

int Snapshot_Worker(pid_t pid, Worker_Processes& out) {
    out = Worker_Processes{};
    Proc_Stat st;
    if (Read_Proc_Stat(pid, st) != 0) return -2;
    out.pid = pid;
    out.ullStartTicks = st.ullStartTicks;
    // A worker sharing a group (with the web server, the daemon, other runs) gives no group to
    // sweep: that group's tools belong to other missions too.
    out.pgid = st.pgrp == pid ? pid : 0;
    std::vector<Proc_Stat> all = All_Processes();
    std::vector<pid_t> frontier{pid};
    while (!frontier.empty()) {
        pid_t parent = frontier.back();
        frontier.pop_back();
        for (const Proc_Stat& p : all)
            if (p.ppid == parent && p.pid != pid &&
                std::find(out.vDescendants.begin(), out.vDescendants.end(), p.pid) == out.vDescendants.end()) {
                out.vDescendants.push_back(p.pid);
                frontier.push_back(p.pid);
            }
    }
    return 0;
}

int Signal_Gam_Processes(const Worker_Processes& worker, int sig) {
    const std::string gamPath = Tool_Path("gam");
    const pid_t self = getpid();
    int signalled = 0;
    for (const Proc_Stat& p : All_Processes()) {
        if (p.pid <= 1 || p.pid == worker.pid || p.pid == self || p.cState == 'Z') continue;
        bool bInGroup = worker.pgid > 0 && p.pgrp == worker.pgid;
        bool bStarted = std::find(worker.vDescendants.begin(), worker.vDescendants.end(), p.pid) !=
                        worker.vDescendants.end();
        if (!bInGroup && !bStarted) continue;
        if (!Is_Gam_Process(p.pid, gamPath)) continue;
        if (kill(p.pid, sig) == 0) ++signalled;
    }
    return signalled;
}

void Kill_Gam_In_Same_Group(const Worker_Processes& worker) {
    if (worker.pid <= 1) return;
    Signal_Gam_Processes(worker, SIGTERM);
    Sleep_Seconds(0.5);
    Signal_Gam_Processes(worker, SIGKILL);
}

int Sweep_Gone_Worker_Group(pid_t pid) {
    Proc_Stat st;
    if (pid <= 1 || (Read_Proc_Stat(pid, st) == 0 && st.cState != 'Z')) return 0;
    Worker_Processes gone;
    gone.pid = pid;
    gone.pgid = pid;
    const int signalled = Signal_Gam_Processes(gone, SIGTERM);
    if (signalled > 0) {
        Sleep_Seconds(0.5);
        Signal_Gam_Processes(gone, SIGKILL);
    }
    return signalled;
}

bool Wait_Worker_Gone(pid_t pid, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Is_Own_Worker(pid)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

int Abort_Task_Missions(const char* pszTaskID) {
    int nStopped = 0;
    for (const std::string& path : Task_Running_Record_Paths(pszTaskID)) {
        Abort_Running(path.substr(path.rfind('/') + 1), path);
        ++nStopped;
    }
    return nStopped;
}

int Mission_Abort(O_APP_CGI_AGENT* agent) {
    const char* pszID = Get_Request_Mission_ID(agent);
    if (pszID == nullptr) return 0;
    const std::string strMissionID = pszID;
    const std::string strRunningPath = Mission_Dir() + "/" + strMissionID;
    if (Exists(strRunningPath)) {
        Abort_Running(strMissionID, strRunningPath);
        Reply_Success();
        return 0;
    }
    const std::string strMarkerPath = Progress_Mission_Dir() + "/" + strMissionID;
    if (Exists(strMarkerPath)) {
        if (Abort_Export(strMissionID, strMarkerPath) == 0) Reply_Success();
        return 0;
    }
    Reply_Error(kReplyBadParam, kKeyMissionId);
    return 0;
}

int Mission_Delete(O_APP_CGI_AGENT* agent) {
    Log_Db db;
    if (Open_Action_Log(db) != 0) return 0;
    const char* pszID = Get_Request_Mission_ID(agent);
    if (pszID == nullptr) return 0;
    const std::string strSchedPath = Scheduling_Mission_Dir() + "/" + pszID;
    const std::string strHistoryPath = History_Mission_Dir() + "/" + pszID;
    if (Exists(strSchedPath)) {
        RAIIful_Json rec(Json_Read_Object_File(strSchedPath));
        std::string msg = "User " + std::string(agent->m_szUser) + " removed " +
                          Json_Text_Of(rec.get(), kKeyMissionName) + " from the task list.";
        Log_Action_Row(db.get(), Json_Text_Of(rec.get(), kKeyTaskId), Json_Text_Of(rec.get(), kKeyDomain),
                       agent->m_szUser, "backup", "info", msg.c_str());
        unlink(strSchedPath.c_str());
    } else if (Exists(strHistoryPath)) {
        unlink(strHistoryPath.c_str());
    } else {
        Reply_Error(kReplyBadParam, kKeyMissionId);
        return 0;
    }
    Send_Signal_Let_Daemon_Recalculate_Schedule_Queue(true);
    Reply_Success();
    return 0;
}

}  // namespace qlm
