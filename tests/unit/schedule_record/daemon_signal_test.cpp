// The daemon signal, with a stand-in daemon installed as bin/qlm_deamon in the test root. The
// signal looks for qlm_deamon among all processes, so each scenario runs in a PID namespace of its
// own with its own /proc: it sees only the daemons it started, and they end with it.
#include "orvenna_cgi/schedule_record.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../platform_testdir.h"
#include "common/paths.h"

namespace {

namespace fs = std::filesystem;

constexpr int kSkipped = 77;

// Runs body as process 1 of a new PID namespace with /proc mounted for it. Gives body's text
// (empty when every check held), or "skip" when namespaces are not available here.
std::string In_Own_Pid_Namespace(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    pid_t outer = fork();
    if (outer == 0) {
        close(fds[0]);
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(kSkipped);
        pid_t init = fork();
        if (init == 0) {
            if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) _exit(kSkipped);
            std::string err = body();
            (void)!write(fds[1], err.data(), err.size());
            _exit(0);
        }
        int st = 0;
        if (init < 0 || waitpid(init, &st, 0) != init) _exit(1);
        _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 1);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int st = 0;
    waitpid(outer, &st, 0);
    if (WIFEXITED(st) && WEXITSTATUS(st) == kSkipped) return "skip";
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) return "scenario process failed: " + out;
    return out;
}

std::vector<std::string> Log_Lines(const std::string& root) {
    std::istringstream in(plattest::Read_File(root + "/daemon.log"));
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

std::vector<std::string> Starting_With(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
}

// Polls the log until it holds n lines starting with prefix; false after the deadline.
bool Wait_For_Lines(const std::string& root, const std::string& prefix, size_t n) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Starting_With(Log_Lines(root), prefix).size() >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class DaemonSignal : public ::testing::Test {
protected:
    plattest::TempDir root;
    plattest::ScopedEnv rootEnv{"QLM_ROOT", root.path()};

    void SetUp() override {
        fs::create_directories(qlm::Bin_Dir());
        fs::copy_file(FAKE_DAEMON_BIN, qlm::Daemon_Path());
    }

    pid_t Start_Running_Daemon() {
        pid_t pid = fork();
        if (pid == 0) {
            std::string path = qlm::Daemon_Path();
            execl(path.c_str(), path.c_str(), "-stay", static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }

    void Run(const std::function<std::string()>& body) {
        std::string result = In_Own_Pid_Namespace(body);
        if (result == "skip") GTEST_SKIP() << "no PID namespace here";
        EXPECT_EQ(result, "");
    }
};

TEST_F(DaemonSignal, StartsTheDaemonOnlyWhenNoneRunsAndAskedTo) {
    const std::string r = root.path();
    Run([&]() -> std::string {
        Send_Signal_Let_Daemon_Recalculate_Schedule_Queue(false);
        if (!Log_Lines(r).empty()) return "started although not asked to";

        // The start is done when the call returns: the daemon detaches itself.
        Send_Signal_Let_Daemon_Recalculate_Schedule_Queue(true);
        if (Starting_With(Log_Lines(r), "daemon") != std::vector<std::string>{"daemon -daemon"})
            return "not started once with -daemon";
        if (!Wait_For_Lines(r, "running ", 1)) return "the started daemon never ran";

        // Now one runs: the next change signals it and starts nothing.
        Send_Signal_Let_Daemon_Recalculate_Schedule_Queue(true);
        std::string running = Starting_With(Log_Lines(r), "running ")[0];
        if (!Wait_For_Lines(r, "usr1 ", 1)) return "the running daemon got no SIGUSR1";
        if (Starting_With(Log_Lines(r), "usr1 ")[0] != "usr1 " + running.substr(8)) return "another process was signalled";
        if (Starting_With(Log_Lines(r), "daemon").size() != 1) return "a second daemon was started";
        return "";
    });
}

TEST_F(DaemonSignal, EveryRunningDaemonIsSignalled) {
    const std::string r = root.path();
    Run([&]() -> std::string {
        pid_t a = Start_Running_Daemon(), b = Start_Running_Daemon();
        if (a < 0 || b < 0) return "fork failed";
        if (!Wait_For_Lines(r, "running ", 2)) return "the daemons never ran";
        Send_Signal_Let_Daemon_Recalculate_Schedule_Queue(true);
        if (!Wait_For_Lines(r, "usr1 ", 2)) return "not every daemon got SIGUSR1";
        std::vector<std::string> got = Starting_With(Log_Lines(r), "usr1 ");
        std::sort(got.begin(), got.end());
        std::vector<std::string> want{"usr1 " + std::to_string(a), "usr1 " + std::to_string(b)};
        std::sort(want.begin(), want.end());
        if (got != want) return "signalled: " + got[0] + ", " + got[1];
        if (!Starting_With(Log_Lines(r), "daemon").empty()) return "a daemon was started although two run";
        return "";
    });
}

TEST_F(DaemonSignal, AStartEndedByTheSignalIsStartedAgain) {
    const std::string r = root.path();
    plattest::Write_File(r + "/die-once", "");
    Run([&]() -> std::string {
        Send_Signal_Let_Daemon_Recalculate_Schedule_Queue(true);
        std::vector<std::string> lines = Log_Lines(r);
        if (lines.empty() || lines[0] != "died") return "the first start did not end by the signal";
        if (Starting_With(lines, "daemon") != std::vector<std::string>{"daemon -daemon"}) return "not started again";
        if (!Wait_For_Lines(r, "running ", 1)) return "the second start never ran";
        return "";
    });
}

TEST_F(DaemonSignal, ANamesakeFromAnotherPlaceIsNotTheDaemon) {
    const std::string r = root.path();
    const std::string other = r + "/elsewhere/qlm_deamon";
    fs::create_directories(r + "/elsewhere");
    fs::copy_file(FAKE_DAEMON_BIN, other);
    Run([&]() -> std::string {
        pid_t stranger = fork();
        if (stranger == 0) {
            execl(other.c_str(), other.c_str(), "-stay", static_cast<char*>(nullptr));
            _exit(127);
        }
        if (stranger < 0 || !Wait_For_Lines(r, "running ", 1)) return "the namesake never ran";
        Send_Signal_Let_Daemon_Recalculate_Schedule_Queue(true);
        if (Starting_With(Log_Lines(r), "daemon") != std::vector<std::string>{"daemon -daemon"})
            return "the daemon was not started beside the namesake";
        if (!Wait_For_Lines(r, "running ", 2)) return "the started daemon never ran";
        if (!Starting_With(Log_Lines(r), "usr1 ").empty()) return "the namesake was signalled";
        return "";
    });
}

// The decision alone, over a made-up lookup: every pid found is tried, and a daemon is started
// when none took the signal (all had ended since the lookup) as well as when none was found.
std::vector<pid_t> g_tried;
std::vector<pid_t> g_alive;

int Fake_Usr1(pid_t pid) {
    g_tried.push_back(pid);
    return std::find(g_alive.begin(), g_alive.end(), pid) != g_alive.end() ? 0 : -ESRCH;
}

TEST(DaemonSignalDecision, EveryFoundPidIsTriedAndNoTakerMeansStart) {
    struct Row {
        const char* name;
        int lookup;
        std::vector<pid_t> found, alive;
        bool startAllowed;
        std::vector<pid_t> tried;
        bool start;
    } rows[] = {
        {"none found", -61, {}, {}, true, {}, true},
        {"none found, not asked to start", -61, {}, {}, false, {}, false},
        {"the one found took it", 0, {40}, {40}, true, {40}, false},
        {"the first found had ended: the second still gets it", 0, {40, 41}, {41}, true, {40, 41}, false},
        {"every one found had ended", 0, {40, 41}, {}, true, {40, 41}, true},
        {"every one had ended, not asked to start", 0, {40}, {}, false, {40}, false},
        {"a failed lookup does nothing", -13, {}, {}, true, {}, false},
        {"never pid 0, 1 or a negative one", 0, {-1, 0, 1, 40}, {40}, true, {40}, false},
    };
    for (const Row& r : rows) {
        g_tried.clear();
        g_alive = r.alive;
        EXPECT_EQ(qlm::Signal_Daemons(r.lookup, r.found, r.startAllowed, Fake_Usr1), r.start) << r.name;
        EXPECT_EQ(g_tried, r.tried) << r.name;
    }
}

}  // namespace
