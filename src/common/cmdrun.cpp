#include "common/cmdrun.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/cmdline.h"

extern char** environ;

volatile sig_atomic_t g_current_pgid = 0;

namespace {

CommandWaitFn g_commandWaitFn = nullptr;

constexpr long long kGraceMs = 2000;
constexpr long long kNoPidfdPauseMs = 10;

long long Monotonic_Ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int Status_Of(int ws) {
    if (WIFEXITED(ws)) return WEXITSTATUS(ws);
    if (WIFSIGNALED(ws)) return -128 - WTERMSIG(ws);
    return -1;
}

// A descriptor that becomes readable when the child ends, so the wait sleeps in the kernel instead
// of polling; -1 on kernels without one (the wait then falls back to short pauses).
int Open_Pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

enum class Wait { Ended, NoChild, Running, Failed };

// Waits for the unreaped child until the monotonic time untilMs; a handled signal neither ends
// the wait early nor makes it longer.
Wait Wait_Child(pid_t pid, int pidfd, long long untilMs, int& ws, int& err) {
    for (;;) {
        pid_t r = waitpid(pid, &ws, WNOHANG);
        if (r == pid) return Wait::Ended;
        if (r < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return err == ECHILD ? Wait::NoChild : Wait::Failed;
        }
        const long long left = untilMs - Monotonic_Ms();
        if (left <= 0) return Wait::Running;
        if (pidfd >= 0) {
            struct pollfd p {pidfd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(left < INT_MAX ? left : INT_MAX));
        } else {
            const long long pause = left < kNoPidfdPauseMs ? left : kNoPidfdPauseMs;
            struct timespec ts {0, static_cast<long>(pause) * 1000000L};
            nanosleep(&ts, nullptr);
        }
    }
}

// While the child is unreaped its pid is still ours, so falling back to it is safe.
void Signal_Unreaped_Group(pid_t pid, int sig) {
    if (kill(-pid, sig) != 0 && errno != ESRCH) kill(pid, sig);
}

// Keeps signals blocked from just before the child is made until its group exists and is recorded,
// so a worker's SIGTERM handler never finds a group that is not there yet.
struct TermBlock {
    sigset_t old;
    TermBlock() {
        sigset_t s;
        sigfillset(&s);
        sigprocmask(SIG_BLOCK, &s, &old);
    }
    ~TermBlock() { sigprocmask(SIG_SETMASK, &old, nullptr); }
    TermBlock(const TermBlock&) = delete;
    TermBlock& operator=(const TermBlock&) = delete;
};

struct CurrentGroup {
    ~CurrentGroup() { g_current_pgid = 0; }
};

// What every command starts with: every signal at its default (an ignored SIGPIPE or SIGTERM, or a
// caller's SIGCHLD setting, would survive exec), nothing blocked, /dev/null as standard input, and
// with bNewGroup the leadership of a new process group.
struct Spawn_Setup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    explicit Spawn_Setup(bool bNewGroup) {
        posix_spawnattr_init(&attr);
        // Every bit set: sigfillset leaves out the C library's own two real-time signals, which
        // posix_spawn would then leave ignored in the program it starts.
        sigset_t all, none;
        memset(&all, 0xff, sizeof all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setflags(&attr, (bNewGroup ? POSIX_SPAWN_SETPGROUP : 0) | POSIX_SPAWN_SETSIGDEF |
                                            POSIX_SPAWN_SETSIGMASK);
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    ~Spawn_Setup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    Spawn_Setup(const Spawn_Setup&) = delete;
    Spawn_Setup& operator=(const Spawn_Setup&) = delete;
};

// The program straight from its argument vector, the redirections done as the shell would do them.
// 0, or the error that kept it from starting.
int Spawn_Direct(pid_t& pid, const qlm::SimpleCommand& cmd, bool bNewGroup) {
    Spawn_Setup s(bNewGroup);
    for (const qlm::Redirection& r : cmd.redirections) {
        int e = r.dupFrom >= 0 ? posix_spawn_file_actions_adddup2(&s.actions, r.dupFrom, r.fd)
                               : posix_spawn_file_actions_addopen(&s.actions, r.fd, r.path.c_str(),
                                                                  O_WRONLY | O_CREAT | (r.append ? O_APPEND : O_TRUNC),
                                                                  0666);
        if (e != 0) return e;
    }
    std::vector<char*> argv;
    argv.reserve(cmd.argv.size() + 1);
    for (const std::string& a : cmd.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return posix_spawn(&pid, argv[0], &s.actions, &s.attr, argv.data(), environ);
}

int Spawn_Shell(pid_t& pid, const std::string& line, bool bNewGroup) {
    Spawn_Setup s(bNewGroup);
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(line.c_str()), nullptr};
    return posix_spawn(&pid, "/bin/sh", &s.actions, &s.attr, argv, environ);
}

// The command line formatted from fmt; false when the format cannot be applied.
bool Format_Line(std::string& line, const char* fmt, va_list ap) {
    if (fmt == nullptr) return false;
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    if (n < 0) {
        va_end(ap2);
        return false;
    }
    line.assign(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(line.data(), line.size(), fmt, ap2);
    va_end(ap2);
    line.resize(static_cast<size_t>(n));
    return true;
}

// A started command: its pid, and whether a shell stands between us and the program.
struct Started {
    pid_t pid = -1;
    bool bShell = true;

    // The shell reports a program ended by signal s as 128 + s: so does a program run without it.
    int Status(int ws) const { return !bShell && WIFSIGNALED(ws) ? 128 + WTERMSIG(ws) : Status_Of(ws); }
};

// Starts the line. A plain line starts its program without a shell in between; anything else, and
// a line whose program or redirections fail, goes to the shell, which then reports it as it always
// did. 0; 1 when not even the shell could run (iRetBuf is then what its child would have reported);
// or -errno when no process could be made.
int Start(const std::string& line, bool bNewGroup, Started& st, int& iRetBuf) {
    qlm::SimpleCommand cmd;
    if (qlm::Parse_Simple_Command(line, cmd) && Spawn_Direct(st.pid, cmd, bNewGroup) == 0) {
        st.bShell = false;
        return 0;
    }
    const int e = Spawn_Shell(st.pid, line, bNewGroup);
    if (e == EAGAIN || e == ENOMEM) return -e;
    if (e != 0) {
        iRetBuf = 127;
        return 1;
    }
    return 0;
}

// Waits without limit for the child to end. 0 with iRetBuf its status, or -errno.
int Wait_To_End(const Started& st, int& iRetBuf) {
    int ws = 0;
    while (waitpid(st.pid, &ws, 0) != st.pid) {
        if (errno != EINTR) return -errno;
    }
    iRetBuf = st.Status(ws);
    return 0;
}

}  // namespace

int Execute_Tool_Line(int& iRetBuf, const char* pszFmt, ...) {
    std::string line;
    va_list ap;
    va_start(ap, pszFmt);
    const bool bFormatted = Format_Line(line, pszFmt, ap);
    va_end(ap);
    if (!bFormatted) return -22;
    Started st;
    if (int rc = Start(line, false, st, iRetBuf); rc != 0) return rc < 0 ? rc : 0;
    return Wait_To_End(st, iRetBuf);
}

int Execute_Command_Line_Timeout(int& iRetBuf, int iTimeoutSec, const char* pszFmt, ...) {
    std::string line;
    va_list ap;
    va_start(ap, pszFmt);
    const bool bFormatted = Format_Line(line, pszFmt, ap);
    va_end(ap);
    if (!bFormatted) return -22;

    const CommandWaitFn waitFn = iTimeoutSec < 1 ? nullptr : g_commandWaitFn;
    long long nextMs = waitFn ? waitFn() : 0;
    CurrentGroup clearOnReturn;
    Started st;
    {
        TermBlock block;
        if (int rc = Start(line, true, st, iRetBuf); rc != 0) return rc < 0 ? rc : 0;
        setpgid(st.pid, st.pid);  // set by the child already; harmless once it has run its program
        g_current_pgid = st.pid;
    }
    if (iTimeoutSec < 1) return Wait_To_End(st, iRetBuf);

    const pid_t pid = st.pid;
    int ws = 0, err = 0;
    FdCloser pidfd{Open_Pidfd(pid)};
    const long long deadline = Monotonic_Ms() + static_cast<long long>(iTimeoutSec) * 1000;
    Wait w;
    for (;;) {
        const long long due = nextMs > 0 ? Monotonic_Ms() + nextMs : deadline;
        const bool bCall = due < deadline;
        w = Wait_Child(pid, pidfd.fd, bCall ? due : deadline, ws, err);
        if (w != Wait::Running || !bCall) break;
        nextMs = waitFn();
    }
    if (w == Wait::Ended) {
        iRetBuf = st.Status(ws);
        return 0;
    }
    if (w != Wait::Running) return -err;

    // Time-out: SIGTERM to the whole group, a grace period, then SIGKILL.
    Signal_Unreaped_Group(pid, SIGTERM);
    w = Wait_Child(pid, pidfd.fd, Monotonic_Ms() + kGraceMs, ws, err);
    if (w == Wait::Ended) {
        // Reaped: its pid may already be another process's, so only the group is signalled, to end
        // any member that outlives the leader.
        kill(-pid, SIGKILL);
    } else if (w != Wait::NoChild) {
        Signal_Unreaped_Group(pid, SIGKILL);
        Wait_Child(pid, pidfd.fd, Monotonic_Ms() + kGraceMs, ws, err);
    }
    iRetBuf = -1;
    return -110;
}

void Set_Command_Wait_Fn(CommandWaitFn fn) { g_commandWaitFn = fn; }

namespace {

void On_Worker_Sigterm(int) {
    pid_t pg = g_current_pgid;
    if (pg > 0) kill(-pg, SIGTERM);
    _exit(0);
}

}  // namespace

void Install_Worker_Sigterm_Handler() {
    struct sigaction sa {};
    sa.sa_handler = On_Worker_Sigterm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
}

bool IsConnectionError(const std::string& errFile) {
    // A dropped socket (GAM's status 3), and a network GAM could not reach through its own retries
    // (status 5): both mean that Google is out of reach, not that one item failed.
    static const std::string_view kTexts[] = {"ERROR: Connection error", "ERROR: Unable to find the server at"};
    constexpr size_t kKeep = 64;  // longer than every text
    FdCloser fd{open(errFile.c_str(), O_RDONLY | O_CLOEXEC)};
    if (fd.fd < 0) return false;
    // The texts hold no line break, so a line holds one exactly when the file does. Most error
    // files are empty: one read answers; longer ones are read in blocks that overlap by kKeep.
    char buf[8192];
    size_t kept = 0;
    for (;;) {
        ssize_t got = read(fd.fd, buf + kept, sizeof buf - kept);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        const size_t have = kept + static_cast<size_t>(got);
        for (std::string_view t : kTexts)
            if (memmem(buf, have, t.data(), t.size()) != nullptr) return true;
        kept = have < kKeep ? have : kKeep;
        memmove(buf, buf + have - kept, kept);
    }
}

void DBG(bool bDebug, const char* fmt, ...) {
    if (!bDebug || fmt == nullptr) return;
    printf("[pid=%d] ", static_cast<int>(getpid()));
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
    fflush(stdout);
}
