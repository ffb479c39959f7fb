// The test-only time knobs count only under a test root, and only when they are whole numbers.
#include "common/clock.h"
#include "../platform_testdir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr time_t kLongAgo = 1000000000;  // 2001: any real clock reads later

// Runs fn in a child and tells whether it finished; a child still running after a minute (a sleep
// that was not shortened) is killed. The bound only stops a broken run from hanging the suite.
bool Finishes(const std::function<void()>& fn) {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        fn();
        _exit(0);
    }
    for (int i = 0; i < 600; ++i) {
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) && WEXITSTATUS(st) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

TEST(Clock, KnobsCountOnlyUnderATestRootAndAsWholeNumbers) {
    plattest::TempDir root;
    struct Case {
        bool underRoot;
        const char* value;
        bool clockFixed;
        bool timeoutSet;
    } cases[] = {
        {true, "42", true, true},
        {false, "42", false, false},
        {true, "42x", false, false},
        {true, " 42", false, false},
        {true, "", false, false},
        {true, "0", true, false},  // any instant is a clock; 0 s is no time-out
        {true, "-5", true, false},
        {true, "99999999999999999999", false, false},
    };
    for (const Case& c : cases) {
        plattest::ScopedEnv r("QLM_ROOT", c.underRoot ? root.path() : "");
        plattest::ScopedEnv f("QLM_FIXED_TIME", c.value);
        plattest::ScopedEnv t("QLM_TOOL_TIMEOUT", c.value);
        const std::string what = std::string("'") + c.value + "' root " + (c.underRoot ? "yes" : "no");
        EXPECT_EQ(qlm::Tool_Timeout_Sec(600), c.timeoutSet ? std::stoi(c.value) : 600) << what;
        if (c.clockFixed) {
            EXPECT_EQ(qlm::Now(), std::stoll(c.value)) << what;
        } else {
            EXPECT_GT(qlm::Now(), kLongAgo) << what;
        }
    }
}

TEST(Clock, OffsetShiftsTheRunningClockOnlyUnderATestRoot) {
    plattest::TempDir root;
    constexpr time_t kDay = 86400;
    auto shift = [] { return qlm::Now() - time(nullptr); };  // the same second but at a tick
    {
        plattest::ScopedEnv r("QLM_ROOT", root.path());
        plattest::ScopedEnv o("QLM_TIME_OFFSET", "-86400");
        EXPECT_NEAR(static_cast<double>(shift()), -kDay, 1);
        plattest::ScopedEnv bad("QLM_TIME_OFFSET", "86400s");
        EXPECT_NEAR(static_cast<double>(shift()), 0, 1);
        plattest::ScopedEnv huge("QLM_TIME_OFFSET", "9000000000000000000");
        EXPECT_NEAR(static_cast<double>(shift()), 0, 1);
        plattest::ScopedEnv o2("QLM_TIME_OFFSET", "86400");
        plattest::ScopedEnv f("QLM_FIXED_TIME", "42");
        EXPECT_EQ(qlm::Now(), 42);  // the fixed instant wins
    }
    plattest::ScopedEnv r("QLM_ROOT", "");
    plattest::ScopedEnv o("QLM_TIME_OFFSET", "86400");
    EXPECT_NEAR(static_cast<double>(shift()), 0, 1);
}

TEST(Clock, SleepScaleShortensDeliberatePauses) {
    plattest::TempDir root;
    plattest::ScopedEnv r("QLM_ROOT", root.path());
    plattest::ScopedEnv k("QLM_SLEEP_SCALE", "0.0001");
    EXPECT_TRUE(Finishes([] { qlm::Sleep_Seconds(10000); }));  // 1 s when scaled
    plattest::ScopedEnv z("QLM_SLEEP_SCALE", "0");
    EXPECT_TRUE(Finishes([] { qlm::Sleep_Seconds(100000); }));
}

TEST(Clock, SleepEndsOnASignal) {
    EXPECT_TRUE(Finishes([] {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigaction(SIGALRM, &sa, nullptr);
        alarm(1);
        qlm::Sleep_Seconds(100000);
    }));
}

}  // namespace
