// Scope guards: each releases its resource once at scope end, and a lock guard that runs in the
// parent after fork() leaves the child's lock in place.
#include "common/guards.h"
#include "../platform_testdir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "plat_lock.h"

namespace fs = std::filesystem;

namespace {

// Whether a fresh holder could take the lock right now (then gives it back).
bool Lock_Free(const std::string& path) {
    int fd = -1;
    int r = Get_File_Lock(path.c_str(), 0, fd);
    if (r == 0) Release_File_Lock(fd);
    return r == 0;
}

TEST(Guards, LockGuardReleasesOnceAndMarksTheDescriptor) {
    plattest::TempDir t;
    std::string lck = t / "task.lck";
    int fd = -1;
    {
        ASSERT_EQ(Get_File_Lock(lck.c_str(), 0, fd), 0);
        LockGuard lock(&fd);
        EXPECT_FALSE(Lock_Free(lck));
    }
    EXPECT_EQ(fd, -1);
    EXPECT_TRUE(Lock_Free(lck));
    { LockGuard none(&fd); }  // not held: nothing to release
    { LockGuard null(nullptr); }
    EXPECT_EQ(fd, -1);
}

TEST(Guards, LockGuardInTheParentLeavesTheChildsLock) {
    plattest::TempDir t;
    std::string lck = t / "run.lck";
    int toChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    pid_t pid;
    {
        int fd = -1;
        ASSERT_EQ(Get_File_Lock(lck.c_str(), 0, fd), 0);
        LockGuard lock(&fd);
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            char c;
            if (read(toChild[0], &c, 1) != 1) _exit(1);
            _exit(0);  // leaves without running the inherited guard
        }
    }  // the parent's guard closes its copy here
    EXPECT_FALSE(Lock_Free(lck));  // the child still holds it
    ASSERT_EQ(write(toChild[1], "x", 1), 1);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_TRUE(Lock_Free(lck));
    close(toChild[0]);
    close(toChild[1]);
}

TEST(Guards, DirGuardRemovesTheWholeTreeButNothingItLinksTo) {
    plattest::TempDir t;
    std::string gam = t / "gam";
    std::string outside = t / "keep";
    fs::create_directories(gam + "/sub/deeper");
    fs::create_directories(outside);
    plattest::Write_File(gam + "/oauth2service.json", "{}");
    plattest::Write_File(gam + "/sub/deeper/x", "x");
    plattest::Write_File(outside + "/precious", "p");
    fs::create_directory_symlink(outside, gam + "/sub/link");
    { DirGuard g = Guard_Dir(gam); }
    EXPECT_FALSE(fs::exists(gam));
    EXPECT_TRUE(fs::exists(outside + "/precious"));

    fs::create_directories(gam);
    {
        DirGuard g = Guard_Dir(gam);
        Disarm(g);  // the parent's move after handing the folder to a child
        EXPECT_EQ(g.get(), nullptr);
    }
    EXPECT_TRUE(fs::exists(gam));
    { DirGuard null; }
}

TEST(Guards, UnlinkGuardDeletesTheFileOrTheLinkItself) {
    plattest::TempDir t;
    std::string target = t / "target";
    plattest::Write_File(target, "t");
    struct Case {
        std::string path;
        bool isLink;
    } cases[] = {{t / "key.json", false}, {t / "link", true}};
    for (const Case& c : cases) {
        if (c.isLink)
            fs::create_symlink(target, c.path);
        else
            plattest::Write_File(c.path, "secret");
        { UnlinkGuard g = Guard_File(c.path); }
        EXPECT_FALSE(fs::exists(fs::symlink_status(c.path))) << c.path;
    }
    EXPECT_TRUE(fs::exists(target));
    {
        UnlinkGuard g = Guard_File(target);
        Disarm(g);
    }
    EXPECT_TRUE(fs::exists(target));
    { UnlinkGuard missing = Guard_File(t / "never-made"); }  // nothing to delete: no harm
}

}  // namespace
