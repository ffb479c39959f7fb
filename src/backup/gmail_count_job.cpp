#include "backup/gmail_count_job.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "appgenerallib/keystore.h"
#include "backup/gmail_count.h"
#include "common/atomicfile.h"
#include "common/clock.h"
#include "common/cmdrun.h"
#include "common/guards.h"
#include "common/paths.h"
#include "common/procinfo.h"
#include "common/reqcheck.h"
#include "common/toolcmd.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_lock.h"
#include "plat_string.h"
#include "web/reply.h"
#include "web/request_params.h"

namespace qlm {

namespace {

constexpr const char* kNoIdentity = "task_id or authenticate_id/admin_email";
constexpr const char* kNoUserList = "user_list not found";

std::string Job_File(const std::string& auth, const std::string& mid, const char* suffix) {
    return Db_Tmp_Dir() + "/" + auth + "_" + mid + suffix;
}
std::string Pid_File(const std::string& auth, const std::string& mid) {
    return Job_File(auth, mid, ".gmail_user_count.pid");
}
std::string Stop_File(const std::string& auth, const std::string& mid) {
    return Job_File(auth, mid, ".gmail_user_count.stop");
}
std::string Domain_User_Cache(const std::string& task) { return Task_Listing_Cache_Dir(task) + "/domain_user"; }

const char* Text_Of(PT_JSON o, const char* key, const char* other) {
    const char* s = nullptr;
    if (Json_Dict_Find_Str(o, key, s) == 0 && s != nullptr) return s;
    if (other != nullptr && Json_Dict_Find_Str(o, other, s) == 0 && s != nullptr) return s;
    return nullptr;
}

// The e-mails of a "user_list", in list order; entries without one are left out.
std::vector<std::string> Emails_Of(PT_JSON list) {
    std::vector<std::string> out;
    for (int i = 0; i < Json_List_Size(list); ++i)
        if (const char* e = Text_Of(Json_List_Child(list, i), "Email", "email")) out.emplace_back(e);
    return out;
}

// The job's GAM folder and the files in it, spelled out before any signal can come, so the
// SIGTERM handler removes the key copy with async-signal-safe calls alone.
char g_szJobGamKey[PATH_MAX];
char g_szJobGamCfg[PATH_MAX];
char g_szJobGamDir[PATH_MAX];

void On_Job_Sigterm(int) {
    if (g_szJobGamKey[0] != '\0') unlink(g_szJobGamKey);
    if (g_szJobGamCfg[0] != '\0') unlink(g_szJobGamCfg);
    if (g_szJobGamDir[0] != '\0') rmdir(g_szJobGamDir);
    _exit(0);
}

void Point_Streams_At_Dev_Null() {
    const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2) close(fd);
}

// The result of a task's job: every readable count, fewest messages first.
void Store_Result(const std::string& task, const std::vector<std::string>& users, const std::string& work) {
    const std::string folder = Backup_Service_Dir("gmail_count");
    smbbackup::Create_Path(folder.c_str(), 0700);
    const std::string path = folder + "/" + task;
    int fd = -1;
    if (Get_File_Lock(path.c_str(), 15000, fd) != 0) return;
    LockGuard lock(&fd);
    std::vector<std::pair<std::string, int64_t>> counts;
    for (const std::string& u : users) {
        std::string who;
        int64_t n = 0;
        if (Is_Single_Path_Component(u) && gmailbk::Read_Count_Row(work + u + ".out", who, n)) counts.emplace_back(who, n);
    }
    std::stable_sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    RAIIful_Json list(Json_List_Init());
    for (const auto& [who, n] : counts) {
        PT_JSON o = Json_Dict_Init();
        Json_Dict_Add_Str(o, "User", who.c_str());
        Json_Dict_Add_Int64(o, "messages", n);
        Json_List_Add_Dict(list.get(), o);
    }
    Write_File_Atomic(path, Json_To_String(list.get()));
}

// The detached job: counts every user, stores a task's result, and ends with _exit.
[[noreturn]] void Run_Job(const std::string& task, const std::string& auth, const std::string& mid,
                          const std::string& parentGamDir, const std::vector<std::string>& users, bool bDebug) {
    if (!bDebug) Point_Streams_At_Dev_Null();
    if (setsid() < 0) _exit(1);
    // The set-up's folder is named after the process that made it, which ends now: the job takes
    // it over under its own name, so no sweep of gone processes' folders removes it under the job.
    const std::string gamDir = Gam_Process_Dir();
    if (rename(parentGamDir.c_str(), gamDir.c_str()) != 0) _exit(1);
    snprintf(g_szJobGamDir, sizeof g_szJobGamDir, "%s", gamDir.c_str());
    snprintf(g_szJobGamKey, sizeof g_szJobGamKey, "%s/oauth2service.json", gamDir.c_str());
    snprintf(g_szJobGamCfg, sizeof g_szJobGamCfg, "%s/gam.cfg", gamDir.c_str());
    struct sigaction sa {};
    sa.sa_handler = On_Job_Sigterm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);

    const std::string pidPath = Pid_File(auth, mid), stopPath = Stop_File(auth, mid);
    if (FILE* f = fopen(pidPath.c_str(), "we")) {
        fprintf(f, "%d\n", static_cast<int>(getpid()));
        fclose(f);
    }
    DBG(bDebug, "count job of %zu users", users.size());
    const std::string work = gmailbk::Count_Work_Folder(auth, mid);
    gmailbk::Run_Count_Workers(users, work, [&stopPath]() {
        if (access(stopPath.c_str(), F_OK) == 0) kill(0, SIGTERM);
    });
    if (!task.empty()) Store_Result(task, users, work);
    unlink(pidPath.c_str());
    unlink(stopPath.c_str());
    Remove_Folder_Tree(gamDir.c_str(), 0, nullptr);
    _exit(0);
}

// The auth id of a list or stop request: from the task, else from auth_id. 0, or non-zero after
// the reply.
int Request_Auth(O_APP_CGI_AGENT* agent, GWSTask& task, std::string& auth) {
    const char* pszTask = agent->Get_Param("task_id");
    if (pszTask != nullptr && pszTask[0] != '\0') {
        if (Load_Valid_Request_Task(agent, task) != 0) return -1;
        auth = task.Get_Auth_ID();
        return 0;
    }
    const char* pszAuth = agent->Get_Param("auth_id");
    if (pszAuth == nullptr || pszAuth[0] == '\0') {
        Reply_Error(kReplyMissingParam, kNoIdentity);
        return -1;
    }
    if (!Is_Id_Form(pszAuth)) {
        Reply_Error(kReplyBadParam, "auth_id");
        return -1;
    }
    auth = pszAuth;
    return 0;
}

// The mission id of a list or stop request; nullptr after the reply.
const char* Request_Mission(O_APP_CGI_AGENT* agent) {
    const char* mid = agent->Get_Param("mission_id");
    if (mid == nullptr || mid[0] == '\0') {
        Reply_Error(kReplyMissingParam, "mission_id");
        return nullptr;
    }
    if (!Is_Id_Form(mid)) {
        Reply_Error(kReplyBadParam, "mission_id");
        return nullptr;
    }
    return mid;
}

// The last "Got N Messages" of a GAM progress text ("Got 1 Message" for one); false when there is
// none.
bool Last_Progress(const std::string& text, int64_t& count) {
    bool found = false;
    for (size_t at = text.find("Got "); at != std::string::npos; at = text.find("Got ", at + 4)) {
        long long n = 0;
        char tail[9] = {0};
        if (sscanf(text.c_str() + at, "Got %lld %8s", &n, tail) == 2 &&
            (strcmp(tail, "Messages") == 0 || strcmp(tail, "Message") == 0)) {
            count = n;
            found = true;
        }
    }
    return found;
}

}  // namespace

void Gmail_Users_Get_Count_Start_Impl(const char* pszTaskID, const char* pszAuthID, const char* pszAdminEmail,
                                      bool bDebug) {
    const std::string mid = smbbackup::Create_New_ID();
    GWSTask task;
    std::string strTask, auth;
    DirGuard gam = Guard_Gam_Process_Dir();
    if (pszTaskID != nullptr && pszTaskID[0] != '\0') {
        if (!Is_Id_Form(pszTaskID) || task.Load_Task_Data(pszTaskID) != 0) return Reply_Error(kReplyBadParam, "task_id");
        if (task.Validate_Task_Data() != 0) return Reply_Error(kReplyFailed, "task_id");
        strTask = pszTaskID;
        auth = task.Get_Auth_ID();
        if (Initial_GAM_Conf(task.Get_Auth_ID(), task.Get_Admin_Email()) != 0)
            return Reply_Error(kReplyFailed, "task_id");
    } else if (pszAuthID != nullptr && pszAuthID[0] != '\0' && pszAdminEmail != nullptr && pszAdminEmail[0] != '\0') {
        if (!Is_Id_Form(pszAuthID)) return Reply_Error(kReplyBadParam, "auth_id");
        auth = pszAuthID;
        if (TMP_Initial_GAM_Conf(pszAuthID, pszAdminEmail) != 0) return Reply_Error(kReplyFailed, "task_id");
    } else {
        return Reply_Error(kReplyMissingParam, kNoIdentity);
    }

    const std::string work = gmailbk::Count_Work_Folder(auth, mid);
    if (Is_Folder(work.c_str()) == 1)
        Remove_Folder_Tree(work.c_str(), 1, nullptr);
    else
        smbbackup::Create_Path(work.c_str(), 0700);

    std::string listPath = User_List_Path(auth);
    UnlinkGuard fresh;
    if (!strTask.empty()) {
        listPath = Domain_User_Cache(strTask);
        if (access(listPath.c_str(), F_OK) != 0) {
            smbbackup::Create_Path(Task_Listing_Cache_Dir(strTask).c_str(), 0700);
            fresh = Guard_File(Tool_Result_Path(smbbackup::Create_New_ID()));
            if (Run_Scoutix("-info", Gam_Process_Key_Path(), task.Get_Admin_Email(), *fresh) != 0)
                return Reply_Error(kReplyFailed, "get user list fail.");
            listPath = *fresh;
        }
    }
    RAIIful_Json listing(Json_Read_Object_File(listPath));
    if (!listing) return Reply_Error(kReplyFailed, "user list file not found");
    if (!strTask.empty()) Json_Write_File(Domain_User_Cache(strTask), listing.get());
    PT_JSON list = nullptr;
    if (Json_Dict_Find_List(listing.get(), "user_list", list) != 0) return Reply_Error(kReplyFailed, kNoUserList);
    const std::vector<std::string> users = Emails_Of(list);

    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_Str(reply.get(), "mission_id", mid.c_str());
    Reply_Json(reply.get());
    fflush(stdout);
    fflush(stderr);
    const std::string gamDir = *gam;
    const pid_t pid = fork();
    if (pid == 0) Run_Job(strTask, auth, mid, gamDir, users, bDebug);
    // The job owns the GAM folder now; without a job it goes with the guard.
    if (pid > 0) Disarm(gam);
}

int Gmail_Users_Get_Count_Start(O_APP_CGI_AGENT* agent) {
    bool bRefused = false;
    const char* admin = Get_Admin_Email_Param(agent, bRefused);
    if (bRefused) {
        Reply_Error(kReplyBadParam, "admin_email");
        return 0;
    }
    Gmail_Users_Get_Count_Start_Impl(agent->Get_Param("task_id"), agent->Get_Param("auth_id"), admin, false);
    return 0;
}

int Gmail_Users_Get_Count_List(O_APP_CGI_AGENT* agent) {
    const char* mid = Request_Mission(agent);
    if (mid == nullptr) return 0;
    GWSTask task;
    std::string auth;
    if (Request_Auth(agent, task, auth) != 0) return 0;
    const std::string work = gmailbk::Count_Work_Folder(auth, mid);
    if (Is_Folder(work.c_str()) != 1) {
        Reply_Error(kReplyBadParam, "auth_id");
        return 0;
    }
    RAIIful_Json listing;
    if (task.Get_Task_ID()[0] != '\0') listing.reset(Json_Read_Object_File(Domain_User_Cache(task.Get_Task_ID())));
    if (!listing) listing.reset(Json_Read_Object_File(User_List_Path(auth)));
    PT_JSON list = nullptr;
    if (!listing || Json_Dict_Find_List(listing.get(), "user_list", list) != 0) {
        Reply_Error(kReplyFailed, kNoUserList);
        return 0;
    }
    struct Entry {
        std::string email, id, status;
        int64_t count = 0;
    };
    std::vector<Entry> entries;
    for (int i = 0; i < Json_List_Size(list); ++i) {
        PT_JSON u = Json_List_Child(list, i);
        const char* email = Text_Of(u, "Email", "email");
        const char* id = Text_Of(u, "iD", "ID");
        if (email == nullptr || id == nullptr) continue;
        Entry e{email, id, "pending", 0};
        std::string who, err;
        if (Is_Single_Path_Component(e.email) && gmailbk::Read_Count_Row(work + e.email + ".out", who, e.count)) {
            e.status = "finished";
        } else if (!Is_Single_Path_Component(e.email) || !Read_Small_File(work + e.email + ".err", err) ||
                   err.empty()) {
            e.count = 0;
        } else if (Last_Progress(err, e.count)) {
            e.status = "running";
        } else {
            e.status = "failed";
            e.count = 0;
        }
        entries.push_back(std::move(e));
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.count > b.count; });
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_Str(reply.get(), "mission_id", mid);
    PT_JSON out = Json_List_Init();
    for (const Entry& e : entries) {
        PT_JSON o = Json_Dict_Init();
        Json_Dict_Add_Str(o, "Email", e.email.c_str());
        Json_Dict_Add_Str(o, "iD", e.id.c_str());
        Json_Dict_Add_Str(o, "status", e.status.c_str());
        Json_Dict_Add_Int64(o, "count", e.count);
        Json_List_Add_Dict(out, o);
    }
    Json_Dict_Add_List(reply.get(), "user_list", out);
    Reply_Json(reply.get());
    return 0;
}

int Gmail_Users_Get_Count_Stop(O_APP_CGI_AGENT* agent) {
    const char* mid = Request_Mission(agent);
    if (mid == nullptr) return 0;
    GWSTask task;
    std::string auth;
    if (Request_Auth(agent, task, auth) != 0) return 0;
    const std::string pidPath = Pid_File(auth, mid), stopPath = Stop_File(auth, mid);
    Write_File_Atomic(stopPath, "stop\n");
    RAIIful_Json reply(Json_Dict_Init());
    auto answer = [&](bool ok, const char* status) {
        Json_Dict_Add_Bool(reply.get(), "success", ok);
        Json_Dict_Add_Str(reply.get(), "mission_id", mid);
        Json_Dict_Add_Str(reply.get(), "status", status);
        Reply_Json(reply.get());
        return 0;
    };
    std::string text;
    if (access(pidPath.c_str(), F_OK) != 0) {
        unlink(pidPath.c_str());
        unlink(stopPath.c_str());
        return answer(false, "pid_file_not_found");
    }
    int pid = 0;
    if (!Read_Small_File(pidPath, text) || sscanf(text.c_str(), "%d", &pid) != 1) return answer(false, "pid_file_read_failed");
    if (pid <= 0) return answer(false, "invalid_pid");
    // Only a group that one of this system's processes leads: a stale pid file may name anyone now.
    Proc_Stat st;
    if (kill(-pid, 0) != 0 || !Is_Own_Worker(pid) || Read_Proc_Stat(pid, st) != 0 || st.pgrp != pid)
        return answer(false, "process_group_not_found");
    const bool ok = kill(-pid, SIGTERM) == 0;
    Json_Dict_Add_Bool(reply.get(), "success", ok);
    Json_Dict_Add_Str(reply.get(), "mission_id", mid);
    Json_Dict_Add_Int(reply.get(), "pid", pid);
    Json_Dict_Add_Str(reply.get(), "status", ok ? "stopping" : "kill_failed");
    Sleep_Seconds(1.0);
    unlink(pidPath.c_str());
    unlink(stopPath.c_str());
    Reply_Json(reply.get());
    return 0;
}

}  // namespace qlm
