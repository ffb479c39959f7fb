// Stand-in scheduler daemon for the signal tests, installed as bin/qlm_deamon under a test root.
// Every line goes to $QLM_ROOT/daemon.log:
//   qlm_deamon -daemon   "daemon <args>" at once, then a detached child runs as below; exit 0
//   qlm_deamon -stay     runs in the foreground (a daemon that is already running)
// Running: "running <pid>" once SIGUSR1 is safe to send, "usr1 <pid>" per SIGUSR1, ends on SIGTERM.
// When $QLM_ROOT/die-once exists, a start removes it, logs "died" and ends by SIGUSR1 (as a start
// signalled before it could take signals does).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Log(const std::string& line) {
    const char* root = getenv("QLM_ROOT");
    std::string path = std::string(root ? root : ".") + "/daemon.log";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    std::string text = line + "\n";
    (void)!write(fd, text.data(), text.size());
    close(fd);
}

[[noreturn]] void Run() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    std::string pid = std::to_string(getpid());
    Log("running " + pid);
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0 || sig == SIGTERM) _exit(0);
        Log("usr1 " + pid);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "-stay") == 0) Run();
    const char* root = getenv("QLM_ROOT");
    if (root != nullptr && unlink((std::string(root) + "/die-once").c_str()) == 0) {
        Log("died");
        signal(SIGUSR1, SIG_DFL);
        raise(SIGUSR1);
    }
    std::string line = "daemon";
    for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
    Log(line);
    pid_t child = fork();
    if (child == 0) {
        setsid();
        Run();
    }
    return child > 0 ? 0 : 1;
}
