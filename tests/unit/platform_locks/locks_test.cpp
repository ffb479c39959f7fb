// Lock files: exclusive between processes, kept by a forked child, never passed to exec'd programs.
#include "plat_lock.h"

#include "../platform_testdir.h"

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using plattest::TempDir;

// A forked child running body; killed and reaped at scope end if the test did not wait for it.
class Child {
public:
    explicit Child(const std::function<int()>& body) {
        pid_ = fork();
        if (pid_ == 0) _exit(body());
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return pid_; }
    // Exit code of the child, or -1 when it did not exit normally.
    int Wait() {
        int st = 0;
        pid_t p = pid_;
        pid_ = -1;
        if (waitpid(p, &st, 0) != p) return -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

private:
    pid_t pid_ = -1;
};

// One direction of parent-child signalling: Send writes a byte, Close ends the stream.
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe2(fd, O_CLOEXEC), 0); }
    ~Pipe() {
        CloseRead();
        CloseWrite();
    }
    void CloseRead() {
        if (fd[0] >= 0) close(fd[0]), fd[0] = -1;
    }
    void CloseWrite() {
        if (fd[1] >= 0) close(fd[1]), fd[1] = -1;
    }
    void Send() { EXPECT_EQ(write(fd[1], "x", 1), 1); }
    // true when a byte came, false at the end of the stream.
    bool Receive() {
        char c;
        ssize_t n;
        while ((n = read(fd[0], &c, 1)) < 0 && errno == EINTR) {
        }
        return n == 1;
    }
};

// 0 when the lock on path is free for one more taker (and gives it back), else the taker's result.
int Try_Once(const std::string& path) {
    int fd = -1;
    int rc = Get_File_Lock(path.c_str(), 0, fd);
    if (rc == 0) Release_File_Lock(fd);
    return rc;
}

class FileLock : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir / "task.total_lck";
};

TEST_F(FileLock, HeldLockRefusesAnotherProcessUntilReleased) {
    int fd = -1;
    ASSERT_EQ(Get_File_Lock(path.c_str(), 0, fd), 0);
    ASSERT_GE(fd, 0);

    Child busy([&] {
        int theirs = 123;
        int once = Get_File_Lock(path.c_str(), 0, theirs);
        if (once != -EWOULDBLOCK || theirs != -1) return 1;  // a failed take leaves no handle to release
        int waited = Get_File_Lock(path.c_str(), 120, theirs);
        return waited == -EWOULDBLOCK && theirs == -1 ? 0 : 2;
    });
    EXPECT_EQ(busy.Wait(), 0);

    EXPECT_EQ(Release_File_Lock(fd), 0);
    Child free([&] { return Try_Once(path) == 0 ? 0 : 1; });
    EXPECT_EQ(free.Wait(), 0);
}

TEST_F(FileLock, WaitingTakerGetsLockOnceHolderReleases) {
    Pipe held, go;
    Child holder([&] {
        int fd = -1;
        if (Get_File_Lock(path.c_str(), 0, fd) != 0) return 1;
        held.Send();
        go.CloseWrite();
        go.Receive();
        usleep(150 * 1000);  // let the parent's wait begin with the lock still held
        if (Release_File_Lock(fd) != 0) return 2;
        go.Receive();  // stays alive, so only the release can have freed the lock
        return 0;
    });
    held.CloseWrite();
    ASSERT_TRUE(held.Receive());
    ASSERT_EQ(Try_Once(path), -EWOULDBLOCK);

    go.Send();
    int fd = -1;
    EXPECT_EQ(Get_File_Lock(path.c_str(), 30000, fd), 0);
    EXPECT_GE(fd, 0);
    go.CloseWrite();
    EXPECT_EQ(holder.Wait(), 0);
    Release_File_Lock(fd);
}

TEST_F(FileLock, LockTakenBeforeForkStaysWithChildAfterParentCloses) {
    int fd = -1;
    ASSERT_EQ(Get_File_Lock(path.c_str(), 0, fd), 0);
    Pipe done;
    Child worker([&] {
        done.CloseWrite();
        done.Receive();  // holds the inherited lock until the parent says so
        return 0;
    });
    done.CloseRead();

    ASSERT_EQ(Release_File_Lock(fd), 0);  // the parent's scope guard after the fork
    EXPECT_EQ(Try_Once(path), -EWOULDBLOCK);

    done.CloseWrite();
    EXPECT_EQ(worker.Wait(), 0);
    EXPECT_EQ(Try_Once(path), 0);
}

TEST_F(FileLock, ExecutedProgramDoesNotKeepLock) {
    int fd = -1;
    ASSERT_EQ(Get_File_Lock(path.c_str(), 0, fd), 0);
    Pipe execed;  // close-on-exec: its end of stream tells that the exec happened
    Child tool([&] {
        execl("/bin/sleep", "sleep", "600", static_cast<char*>(nullptr));
        return 127;
    });
    execed.CloseWrite();
    ASSERT_FALSE(execed.Receive());

    ASSERT_EQ(Release_File_Lock(fd), 0);
    EXPECT_EQ(Try_Once(path), 0) << "a program started while the lock was held still holds it";
    EXPECT_EQ(kill(tool.pid(), 0), 0) << "the program should still be running";
}

TEST_F(FileLock, BareNameIsOneLockUnderRoot) {
    plattest::ScopedEnv root("QLM_ROOT", dir.path());
    int fd = -1;
    ASSERT_EQ(Get_File_Lock("gws_conf_lock", 0, fd), 0);
    struct stat st;
    EXPECT_EQ(stat((dir / "run/lock/nasplat/gws_conf_lock.lck").c_str(), &st), 0);

    int again = -1;
    EXPECT_EQ(Get_File_Lock("gws_conf_lock", 0, again), -EWOULDBLOCK);
    int other = -1;
    EXPECT_EQ(Get_File_Lock("other_lock", 0, other), 0);
    Release_File_Lock(other);

    Release_File_Lock(fd);
    EXPECT_EQ(Get_File_Lock("gws_conf_lock", 0, again), 0);
    Release_File_Lock(again);
}

TEST_F(FileLock, CreatesMissingFoldersAndKeepsExistingContent) {
    std::string nested = dir / "backup/gmail/task/user@example.com.gmail_lck";
    EXPECT_EQ(Try_Once(nested), 0);
    struct stat st;
    ASSERT_EQ(stat(nested.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));

    // A result file that is its own lock keeps what it holds.
    std::string result = dir / "gmail_count_result";
    plattest::Write_File(result, "{\"count\": 12}\n");
    EXPECT_EQ(Try_Once(result), 0);
    EXPECT_EQ(plattest::Read_File(result), "{\"count\": 12}\n");
}

TEST_F(FileLock, RefusesLinkAsLockFile) {
    std::string target = dir / "elsewhere";
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    int fd = 7;
    EXPECT_LT(Get_File_Lock(path.c_str(), 0, fd), 0);
    EXPECT_EQ(fd, -1);
    EXPECT_NE(access(target.c_str(), F_OK), 0) << "the link's target was created";
}

struct PathCase {
    const char* text;  // a text with "/" is taken below the test folder; nullptr is no text at all
    int expected;
};
void PrintTo(const PathCase& c, std::ostream* os) { *os << (c.text ? c.text : "(null)"); }

class LockPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(LockPath, DotDotComponentsAreRefused) {
    TempDir dir;
    plattest::ScopedEnv root("QLM_ROOT", dir.path());
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0700), 0);
    const PathCase& c = GetParam();
    std::string text = c.text ? c.text : "";
    if (text.find('/') != std::string::npos) text = dir / text;

    int fd = 5;
    int rc = Get_File_Lock(c.text ? text.c_str() : nullptr, 0, fd);
    EXPECT_EQ(rc, c.expected) << (c.text ? c.text : "(null)");
    if (rc == 0)
        Release_File_Lock(fd);
    else
        EXPECT_EQ(fd, -1);
}

INSTANTIATE_TEST_SUITE_P(Paths, LockPath,
                         ::testing::Values(PathCase{"sub/../escape.lck", -EINVAL}, PathCase{"sub/..", -EINVAL},
                                           PathCase{"..", -EINVAL}, PathCase{"sub/a/../../b.lck", -EINVAL},
                                           PathCase{"", -EINVAL}, PathCase{nullptr, -EINVAL},
                                           PathCase{"sub/..hidden.lck", 0}, PathCase{"sub/a..b.lck", 0},
                                           PathCase{"sub/./same.lck", 0}, PathCase{"name..with..dots", 0}));

}  // namespace
