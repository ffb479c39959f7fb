// The daemon's process side: instance lock, becoming a daemon, signals, the main loop and the
// processes that become the backups.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/clock.h"
#include "common/paths.h"
#include "plat_lock.h"
#include "qlm_deamon/scheduler.h"

extern char** environ;

namespace {

// The program's own name, which the CGI looks for when it signals the daemon.
constexpr const char* kDaemonName = "qlm_deamon";
// Names that the lookup does not take for the daemon: a daemon about to end, a started run
// before it becomes the backup program.
constexpr const char* kEndingName = "qlm_deamon_end";
constexpr const char* kRunName = "qlm_sched_run";

volatile sig_atomic_t g_reload = 0;

void Recalculate_Signal_Handler(int) { g_reload = 1; }

void Kill_Backup_Process_Child(int) {
    const int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

time_t Clock_Now() { return qlm::Now(); }

// A starter with closed standard streams would get the lock on descriptor 0, 1 or 2, which
// becoming a daemon points at /dev/null: those three are taken first.
void Fill_Standard_Streams() {
    int fd = -1;
    while ((fd = open("/dev/null", O_RDWR)) >= 0 && fd <= 2) {
    }
    if (fd > 2) close(fd);
}

// Detaches: a new session with "/" as its folder, the standard streams on /dev/null and no other
// descriptor than the instance lock. 1 in the parent (which ends), 0 in the daemon, -errno.
int Become_Daemon(int lockFd) {
    pid_t pid = fork();
    if (pid < 0) return -errno;
    if (pid > 0) return 1;
    if (setsid() < 0) return -errno;
    if (chdir("/") != 0) return -errno;
    int null = open("/dev/null", O_RDWR);
    if (null < 0) return -errno;
    for (int fd = 0; fd <= 2; ++fd)
        if (dup2(null, fd) < 0) return -errno;
    // Whatever the starter held (its database, its locks) must not stay open for the daemon's life.
    const unsigned keep = static_cast<unsigned>(lockFd);
    if (keep > 3) close_range(3, keep - 1, 0);
    close_range(std::max(3u, keep + 1), ~0u, 0);
    if (null > 2 && static_cast<unsigned>(null) != keep) close(null);
    return 0;
}

// The process of one due run: it leaves the daemon's name, lock, process group and signal
// handling behind, marks the record as started and becomes the backup program. A record deleted
// since the pass read it starts nothing.
void Start_Run(const qlm::Due_Run& run, int lockFd, const sigset_t& waitMask) {
    pid_t pid = fork();
    if (pid != 0) return;  // the daemon; a failed fork leaves the run for the mission's next time
    prctl(PR_SET_NAME, kRunName, 0, 0, 0);
    close(lockFd);
    setsid();
    signal(SIGCHLD, SIG_DFL);
    // Ignored, not the default: a reload request sent to the daemon's name in the instant before
    // the rename is pending here, and by default it would end the run (whose record is already
    // marked as started) the moment the mask lets it in. The ignoring passes on to the backup.
    signal(SIGUSR1, SIG_IGN);
    if (qlm::Mark_Started(run.strMissionID, qlm::Now()) == -2) _exit(0);
    std::vector<char*> argv;
    for (const std::string& a : run.vArgv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    sigprocmask(SIG_SETMASK, &waitMask, nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

// With nothing left to run: stop being found as the daemon and let go of the lock, then look at
// the records once more. A record written by a CGI that still saw this daemon is found here; one
// written after that finds no daemon and starts a new one. True when this daemon goes on (it has
// missions and got its lock back).
bool Go_On_After_Last_Look(qlm::Schedule_List& list, int& lockFd) {
    prctl(PR_SET_NAME, kEndingName, 0, 0, 0);
    Release_File_Lock(lockFd);
    lockFd = -1;
    g_reload = 0;
    qlm::Load_Schedule_List(list, {}, Clock_Now);
    if (list.empty()) return false;
    if (Get_File_Lock(qlm::Daemon_Lock_Path().c_str(), 0, lockFd) != 0) return false;  // a new daemon has them
    prctl(PR_SET_NAME, kDaemonName, 0, 0, 0);
    return true;
}

// The signals are held back from the start, and during every pass, and let in only by the sleep
// itself: a reload request that comes at any moment ends the very next sleep, and one that comes
// before the handlers exist does not end the daemon. waitMask is the mask that lets them in.
void Hold_Signals(sigset_t& waitMask) {
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGUSR1);
    sigaddset(&held, SIGCHLD);
    sigprocmask(SIG_BLOCK, &held, &waitMask);
    sigdelset(&waitMask, SIGUSR1);
    sigdelset(&waitMask, SIGCHLD);
    struct sigaction sa {};
    sigfillset(&sa.sa_mask);
    sa.sa_handler = Recalculate_Signal_Handler;
    sigaction(SIGUSR1, &sa, nullptr);
    sa.sa_handler = Kill_Backup_Process_Child;
    sa.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
}

// The daemon's life. The first pass loads every record: loading in the daemon itself (not in the
// process that started it) means a record written before any signal that reached the starter is
// seen, since signals held by the starter end with it.
int Run_Loop(int lockFd, const sigset_t& waitMask) {
    qlm::Schedule_List list;
    g_reload = 1;
    std::vector<qlm::Due_Run> runs;
    for (;;) {
        tzset();  // the NAS zone may have changed
        if (g_reload) {
            g_reload = 0;
            qlm::Schedule_List previous;
            previous.swap(list);
            qlm::Load_Schedule_List(list, previous, Clock_Now);
        }
        if (list.empty()) {
            if (!Go_On_After_Last_Look(list, lockFd)) return 0;
            continue;
        }
        qlm::Take_Due_Missions(list, Clock_Now, runs);
        for (const qlm::Due_Run& run : runs) Start_Run(run, lockFd, waitMask);
        if (list.empty()) continue;
        std::sort(list.begin(), list.end(),
                  [](const qlm::Schedule_Entry& a, const qlm::Schedule_Entry& b) { return a.tNext < b.tNext; });
        if (g_reload) continue;
        const int64_t ms = qlm::Daemon_Sleep_Ms(list.front().tNext, qlm::Now());
        struct timespec ts;
        ts.tv_sec = static_cast<time_t>(ms / 1000);
        ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
        ppoll(nullptr, 0, &ts, &waitMask);
    }
}

bool Is_Cgi_Variable(const char* entry, size_t nameLen) {
    static const char* const kNames[] = {
        "AUTH_TYPE",      "CONTENT_LENGTH", "CONTENT_TYPE",  "DOCUMENT_ROOT",   "GATEWAY_INTERFACE",
        "PATH_INFO",      "PATH_TRANSLATED", "QUERY_STRING", "REDIRECT_STATUS", "REMOTE_ADDR",
        "REMOTE_HOST",    "REMOTE_IDENT",   "REMOTE_PORT",   "REMOTE_USER",     "REQUEST_METHOD",
        "REQUEST_URI",    "SCRIPT_FILENAME", "SCRIPT_NAME",  "SERVER_ADDR",     "SERVER_NAME",
        "SERVER_PORT",    "SERVER_PROTOCOL", "SERVER_SOFTWARE"};
    if (nameLen > 5 && strncmp(entry, "HTTP_", 5) == 0) return true;
    for (const char* n : kNames)
        if (strlen(n) == nameLen && strncmp(entry, n, nameLen) == 0) return true;
    return false;
}

}  // namespace

namespace qlm {

void Drop_Cgi_Environment() {
    std::vector<std::string> names;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const char* eq = strchr(*e, '=');
        size_t len = eq ? static_cast<size_t>(eq - *e) : strlen(*e);
        if (Is_Cgi_Variable(*e, len)) names.emplace_back(*e, len);
    }
    for (const std::string& n : names) unsetenv(n.c_str());
}

int Daemon_Main(int argc, char** argv) {
    sigset_t waitMask;
    Hold_Signals(waitMask);
    Fill_Standard_Streams();
    Drop_Cgi_Environment();
    // One daemon: the lock, not a look for processes of the name, which two starters racing each
    // other would both pass or both fail.
    int lockFd = -1;
    if (Get_File_Lock(Daemon_Lock_Path().c_str(), 0, lockFd) != 0) return 1;
    if (argc < 2 || (strcmp(argv[1], "-daemon") != 0 && strcmp(argv[1], "-start") != 0)) {
        Release_File_Lock(lockFd);
        return 0;
    }
    int rc = Become_Daemon(lockFd);
    if (rc == 1) return 0;  // the starter; the daemon holds the lock now
    if (rc != 0) {
        Release_File_Lock(lockFd);
        return 1;
    }
    return Run_Loop(lockFd, waitMask);
}

}  // namespace qlm
