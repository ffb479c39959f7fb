// The process checks and the GAM sweep of the mission abort, over processes this test starts:
// a forked copy of the test program stands for a worker (same program file, as every worker of
// the system is), and sleep processes named like tools stand for GAM and for other programs.
#include "orvenna_cgi/mission_abort.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../platform_testdir.h"
#include "common/paths.h"

namespace {

// Kills and reaps, at scope end, every process it was given that is still there.
struct Process_Reaper {
    std::vector<pid_t> pids;
    ~Process_Reaper() {
        for (pid_t p : pids) kill(p, SIGKILL);
        for (pid_t p : pids) waitpid(p, nullptr, WNOHANG);
    }
};

// Alive and not a zombie.
bool Running(pid_t pid) {
    qlm::Proc_Stat st;
    return qlm::Read_Proc_Stat(pid, st) == 0 && st.cState != 'Z';
}

bool Eventually_Gone(pid_t pid) {
    for (int i = 0; i < 250 && Running(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return !Running(pid);
}

// "sleep 600" whose command line starts with argv0; in a group of its own when asked, and
// deaf to SIGTERM when asked (as a tool that ignores it).
pid_t Spawn_Sleep(const std::string& argv0, bool bOwnGroup, bool bIgnoreTerm) {
    pid_t pid = fork();
    if (pid == 0) {
        if (bOwnGroup) setpgid(0, 0);
        if (bIgnoreTerm) signal(SIGTERM, SIG_IGN);
        execl("/bin/sleep", argv0.c_str(), "600", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// The processes a stand-in worker started.
struct Worker_Scene {
    pid_t worker = -1;
    pid_t gamInGroup = -1;    // a listing: GAM in the worker's group
    pid_t gamOwnGroup = -1;   // a download: GAM in a group of its own, ignoring SIGTERM
    pid_t otherInGroup = -1;  // not GAM
    pid_t foreignGam = -1;    // GAM of another installation (another path)
};

// Forks a stand-in worker that leads its own group (or stays in the test's) and starts the four
// processes of Worker_Scene, then waits for a signal.
Worker_Scene Start_Worker(bool bLeadGroup) {
    const std::string gam = qlm::Tool_Path("gam");
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t worker = fork();
    if (worker == 0) {
        close(fds[0]);
        if (bLeadGroup) setpgid(0, 0);
        pid_t pids[4] = {Spawn_Sleep(gam, false, false), Spawn_Sleep(gam, true, true),
                         Spawn_Sleep("/usr/bin/sleeper", false, false),
                         Spawn_Sleep("/opt/elsewhere/bin/gam", false, false)};
        (void)!write(fds[1], pids, sizeof pids);
        close(fds[1]);
        for (;;) pause();
    }
    close(fds[1]);
    pid_t pids[4] = {-1, -1, -1, -1};
    size_t got = 0;
    while (got < sizeof pids) {
        ssize_t n = read(fds[0], reinterpret_cast<char*>(pids) + got, sizeof pids - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fds[0]);
    return {worker, pids[0], pids[1], pids[2], pids[3]};
}

// Every process has exec'd (its command line no longer is the test program's).
void Wait_Execed(const std::vector<pid_t>& pids) {
    for (pid_t p : pids)
        for (int i = 0; i < 250; ++i) {
            std::string cmd = plattest::Read_File("/proc/" + std::to_string(p) + "/cmdline");
            if (cmd.find("sleep") != std::string::npos || cmd.find("gam") != std::string::npos) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
}

class Sweep : public ::testing::Test {
protected:
    plattest::TempDir root;
    plattest::ScopedEnv rootEnv{"QLM_ROOT", root.path()};
    Process_Reaper reaper;

    // A GAM of this installation that the worker did not start (in a group of its own or in the
    // test's), then the worker's scene; every process has exec'd on return.
    Worker_Scene Stage(bool bLeadGroup, bool bOutsiderOwnGroup, pid_t& outsider) {
        outsider = Spawn_Sleep(qlm::Tool_Path("gam") + " user other", bOutsiderOwnGroup, false);
        reaper.pids.push_back(outsider);
        Worker_Scene s = Start_Worker(bLeadGroup);
        reaper.pids.insert(reaper.pids.end(), {s.worker, s.gamInGroup, s.gamOwnGroup, s.otherInGroup, s.foreignGam});
        Wait_Execed({outsider, s.gamInGroup, s.gamOwnGroup, s.otherInGroup, s.foreignGam});
        return s;
    }
};

TEST_F(Sweep, OnlyPidsOfThisProgramAreWorkers) {
    pid_t twin = fork();  // the same program file: a worker
    if (twin == 0) {
        for (;;) pause();
    }
    reaper.pids.push_back(twin);
    pid_t other = Spawn_Sleep("sleep", false, false);  // another program
    reaper.pids.push_back(other);
    pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    reaper.pids.push_back(zombie);
    Wait_Execed({other});
    for (int i = 0; i < 250 && Running(zombie); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));

    EXPECT_TRUE(qlm::Is_Own_Worker(twin));
    const struct {
        const char* name;
        pid_t pid;
    } refused[] = {{"every process", -1}, {"own group", 0}, {"init", 1}, {"itself", getpid()},
                   {"another program", other}, {"zombie", zombie}, {"no such pid", 4194305}};
    for (const auto& c : refused) EXPECT_FALSE(qlm::Is_Own_Worker(c.pid)) << c.name;
    EXPECT_TRUE(Running(other));
}

TEST_F(Sweep, StatIsReadPastACommandNameWithParenthesesAndBlanks) {
    pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        prctl(PR_SET_NAME, "x) S 1 1 (y", 0, 0, 0);
        for (;;) pause();
    }
    reaper.pids.push_back(child);
    qlm::Proc_Stat st;
    for (int i = 0; i < 250; ++i) {
        if (plattest::Read_File("/proc/" + std::to_string(child) + "/comm").find("x)") == 0 &&
            getpgid(child) == child)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(qlm::Read_Proc_Stat(child, st), 0);
    EXPECT_EQ(st.pid, child);
    EXPECT_EQ(st.ppid, getpid());
    EXPECT_EQ(st.pgrp, child);
    EXPECT_NE(st.cState, 'Z');
    EXPECT_EQ(qlm::Read_Proc_Stat(4194305, st), -2);
}

TEST_F(Sweep, EndsTheWorkersGamToolsInItsGroupAndBelowItAndNothingElse) {
    pid_t unrelated = -1;  // neither in the worker's group nor started by it
    Worker_Scene s = Stage(true, true, unrelated);
    ASSERT_GT(s.worker, 0);

    qlm::Worker_Processes w;
    ASSERT_EQ(qlm::Snapshot_Worker(s.worker, w), 0);
    EXPECT_EQ(w.pgid, s.worker);
    std::vector<pid_t> below = w.vDescendants;
    std::sort(below.begin(), below.end());
    std::vector<pid_t> expected{s.gamInGroup, s.gamOwnGroup, s.otherInGroup, s.foreignGam};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(below, expected);

    // As the abort does: the worker goes first and its children lose their parent.
    kill(s.worker, SIGTERM);
    waitpid(s.worker, nullptr, 0);
    qlm::Kill_Gam_In_Same_Group(w);
    EXPECT_TRUE(Eventually_Gone(s.gamInGroup));
    EXPECT_TRUE(Eventually_Gone(s.gamOwnGroup));  // it ignored SIGTERM: the second pass killed it
    EXPECT_TRUE(Running(s.otherInGroup));
    EXPECT_TRUE(Running(s.foreignGam));
    EXPECT_TRUE(Running(unrelated));
}

TEST_F(Sweep, AWorkerSharingAGroupOnlyLosesTheToolsItStarted) {
    pid_t neighbour = -1;  // in the group the worker shares, as another mission's tool would be
    Worker_Scene s = Stage(false, false, neighbour);
    ASSERT_GT(s.worker, 0);

    qlm::Worker_Processes w;
    ASSERT_EQ(qlm::Snapshot_Worker(s.worker, w), 0);
    EXPECT_EQ(w.pgid, 0);
    EXPECT_EQ(qlm::Signal_Gam_Processes(w, SIGKILL), 2);
    EXPECT_TRUE(Eventually_Gone(s.gamInGroup));
    EXPECT_TRUE(Eventually_Gone(s.gamOwnGroup));
    EXPECT_TRUE(Running(neighbour));
    EXPECT_TRUE(Running(s.worker));
    EXPECT_TRUE(Running(s.otherInGroup));
}

TEST_F(Sweep, AGoneWorkersGamToolsLeftInItsGroupAreEndedAndNothingElse) {
    pid_t unrelated = -1;
    Worker_Scene s = Stage(true, true, unrelated);
    ASSERT_GT(s.worker, 0);
    // A live process that is no worker: its group is never swept.
    EXPECT_EQ(qlm::Sweep_Gone_Worker_Group(unrelated), 0);
    EXPECT_EQ(qlm::Sweep_Gone_Worker_Group(s.worker), 0);  // alive: the abort stops it the usual way

    // The worker was killed before any abort; the tool in its group runs on.
    kill(s.worker, SIGKILL);
    waitpid(s.worker, nullptr, 0);
    ASSERT_TRUE(Running(s.gamInGroup));
    EXPECT_EQ(qlm::Sweep_Gone_Worker_Group(s.worker), 1);
    EXPECT_TRUE(Eventually_Gone(s.gamInGroup));
    EXPECT_TRUE(Running(s.otherInGroup));
    EXPECT_TRUE(Running(s.foreignGam));
    EXPECT_TRUE(Running(s.gamOwnGroup));  // its parent is gone: nothing tells it from another run's
    EXPECT_TRUE(Running(unrelated));
    for (pid_t p : {-1, 0, 1}) EXPECT_EQ(qlm::Sweep_Gone_Worker_Group(p), 0);
}

TEST_F(Sweep, WaitingForAWorkerEndsWhenItIsGoneOrTheTimeIsUp) {
    pid_t twin = fork();
    if (twin == 0) {
        for (;;) pause();
    }
    reaper.pids.push_back(twin);
    EXPECT_FALSE(qlm::Wait_Worker_Gone(twin, 100));
    kill(twin, SIGTERM);
    // Not reaped yet: a zombie counts as gone.
    EXPECT_TRUE(qlm::Wait_Worker_Gone(twin, 5000));
    qlm::Worker_Processes none;
    EXPECT_EQ(qlm::Snapshot_Worker(4194305, none), -2);
}

}  // namespace
