#include "common/cmdrun.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

volatile sig_atomic_t g_current_pgid = 0;

namespace {

constexpr long kPollMs = 100;
constexpr int kGracePolls = 20;

long long Monotonic_Ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A full pause: a handled signal does not shorten it.
void Pause_Poll() {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += kPollMs * 1000000;
    if (until.tv_nsec >= 1000000000) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

int Status_Of(int ws) {
    if (WIFEXITED(ws)) return WEXITSTATUS(ws);
    if (WIFSIGNALED(ws)) return -128 - WTERMSIG(ws);
    return -1;
}

enum class Poll { Ended, NoChild, Running, Interrupted, Failed };

Poll Poll_Child(pid_t pid, int& ws, int& err) {
    pid_t r = waitpid(pid, &ws, WNOHANG);
    if (r == pid) return Poll::Ended;
    if (r == 0) return Poll::Running;
    err = errno;
    if (err == EINTR) return Poll::Interrupted;
    if (err == ECHILD) return Poll::NoChild;
    return Poll::Failed;
}

// While the child is unreaped its pid is still ours, so falling back to it is safe.
void Signal_Unreaped_Group(pid_t pid, int sig) {
    if (kill(-pid, sig) != 0 && errno != ESRCH) kill(pid, sig);
}

// Keeps signals blocked from just before the fork until the child's group exists and is recorded,
// so a worker's SIGTERM handler never finds a group that is not there yet, and no handler of the
// caller ever runs in the child before it resets them.
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

// In the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void Exec_Child(const char* line) {
    setpgid(0, 0);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    // Ignored signals survive exec: a tool must not inherit an ignored SIGPIPE or SIGTERM, nor a
    // caller's SIGCHLD setting. Every signal is reset (SIGKILL and SIGSTOP refuse quietly).
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int nul = open("/dev/null", O_RDONLY);
    if (nul >= 0 && nul != STDIN_FILENO) {
        dup2(nul, STDIN_FILENO);
        close(nul);
    }
    execl("/bin/sh", "sh", "-c", line, static_cast<char*>(nullptr));
    _exit(127);
}

}  // namespace

int Execute_Command_Line_Timeout(int& iRetBuf, int iTimeoutSec, const char* pszFmt, ...) {
    if (pszFmt == nullptr) return -22;
    va_list ap, ap2;
    va_start(ap, pszFmt);
    va_copy(ap2, ap);
    int n = vsnprintf(nullptr, 0, pszFmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(ap2);
        return -22;
    }
    std::string line(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(line.data(), line.size(), pszFmt, ap2);
    va_end(ap2);
    line.resize(static_cast<size_t>(n));

    CurrentGroup clearOnReturn;
    pid_t pid;
    {
        TermBlock block;
        pid = fork();
        if (pid < 0) return -errno;
        if (pid == 0) Exec_Child(line.c_str());
        setpgid(pid, pid);  // both sides set it, so it holds before any signal or wait
        g_current_pgid = pid;
    }

    int ws = 0, err = 0;
    if (iTimeoutSec < 1) {
        for (;;) {
            if (waitpid(pid, &ws, 0) == pid) break;
            if (errno != EINTR) return -errno;
        }
        iRetBuf = Status_Of(ws);
        return 0;
    }

    const long long limitMs = static_cast<long long>(iTimeoutSec) * 1000;
    const long long startMs = Monotonic_Ms();
    for (;;) {
        Poll p = Poll_Child(pid, ws, err);
        if (p == Poll::Ended) {
            iRetBuf = Status_Of(ws);
            return 0;
        }
        if (p == Poll::Interrupted) continue;
        if (p != Poll::Running) return -err;
        if (Monotonic_Ms() - startMs >= limitMs) break;
        Pause_Poll();
    }

    // Time-out: SIGTERM to the whole group, a grace period, then SIGKILL.
    Signal_Unreaped_Group(pid, SIGTERM);
    bool finished = false;
    for (int i = 0; i < kGracePolls && !finished; ++i) {
        Poll p = Poll_Child(pid, ws, err);
        if (p == Poll::Ended) {
            // Reaped: its pid may already be another process's, so only the group is signalled,
            // to end any member that outlives the leader.
            kill(-pid, SIGKILL);
            finished = true;
        } else if (p == Poll::NoChild) {
            finished = true;
        } else if (p == Poll::Failed) {
            break;
        } else if (p == Poll::Running) {
            Pause_Poll();
        }
    }
    if (!finished) {
        Signal_Unreaped_Group(pid, SIGKILL);
        for (int i = 0; i < kGracePolls; ++i) {
            Poll p = Poll_Child(pid, ws, err);
            if (p == Poll::Ended || p == Poll::NoChild || p == Poll::Failed) break;
            if (p == Poll::Running) Pause_Poll();
        }
    }
    iRetBuf = -1;
    return -110;
}

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
    std::ifstream in(errFile, std::ios::binary);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("ERROR: Connection error") != std::string::npos) return true;
    }
    return false;
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
