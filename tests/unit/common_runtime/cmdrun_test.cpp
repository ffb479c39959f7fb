// The command runner against real shells: statuses, the time-out sequence, the group it ends,
// the state a tool starts with; and the small helpers around tool runs.
#include "common/cmdrun.h"
#include "common/shellquote.h"
#include "plat_proc.h"
#include "../platform_testdir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <vector>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// Orphans of the commands come back to this process, so the tests can reap a whole group and
// then see that nothing of it is left (a container's init may never reap them).
class CommandRunner : public ::testing::Test {
protected:
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    // True once no process of the group is left, reaping the members that come back to us; the
    // deadline only bounds a broken run, and lies far below the commands' own 100 s.
    static bool Group_Gone(pid_t pg) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            while (waitpid(-pg, nullptr, WNOHANG) > 0) {
            }
            if (kill(-pg, 0) == -1 && errno == ESRCH) return true;
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    // Waits for a worker to have written its file; the deadline only bounds a broken run.
    bool Wait_For_File(const std::string& name) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        struct stat st;
        while (stat((s / name).c_str(), &st) != 0 || st.st_size == 0) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    pid_t Read_Pid(const std::string& name) { return static_cast<pid_t>(std::stol(plattest::Read_File(s / name))); }

    // A tool run by its path, so the runner starts it without a shell. Its first argument says what
    // it does: "args" writes its parent's pid and then every argument, each ended by a NUL; "group"
    // writes its parent's pid and its process group; "exitN"
    // ends with N; "kill" ends by SIGKILL; "hang" and "deaf" (SIGTERM ignored) write their pid to
    // the file of the second argument and sleep, "hang" with a background child beside it; "state"
    // writes its blocked and ignored signals and what its standard input holds. All write "err" on
    // standard error first.
    std::string Tool() {
        const std::string path = s / "tool";
        plattest::Write_File(path,
                             "#!/bin/sh\n"
                             "echo err >&2\n"
                             "case \"$1\" in\n"
                             "  args) printf '%s\\0' \"$PPID\" \"$@\" ;;\n"
                             "  exit*) exit \"${1#exit}\" ;;\n"
                             "  kill) kill -KILL $$ ;;\n"
                             "  group) echo \"$PPID $(cut -d' ' -f5 /proc/$$/stat)\" ;;\n"
                             "  hang) echo $$ > \"$2\"; sleep 100 & sleep 100 ;;\n"
                             "  deaf) trap '' TERM; echo $$ > \"$2\"; sleep 100 ;;\n"
                             // Read by the shell itself: a child's look at it could catch it forking.
                             "  state) while read -r k v; do case $k in SigBlk:|SigIgn:) printf '%s\\t%s\\n' \"$k\" "
                             "\"$v\" ;; esac; done </proc/self/status; cat ;;\n"
                             "esac\n");
        chmod(path.c_str(), 0700);
        return qlm::ShellQuote(path);
    }

    plattest::TempDir s;
};

TEST_F(CommandRunner, ReportsHowTheCommandEnded) {
    struct Case {
        const char* cmd;
        int timeout;
        int status;
    } cases[] = {
        {"exit 3", 5, 3},
        {"exit 3", 0, 3},
        {"kill -KILL $$", 5, -137},
        {"kill -KILL $$", 0, -137},
        {"sleep 1; exit 4", 0, 4},   // no limit: the command is waited for
        {"sleep 1; exit 4", -1, 4},
        {"qlm_no_such_command_anywhere 2>/dev/null", 5, 127},
    };
    for (const Case& c : cases) {
        int status = 12345;
        EXPECT_EQ(Execute_Command_Line_Timeout(status, c.timeout, "%s", c.cmd), 0) << c.cmd;
        EXPECT_EQ(status, c.status) << c.cmd << " timeout " << c.timeout;
        EXPECT_EQ(g_current_pgid, 0);
    }
}

TEST_F(CommandRunner, TimeOutEndsTheWholeGroup) {
    const char* cmds[] = {
        "echo $$ > %s; sleep 100 & sleep 100",
        "trap '' TERM; echo $$ > %s; sleep 100",  // deaf to SIGTERM: only SIGKILL ends it
        // The shell ends on SIGTERM, a member deaf to it outlives the shell: the group still goes.
        "echo $$ > %s; (trap '' TERM; sleep 100) & sleep 100",
    };
    for (const char* cmd : cmds) {
        int status = 0;
        EXPECT_EQ(Execute_Command_Line_Timeout(status, 1, cmd, (s / "pg").c_str()), -110) << cmd;
        EXPECT_EQ(status, -1);
        EXPECT_EQ(g_current_pgid, 0);
        pid_t pg = Read_Pid("pg");
        ASSERT_GT(pg, 1);
        EXPECT_TRUE(Group_Gone(pg)) << cmd;
    }
}

TEST_F(CommandRunner, TimeOutEndsTheGroupOfAToolStartedWithoutAShell) {
    const std::string tool = Tool();
    for (const char* mode : {"hang", "deaf"}) {
        int status = 0;
        EXPECT_EQ(Execute_Command_Line_Timeout(status, 1, "%s %s %s 2>/dev/null", tool.c_str(), mode,
                                               qlm::ShellQuote(s / "pg").c_str()),
                  -110)
            << mode;
        EXPECT_EQ(status, -1);
        EXPECT_EQ(g_current_pgid, 0);
        pid_t pg = Read_Pid("pg");  // the tool itself leads the group
        ASSERT_GT(pg, 1);
        EXPECT_NE(pg, getpgrp());
        EXPECT_TRUE(Group_Gone(pg)) << mode;
    }
}

TEST_F(CommandRunner, BackgroundChildIsNotWaitedFor) {
    int status = -5;
    // Waiting for the background sleep would run into the time-out and give -110.
    EXPECT_EQ(Execute_Command_Line_Timeout(status, 5, "sleep 100 >/dev/null 2>&1 & echo $! > %s",
                                           (s / "bg").c_str()),
              0);
    EXPECT_EQ(status, 0);
    pid_t bg = Read_Pid("bg");
    ASSERT_GT(bg, 1);
    EXPECT_EQ(kill(bg, 0), 0);  // still running after the call returned
    kill(bg, SIGKILL);
    waitpid(bg, nullptr, 0);
}

TEST_F(CommandRunner, ToolStartsWithDefaultSignalsAndEmptyInput) {
    // The caller's state that must not reach a tool: ignored and blocked signals, its own input.
    struct sigaction ign {}, oldPipe, oldTerm;
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &oldPipe);
    sigaction(SIGTERM, &ign, &oldTerm);
    sigset_t block, oldMask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &oldMask);
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(write(in[1], "leak", 4), 4);
    int savedIn = dup(STDIN_FILENO);
    dup2(in[0], STDIN_FILENO);

    int status = -5;
    int r = Execute_Command_Line_Timeout(status, 5, "grep -E '^Sig(Blk|Ign)' /proc/self/status > %s; cat > %s",
                                         (s / "sig").c_str(), (s / "in").c_str());
    int directStatus = -5;  // the same, started without a shell
    int direct = Execute_Command_Line_Timeout(directStatus, 5, "%s state >%s 2>/dev/null", Tool().c_str(),
                                              qlm::ShellQuote(s / "direct").c_str());

    dup2(savedIn, STDIN_FILENO);
    close(savedIn);
    close(in[0]);
    close(in[1]);
    sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);

    EXPECT_EQ(r, 0);  // a tool reading the caller's open pipe would hang into the time-out
    EXPECT_EQ(status, 0);
    EXPECT_EQ(plattest::Read_File(s / "sig"), "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
    EXPECT_EQ(plattest::Read_File(s / "in"), "");
    EXPECT_EQ(direct, 0);
    EXPECT_EQ(directStatus, 0);
    EXPECT_EQ(plattest::Read_File(s / "direct"), "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST_F(CommandRunner, ToolGetsExactlyTheQuotedArgumentsWithoutAShell) {
    const std::string tool = Tool();
    const char* texts[] = {"plain", "a b", "it's", "'", "", "$(touch pwned)", "`id`", "*", "~", "#x", "a;b|c&d",
                           "\n", "> x", "2>&1", "%s %n", "\"", "\\", "Résumé 🍕.pdf"};
    for (const char* text : texts) {
        const std::string line = tool + " args " + qlm::ShellQuote(text) + " x" + qlm::ShellQuote(text) + "y >" +
                                 qlm::ShellQuote(s / "out") + " 2>" + qlm::ShellQuote(s / "err");
        int status = -5;
        ASSERT_EQ(Execute_Command_Line_Timeout(status, 10, "%s", line.c_str()), 0) << text;
        EXPECT_EQ(status, 0) << text;
        // Our own pid as the tool's parent: no shell stood between.
        const std::string want = std::to_string(getpid()) + '\0' + "args" + '\0' + text + '\0' + "x" + text + "y" + '\0';
        EXPECT_EQ(plattest::Read_File(s / "out"), want) << text;
        EXPECT_EQ(plattest::Read_File(s / "err"), "err\n") << text;
    }
    struct stat st;
    EXPECT_NE(stat("pwned", &st), 0);
}

TEST_F(CommandRunner, ToolLineStaysInTheCallersGroupAndTheTimedOneLeadsItsOwn) {
    const std::string tool = Tool(), out = qlm::ShellQuote(s / "out");
    int status = -5;
    ASSERT_EQ(Execute_Tool_Line(status, "%s group >%s 2>/dev/null", tool.c_str(), out.c_str()), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(plattest::Read_File(s / "out"), std::to_string(getpid()) + " " + std::to_string(getpgrp()) + "\n");
    EXPECT_EQ(g_current_pgid, 0);  // nothing for a worker's SIGTERM handler to end but the worker's own group

    status = -5;
    ASSERT_EQ(Execute_Command_Line_Timeout(status, 10, "%s group >%s 2>/dev/null", tool.c_str(), out.c_str()), 0);
    EXPECT_EQ(status, 0);
    const std::string seen = plattest::Read_File(s / "out");
    ASSERT_EQ(seen.rfind(std::to_string(getpid()) + " ", 0), 0u) << seen;
    EXPECT_NE(std::stol(seen.substr(seen.find(' ') + 1)), static_cast<long>(getpgrp())) << seen;
}

TEST_F(CommandRunner, ReportsWhatTheShellWouldHaveReported) {
    // Each line through both runners and through the platform's runner, which always runs /bin/sh:
    // the same status and the same files, whether the runner started the line itself or not.
    const std::string tool = Tool(), dir = s.path(), quotedDir = qlm::ShellQuote(dir);
    plattest::Write_File(s / "plain", "exit 5\n");  // no "#!" line: the shell runs it as a script
    chmod((s / "plain").c_str(), 0700);
    plattest::Write_File(s / "unrunnable", "#!/bin/sh\nexit 0\n");
    chmod((s / "unrunnable").c_str(), 0600);
    const std::string lines[] = {
        tool + " exit0 >" + quotedDir + "/o 2>" + quotedDir + "/e",
        tool + " exit3 >" + quotedDir + "/o 2>" + quotedDir + "/e",
        tool + " exit60 2>" + quotedDir + "/e",
        // 128 + 9, as the shell says (which also writes its own notice of the signal on standard error)
        tool + " kill >" + quotedDir + "/o 2>/dev/null",
        tool + " exit0 >" + quotedDir + "/o 2>&1",                                // both into one file
        tool + " exit0 2>&1 >" + quotedDir + "/o",  // only the output goes to the file
        tool + " exit0 >>" + quotedDir + "/keep 2>>" + quotedDir + "/keep",       // appended to what is there
        quotedDir + "/missing x >" + quotedDir + "/o 2>" + quotedDir + "/e",     // 127
        quotedDir + "/unrunnable >" + quotedDir + "/o 2>" + quotedDir + "/e",    // 126
        quotedDir + "/plain >" + quotedDir + "/o 2>" + quotedDir + "/e",         // 5
        tool + " exit0 >" + quotedDir + "/no/such/folder 2>" + quotedDir + "/e",  // the shell's own failure
        "exit 7",
    };
    auto files = [&] {
        std::string all;
        for (const char* f : {"o", "e", "keep"})
            all += std::string(f) + "=" + (access((s / f).c_str(), F_OK) == 0 ? plattest::Read_File(s / f) : "-") + ";";
        return all;
    };
    for (const std::string& line : lines) {
        auto fresh = [&] {
            unlink((s / "o").c_str());
            unlink((s / "e").c_str());
            plattest::Write_File(s / "keep", "before\n");
        };
        fresh();
        int shellStatus = -5;
        ASSERT_EQ(Execute_Command_Line(shellStatus, "%s", line.c_str()), 0) << line;
        const std::string shellFiles = files();
        fresh();
        int status = -5;
        ASSERT_EQ(Execute_Command_Line_Timeout(status, 10, "%s", line.c_str()), 0) << line;
        EXPECT_EQ(status, shellStatus) << line;
        EXPECT_EQ(files(), shellFiles) << line;
        fresh();
        status = -5;
        ASSERT_EQ(Execute_Tool_Line(status, "%s", line.c_str()), 0) << line;
        EXPECT_EQ(status, shellStatus) << line;
        EXPECT_EQ(files(), shellFiles) << line;
    }
}

TEST_F(CommandRunner, LineWithPercentPassedThroughSArrivesIntact) {
    std::string line = "printf '%s' '100% %d %s %n' > " + (s / "out");
    int status = -5;
    ASSERT_EQ(Execute_Command_Line_Timeout(status, 5, "%s", line.c_str()), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(plattest::Read_File(s / "out"), "100% %d %s %n");
}

TEST_F(CommandRunner, WorkerSigtermEndsTheRunningCommandsGroup) {
    std::string pgFile = s / "pg";
    pid_t worker = fork();
    ASSERT_GE(worker, 0);
    if (worker == 0) {
        Install_Worker_Sigterm_Handler();
        int status = 0;
        Execute_Command_Line_Timeout(status, 0, "echo $$ > %s.t && mv %s.t %s; sleep 100 & sleep 100", pgFile.c_str(),
                                     pgFile.c_str(), pgFile.c_str());
        _exit(3);  // the command ended by itself: not what this test expects
    }
    ASSERT_TRUE(Wait_For_File("pg"));
    pid_t pg = Read_Pid("pg");
    ASSERT_GT(pg, 1);
    ASSERT_EQ(kill(worker, SIGTERM), 0);
    int st = 0;
    ASSERT_EQ(waitpid(worker, &st, 0), worker);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_TRUE(Group_Gone(pg));
}

TEST(ConnectionError, FindsTheExactTextOnAnyLine) {
    plattest::TempDir s;
    struct Case {
        const char* content;
        bool expected;
    } cases[] = {
        {"Got 10 Messages\nretrying\nWARNING ERROR: Connection error (timed out) now\nbye\n", true},
        {"ERROR: Connection error", true},  // last line without newline
        {"error: connection error\nERROR: CONNECTION ERROR\n", false},
        {"ERROR: Connection\n error\n", false},  // split over two lines
        {"ERROR: Connection refused\n", false},
        {"", false},
        // GAM's end after its retries when the network is gone (status 5).
        {"ERROR: Unable to find the server at www.googleapis.com\n", true},
        {"Getting all Drive Files\nERROR: Unable to find the server at oauth2.googleapis.com", true},
        // It names the first API it reaches for: the Directory API for `user ...`, the Calendar API.
        {"ERROR: Unable to find the server at admin.googleapis.com\n", true},
        {"ERROR: Unable to find the server at calendar-json.googleapis.com\n", true},
        {"ERROR: Unable to find the file\n", false},
        {"error: unable to find the server at www.googleapis.com\n", false},
    };
    for (const Case& c : cases) {
        plattest::Write_File(s / "err", c.content);
        EXPECT_EQ(IsConnectionError(s / "err"), c.expected) << c.content;
    }
    // Either text across the border of a read block, in a long error file.
    for (const char* text : {"ERROR: Connection error", "ERROR: Unable to find the server at admin.googleapis.com"})
        for (size_t pad : {8180, 8190, 8200, 3 * 8192 - 10}) {
            plattest::Write_File(s / "err", std::string(pad, 'x') + "\n" + text + "\n");
            EXPECT_TRUE(IsConnectionError(s / "err")) << text << " after " << pad;
        }
    EXPECT_FALSE(IsConnectionError(s / "missing"));
    EXPECT_FALSE(IsConnectionError(s.path()));  // a folder cannot be read as a file
}

TEST(Debug, PrintsOneFlushedLineOnlyWhenOn) {
    plattest::TempDir s;
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int fd = open((s / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    dup2(fd, STDOUT_FILENO);
    DBG(false, "hidden %d", 1);
    DBG(true, "n=%d %s", 5, "x");
    std::string written = plattest::Read_File(s / "out");  // read before any flush of ours: DBG flushes itself
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    EXPECT_EQ(written, "[pid=" + std::to_string(getpid()) + "] n=5 x\n");
}

}  // namespace
