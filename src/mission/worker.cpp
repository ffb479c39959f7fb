#include "mission/worker.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "appgenerallib/keystore.h"
#include "common/atomicfile.h"
#include "common/clock.h"
#include "common/cmdrun.h"
#include "common/guards.h"
#include "common/paths.h"
#include "common/shellquote.h"
#include "common/toolcmd.h"
#include "orvenna_task.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_proc.h"
#include "plat_string.h"

namespace qlm {

namespace {

// The worker's GAM folder and the files it holds, spelled out before any signal can come, so the
// SIGTERM handler can remove the plain key with async-signal-safe calls alone.
char g_szGamKey[PATH_MAX];
char g_szGamCfg[PATH_MAX];
char g_szGamDir[PATH_MAX];
char g_szScratch[2][PATH_MAX];

void Remember_Gam_Folder() {
    const std::string dir = Gam_Process_Dir();
    snprintf(g_szGamDir, sizeof g_szGamDir, "%s", dir.c_str());
    snprintf(g_szGamKey, sizeof g_szGamKey, "%s/oauth2service.json", dir.c_str());
    snprintf(g_szGamCfg, sizeof g_szGamCfg, "%s/gam.cfg", dir.c_str());
}

// SIGTERM (an abort): the tool in its own group, then the listings, which run in the worker's
// group, end with the worker, and the worker's GAM folder with its copy of the key goes too. The
// worker's own SIGTERM stays blocked while the handler runs, and _exit drops it. Anything else a
// tool left in that folder is removed by the next GAM set-up of any process.
void On_Worker_Sigterm(int) {
    pid_t pg = g_current_pgid;
    if (pg > 0) kill(-pg, SIGTERM);
    if (getpgrp() == getpid()) kill(0, SIGTERM);
    if (g_szGamKey[0] != '\0') unlink(g_szGamKey);
    if (g_szGamCfg[0] != '\0') unlink(g_szGamCfg);
    if (g_szGamDir[0] != '\0') rmdir(g_szGamDir);
    for (const char* scratch : g_szScratch)
        if (scratch[0] != '\0') unlink(scratch);
    _exit(0);
}

}  // namespace

void Become_Worker(bool bStderrToo) {
    setpgid(0, 0);
    int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        dup2(fd, 0);
        dup2(fd, 1);
        if (bStderrToo) dup2(fd, 2);
        if (fd > 2) close(fd);
    }
    Install_Worker_Sigterm_Handler();
    Remember_Gam_Folder();
    // What killed processes left: their tools' output files, temporary files and plain keys.
    Remove_Stale_Tool_Files();
    Remove_Stale_Temp_Files();
    Remove_Stale_Plain_Keys();
    struct sigaction sa {};
    sa.sa_handler = On_Worker_Sigterm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
}

void Worker_Scratch_File(int slot, const std::string& path) {
    if (slot < 0 || slot > 1) return;
    // Emptied first, so a signal in between never sees half a path.
    g_szScratch[slot][0] = '\0';
    if (path.size() < PATH_MAX) snprintf(g_szScratch[slot], PATH_MAX, "%s", path.c_str());
}

unsigned Backup_Calc_Backoff_Sec(int n, unsigned base, unsigned cap) {
    unsigned long long w = base;
    for (int i = 1; i < n && w < cap; ++i) w *= 2;
    return static_cast<unsigned>(w < cap ? w : cap);
}

// One second at a time, so a signal that cuts one piece short costs at most that piece. A worker
// being stopped never gets here again: its SIGTERM handler ends it at once.
void Backup_Sleep_Full(unsigned sec) {
    for (unsigned i = 0; i < sec; ++i) Sleep_Seconds(1.0);
}

int Check_Permission_By_Cmd(const std::string& strCmdLine, const std::string& strResultPath) {
    int status = -1;
    if (Execute_Tool_Line(status, "%s", strCmdLine.c_str()) < 0 || status != 0) return -1;
    RAIIful_Json result(Json_From_File(strResultPath.c_str()));
    if (!result) return -2;
    bool pass = false;
    Json_Dict_Find_Bool(result.get(), "is_pass", pass);
    return pass ? 0 : -3;
}

const char* const kPermissionFail[4] = {"Check drive permissions fail.", "Check calendar permissions fail.",
                                        "Check gmail permissions fail.", "Check contact permissions fail."};

int Run_Permission_Checks(const GWSTask& task, const Service_Switches& sw, const std::string& strKeyPath,
                          const char* pszVerb, const std::function<void(const std::string&)>& onFail) {
    UnlinkGuard key = Guard_File(strKeyPath);
    smbbackup::Create_Path(Tmp_Dir().c_str(), 0700);
    const std::string out = Worker_Listing_Path();
    UnlinkGuard outGuard = Guard_File(out);
    const bool bAllUsers = task.Get_Auto_Add_User_Enable() == 1;
    struct Check {
        bool bRun;
        const char* pszOption;
        bool bAll;
    } checks[] = {
        {sw.nDrive == 1 || sw.nSharedDrive == 1, "-check_drive",
         (sw.nDrive == 1 && bAllUsers) || (sw.nSharedDrive == 1 && task.Get_Auto_Add_Shared_Drive_Enable() == 1)},
        {sw.nCalendar == 1, "-check_calendar", bAllUsers},
        {sw.nGmail == 1, "-check_gmail", bAllUsers},
        {sw.nContact == 1, "-check_contacts", bAllUsers},
    };
    for (int i = 0; i < 4; ++i) {
        if (!checks[i].bRun) continue;
        const std::string line = ShellQuote(Tool_Path("scoutix")) + " " + checks[i].pszOption + " " +
                                 ShellQuote(strKeyPath) + " " + ShellQuote(task.Get_Admin_Email()) + " >" +
                                 ShellQuote(out) + " 2>/dev/null";
        unlink(out.c_str());  // a check never reads the verdict of the one before
        if (Check_Permission_By_Cmd(line, out) >= 0) continue;
        onFail(std::string(pszVerb) +
               (checks[i].bAll ? " failed for domain " : " failed for selected accounts in domain ") +
               task.Get_Admin_Email() + ": Google Workspace authorization check failed.");
        return i;
    }
    return -1;
}

}  // namespace qlm
