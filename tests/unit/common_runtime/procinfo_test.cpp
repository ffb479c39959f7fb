// The program file of a running process, also after that file was replaced (a program update
// while a worker or the daemon runs): the process must still be recognised as running it.
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

}  // namespace
