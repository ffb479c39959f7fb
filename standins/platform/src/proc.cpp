#include "plat_proc.h"

#include "plat_fd.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct FreeDeleter {
    void operator()(char* p) const { free(p); }
};

int Status_Of(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return -128 - WTERMSIG(waitStatus);
    return -1;
}

// The text of a small /proc file; empty when the process is gone.
std::string Read_Proc_File(const std::string& path) {
    plat::Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!fd) return text;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

// Whether process pid runs the program name. The command name sits between the first "(" and the
// last ")" of its stat line (it may itself hold parentheses and blanks); the state letter follows.
bool Process_Matches(const char* pidText, const char* name, size_t nameLen) {
    const std::string dir = std::string("/proc/") + pidText;
    const std::string stat = Read_Proc_File(dir + "/stat");
    const std::string::size_type open = stat.find('(');
    const std::string::size_type close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open || close + 2 >= stat.size())
        return false;
    const char state = stat[close + 2];
    if (state == 'Z' || state == 'X') return false;  // ended, not yet reaped: not running
    const std::string comm = stat.substr(open + 1, close - open - 1);
    constexpr size_t kCommMax = 15;  // the kernel keeps at most 15 characters of the name
    if (nameLen <= kCommMax) return comm == name;
    if (comm.compare(0, std::string::npos, name, kCommMax) != 0) return false;
    const std::string cmdline = Read_Proc_File(dir + "/cmdline");
    const std::string argv0 = cmdline.substr(0, cmdline.find('\0'));
    const std::string::size_type slash = argv0.rfind('/');
    return argv0.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, name) == 0;
}

}  // namespace

int Execute_Command_Line(int& status, const char* fmt, ...) {
    status = -1;
    if (!fmt) return -EINVAL;
    char* raw = nullptr;
    va_list ap;
    va_start(ap, fmt);
    int len = vasprintf(&raw, fmt, ap);
    va_end(ap);
    if (len < 0) return -EINVAL;
    std::unique_ptr<char, FreeDeleter> line(raw);

    // posix_spawn starts the shell without copying the caller. Ignored signals would stay ignored
    // across exec (a caller ignoring SIGPIPE would leave every pipeline of the command unable to end
    // on a closed pipe), so all go back to their defaults: every bit, as sigfillset leaves out the C
    // library's own two real-time signals, which posix_spawn would then leave ignored.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    std::unique_ptr<posix_spawnattr_t, int (*)(posix_spawnattr_t*)> attrGuard(&attr, posix_spawnattr_destroy);
    sigset_t all, none;
    memset(&all, 0xff, sizeof all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::unique_ptr<posix_spawn_file_actions_t, int (*)(posix_spawn_file_actions_t*)> actionsGuard(
        &actions, posix_spawn_file_actions_destroy);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), line.get(), nullptr};
    pid_t pid;
    const int err = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
    if (err != 0) return -err;
    int waitStatus = 0;
    while (waitpid(pid, &waitStatus, 0) < 0) {
        if (errno != EINTR) return -errno;
    }
    status = Status_Of(waitStatus);
    return 0;
}

int Get_All_Pids(const char* name, std::vector<pid_t>& pids, int& count) {
    pids.clear();
    count = 0;
    if (!name || !*name) return -EINVAL;
    const size_t nameLen = strlen(name);
    plat::Dir proc(opendir("/proc"));
    if (!proc) return -errno;
    while (const dirent* e = readdir(proc.get())) {
        const char* text = e->d_name;
        if (!*text || strspn(text, "0123456789") != strlen(text)) continue;
        if (Process_Matches(text, name, nameLen)) pids.push_back(static_cast<pid_t>(strtol(text, nullptr, 10)));
    }
    std::sort(pids.begin(), pids.end());
    count = static_cast<int>(pids.size());
    return count > 0 ? 0 : -ENODATA;
}

int Sleep_MSec_With_Signal(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    return nanosleep(&ts, nullptr) == 0 ? 0 : -errno;
}
