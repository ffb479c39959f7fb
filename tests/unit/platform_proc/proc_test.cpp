// The shell runner, the process lookup and the interruptible sleep.
#include "plat_proc.h"

#include "../platform_testdir.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using plattest::Read_File;
using plattest::TempDir;

// ---- Execute_Command_Line: status

struct StatusCase {
    const char* command;
    int status;
};
void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.command; }

class CommandStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(CommandStatus, ReportsExitCodeOrSignal) {
    int status = 999;
    EXPECT_EQ(Execute_Command_Line(status, "%s", GetParam().command), 0);
    EXPECT_EQ(status, GetParam().status) << GetParam().command;
}

INSTANTIATE_TEST_SUITE_P(Commands, CommandStatus,
                         ::testing::Values(StatusCase{"true", 0}, StatusCase{"exit 3", 3},
                                           StatusCase{"exit 255", 255}, StatusCase{"kill -KILL $$", -137},
                                           StatusCase{"kill -TERM $$", -143},
                                           StatusCase{"qlm_no_such_command_anywhere 2>/dev/null", 127}));

TEST(ExecuteCommandLine, FormatsArgumentsOnceAndKeepsPercentSigns) {
    TempDir dir;
    std::string out = dir / "out";
    int status = -1;
    // The finished line holds printf directives; running it must not format them again.
    ASSERT_EQ(Execute_Command_Line(status, "echo '%s' >%s", "100% %s %d %n %%", out.c_str()), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Read_File(out), "100% %s %d %n %%\n");
}

// ---- Execute_Command_Line: what the shell starts with

// Puts a disposition, the signal mask and standard input back as they were.
class ShellStart : public ::testing::Test {
protected:
    void SetUp() override {
        sigaction(SIGPIPE, nullptr, &oldPipe);
        sigaction(SIGTERM, nullptr, &oldTerm);
        pthread_sigmask(SIG_SETMASK, nullptr, &oldMask);
        savedStdin = dup(STDIN_FILENO);
    }
    void TearDown() override {
        sigaction(SIGPIPE, &oldPipe, nullptr);
        sigaction(SIGTERM, &oldTerm, nullptr);
        pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
        dup2(savedStdin, STDIN_FILENO);
        close(savedStdin);
    }
    // The ignored signals of a program the shell starts, from its own /proc status. (The shell's
    // status is no witness for the mask: dash blocks every signal for a moment around each vfork.)
    uint64_t Ignored_In_Started_Program() {
        std::string out = dir / "sigign";
        int status = -1;
        EXPECT_EQ(Execute_Command_Line(status, "grep '^SigIgn:' /proc/self/status >%s", out.c_str()), 0);
        EXPECT_EQ(status, 0);
        std::string line = Read_File(out);
        std::string::size_type colon = line.find(':');
        return colon == std::string::npos ? ~0ull : std::stoull(line.substr(colon + 1), nullptr, 16);
    }
    static uint64_t Bit(int sig) { return 1ull << (sig - 1); }

    TempDir dir;
    struct sigaction oldPipe {}, oldTerm {};
    sigset_t oldMask{};
    int savedStdin = -1;
};

TEST_F(ShellStart, IgnoredSignalsAreNotInherited) {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    EXPECT_EQ(Ignored_In_Started_Program() & (Bit(SIGPIPE) | Bit(SIGTERM)), 0u);

    int status = 0;
    ASSERT_EQ(Execute_Command_Line(status, "kill -TERM $$; exit 0"), 0);
    EXPECT_EQ(status, -128 - SIGTERM) << "the shell ignored SIGTERM like its caller";
}

TEST_F(ShellStart, BlockedSignalsAreNotInherited) {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, nullptr), 0);

    // dash clears the mask of the programs it starts but not its own, so ask the shell itself.
    int status = 0;
    ASSERT_EQ(Execute_Command_Line(status, "kill -TERM $$; exit 0"), 0);
    EXPECT_EQ(status, -128 - SIGTERM) << "the shell kept SIGTERM blocked like its caller";
}

TEST_F(ShellStart, StandardInputIsDevNull) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "caller's input", 14), 14);
    close(p[1]);
    ASSERT_EQ(dup2(p[0], STDIN_FILENO), STDIN_FILENO);
    close(p[0]);

    std::string out = dir / "stdin";
    int status = -1;
    ASSERT_EQ(Execute_Command_Line(status, "cat >%s", out.c_str()), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Read_File(out), "");
    ASSERT_EQ(Execute_Command_Line(status, "[ /proc/self/fd/0 -ef /dev/null ]"), 0);
    EXPECT_EQ(status, 0);
}

TEST_F(ShellStart, StaysInCallersProcessGroup) {
    std::string out = dir / "pgrp";
    int status = -1;
    // The fifth field of the stat line is the process group; the shell's name holds no blank.
    ASSERT_EQ(Execute_Command_Line(status, "cut -d' ' -f5 /proc/$$/stat >%s", out.c_str()), 0);
    EXPECT_EQ(Read_File(out), std::to_string(getpgrp()) + "\n");
}

// ---- Get_All_Pids

bool Contains(const std::vector<pid_t>& pids, pid_t pid) {
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

// This program's name is longer than the kernel's 15-character command name.
constexpr const char* kSelf = "test_platform_proc";

TEST(GetAllPids, FindsTheCallerByItsLongName) {
    std::vector<pid_t> pids{-5};
    int count = -1;
    ASSERT_EQ(Get_All_Pids(kSelf, pids, count), 0);
    EXPECT_TRUE(Contains(pids, getpid()));
    EXPECT_FALSE(Contains(pids, -5)) << "the list is not cleared first";
    EXPECT_EQ(count, static_cast<int>(pids.size()));
}

TEST(GetAllPids, NameRunningNowhereIsNoData) {
    // The second name shares the caller's first 15 characters, all that the command name keeps.
    for (const char* name : {"qlm_nothing_runs_this", "test_platform_proc_other", "test_platform_pr"}) {
        std::vector<pid_t> pids{1};
        int count = 7;
        EXPECT_EQ(Get_All_Pids(name, pids, count), -61) << name;
        EXPECT_TRUE(pids.empty()) << name;
        EXPECT_EQ(count, 0) << name;
    }
}

TEST(GetAllPids, FindsOtherProcessesButNotEndedOnes) {
    pid_t sleeper = fork();
    if (sleeper == 0) {
        execl("/bin/sleep", "sleep", "600", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(sleeper, 0);
    pid_t ended = fork();
    if (ended == 0) _exit(0);
    ASSERT_GT(ended, 0);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, ended, &info, WEXITED | WNOWAIT), 0);  // a zombie from here on

    std::vector<pid_t> pids;
    int count = 0;
    // The exec may not have happened yet; wait for the name to change, with a deadline.
    for (int i = 0; i < 500 && !Contains(pids, sleeper); ++i) {
        Get_All_Pids("sleep", pids, count);
        if (!Contains(pids, sleeper)) usleep(10 * 1000);
    }
    EXPECT_TRUE(Contains(pids, sleeper));

    ASSERT_EQ(Get_All_Pids(kSelf, pids, count), 0);
    EXPECT_FALSE(Contains(pids, ended)) << "an ended, unreaped child counts as running";

    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
    waitpid(ended, nullptr, 0);
    Get_All_Pids("sleep", pids, count);
    EXPECT_FALSE(Contains(pids, sleeper));
}

// ---- Sleep_MSec_With_Signal

volatile sig_atomic_t g_alarms = 0;
void On_Alarm(int) { g_alarms = g_alarms + 1; }

TEST(SleepMSecWithSignal, SignalEndsTheSleepEarly) {
    g_alarms = 0;
    struct sigaction sa {}, old{};
    sa.sa_handler = On_Alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;  // even a restarting handler must end the sleep
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    itimerval timer{};
    timer.it_value.tv_usec = 50 * 1000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    EXPECT_EQ(Sleep_MSec_With_Signal(20000), -EINTR);
    EXPECT_EQ(g_alarms, 1);
    sigaction(SIGALRM, &old, nullptr);
}

TEST(SleepMSecWithSignal, FullSleepIsZero) {
    EXPECT_EQ(Sleep_MSec_With_Signal(0), 0);
    EXPECT_EQ(Sleep_MSec_With_Signal(20), 0);
}

}  // namespace
