// The program file of a running process, also after that file was replaced (a program update
// while a worker or the daemon runs): the process must still be recognised as running it. And
// the start of a process, by which a stored pid is told from a later process that took it.
#include "common/procinfo.h"
#include "../platform_testdir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

TEST(ProcInfo, ProgramOfAProcessStaysItsPathWhenTheFileIsRemovedOrReplaced) {
    plattest::TempDir t;
    const std::string program = fs::canonical(t.path()).string() + "/worker";
    fs::copy_file("/bin/sleep", program);
    fs::permissions(program, fs::perms::owner_all);
    pid_t pid = fork();
    if (pid == 0) {
        execl(program.c_str(), program.c_str(), "600", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    // Until the exec is done the child still runs the test program.
    for (int i = 0; i < 500 && qlm::Process_Program(pid) != program; ++i) usleep(10000);
    EXPECT_EQ(qlm::Process_Program(pid), program);

    fs::remove(program);  // an update removes or renames the old file and puts a new one there
    fs::copy_file("/bin/sleep", program);
    EXPECT_EQ(qlm::Process_Program(pid), program);

    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(qlm::Process_Program(pid), "");
    EXPECT_EQ(qlm::Process_Program(getpid()), fs::canonical("/proc/self/exe").string());
}

TEST(ProcInfo, AProcessIsGoneWhenItEndedEvenBeforeItIsReaped) {
    EXPECT_FALSE(qlm::Process_Is_Gone(getpid()));
    EXPECT_FALSE(qlm::Process_Is_Gone(getppid()));
    EXPECT_FALSE(qlm::Process_Is_Gone(0));
    const pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    ASSERT_GT(child, 0);
    EXPECT_FALSE(qlm::Process_Is_Gone(child)) << "running";
    kill(child, SIGKILL);
    // A zombie until it is reaped: gone already, though it can still be signalled.
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(kill(child, 0), 0);
    EXPECT_TRUE(qlm::Process_Is_Gone(child)) << "zombie";
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_TRUE(qlm::Process_Is_Gone(child)) << "reaped";
}

TEST(ProcInfo, AProcessStartedLaterThanAMissionIsNotItsWorker) {
    const time_t tBefore = time(nullptr);
    pid_t child = fork();
    if (child == 0) {
        for (;;) pause();
    }
    ASSERT_GT(child, 0);
    const time_t tNow = time(nullptr);
    double childAge = -1, ownAge = -1;
    ASSERT_EQ(qlm::Process_Age(child, childAge), 0);
    ASSERT_EQ(qlm::Process_Age(getpid(), ownAge), 0);
    EXPECT_GE(childAge, 0);
    EXPECT_LT(childAge, 60);
    EXPECT_GE(ownAge, childAge);  // this test's process started first
    qlm::Proc_Stat own, st;
    ASSERT_EQ(qlm::Read_Proc_Stat(getpid(), own), 0);
    ASSERT_EQ(qlm::Read_Proc_Stat(child, st), 0);
    EXPECT_GE(st.ullStartTicks, own.ullStartTicks);

    constexpr time_t kDay = 86400;
    const struct {
        const char* name;
        time_t tStart;  // the mission's start
        time_t tNow;    // what its clock reads now
        bool bWorker;
    } cases[] = {
        {"mission started with it", tBefore, tNow, true},
        {"mission started a moment later (the worker's first step)", tNow + 2, tNow, true},
        {"mission started within the slack before it", tBefore - qlm::kWorkerStartSlackSec + 1, tNow, true},
        {"mission started an hour before it", tNow - 3600, tNow, false},
        {"mission started well beyond the slack before it", tBefore - qlm::kWorkerStartSlackSec - 10, tNow, false},
        {"a clock a day ahead: the start read on it", tBefore + kDay, tNow + kDay, true},
        {"a clock a day ahead: an hour before", tNow + kDay - 3600, tNow + kDay, false},
        {"a record without a start", 0, tNow, false},
    };
    for (const auto& c : cases) EXPECT_EQ(qlm::Process_Started_By(child, c.tStart, c.tNow), c.bWorker) << c.name;

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(qlm::Process_Started_By(child, tNow, tNow));  // gone
    EXPECT_EQ(qlm::Process_Age(child, childAge), -2);
    for (pid_t p : {-1, 0}) EXPECT_FALSE(qlm::Process_Started_By(p, tNow, tNow)) << p;
}

}  // namespace
