// The shared progress record seen across processes, and the handle's behaviour on objects that
// are missing, too small, stale or filled by someone who forgot the zero bytes.
#include "progress_shm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class ProgressShm : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        name_ = "/qlm_test_progress_" + std::to_string(getpid()) + "_" + std::to_string(rd());
    }
    void TearDown() override { shm_unlink(name_.c_str()); }

    bool Exists() const {
        int fd = shm_open(name_.c_str(), O_RDONLY, 0);
        if (fd < 0) return false;
        close(fd);
        return true;
    }
    // An object of the given size made behind the handle's back, its bytes all `fill`.
    void Make_Raw(off_t size, char fill) {
        int fd = shm_open(name_.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        if (size > 0) {
            std::string bytes(static_cast<size_t>(size), fill);
            ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        }
        close(fd);
    }

    std::string name_;
};

TEST_F(ProgressShm, ReaderOfAMissingObjectIsNotOpenAndHarmless) {
    SharedProgress r(name_.c_str(), false);
    EXPECT_FALSE(r.Is_Open());
    EXPECT_EQ(r.GetProgress(), 0);
    EXPECT_EQ(r.GetTotal(), 0);
    EXPECT_EQ(r.GetMissionName(), "");
    r.SetCurrent(5);  // no mapping: nothing happens
    r.AddProgress(1);
    EXPECT_FALSE(Exists());
}

TEST_F(ProgressShm, ReaderSeesWhatAWorkerProcessWrites) {
    int toParent[2], toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char c = 0;
        {
            SharedProgress w(name_.c_str(), true);
            w.SetCurrent(0);
            w.SetMissionName("Task20240710-1");
            w.SetDomain("admin@example.com");
            w.SetService("drive");
            w.SetMode("export");
            w.SetStartTime(1720569600);
            w.SetTotal(10);
            w.AddProgress(1);
            w.AddProgress(1);
            if (write(toParent[1], "r", 1) != 1) _exit(1);
            if (read(toChild[0], &c, 1) != 1) _exit(1);
            w.Cleanup(true);
        }
        _exit(0);
    }
    close(toParent[1]);
    close(toChild[0]);
    char c = 0;
    ASSERT_EQ(read(toParent[0], &c, 1), 1);
    {
        SharedProgress r(name_.c_str(), false);
        ASSERT_TRUE(r.Is_Open());
        EXPECT_EQ(r.GetProgress(), 2);
        EXPECT_EQ(r.GetTotal(), 10);
        EXPECT_EQ(r.GetStartTime(), 1720569600);
        EXPECT_EQ(r.GetMissionName(), "Task20240710-1");
        EXPECT_EQ(r.GetDomain(), "admin@example.com");
        EXPECT_EQ(r.GetService(), "drive");
        EXPECT_EQ(r.GetMode(), "export");
        r.SetCurrent(99);  // a reader never writes
        EXPECT_EQ(r.GetProgress(), 2);
    }
    ASSERT_EQ(write(toChild[1], "g", 1), 1);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    close(toParent[0]);
    close(toChild[1]);
    EXPECT_FALSE(Exists());  // the worker's Cleanup(true) removed it
    SharedProgress after(name_.c_str(), false);
    EXPECT_FALSE(after.Is_Open());
}

TEST_F(ProgressShm, TextsKeepAtMost255Bytes) {
    using Set = void (SharedProgress::*)(std::string_view);
    using Get = std::string (SharedProgress::*)() const;
    struct Field {
        Set set;
        Get get;
    } fields[] = {{&SharedProgress::SetMissionName, &SharedProgress::GetMissionName},
                  {&SharedProgress::SetDomain, &SharedProgress::GetDomain},
                  {&SharedProgress::SetService, &SharedProgress::GetService},
                  {&SharedProgress::SetMode, &SharedProgress::GetMode}};
    struct Case {
        size_t len;
        size_t kept;
    } cases[] = {{0, 0}, {1, 1}, {255, 255}, {256, 255}, {300, 255}};
    SharedProgress w(name_.c_str(), true);
    ASSERT_TRUE(w.Is_Open());
    for (const Field& f : fields) {
        for (const Case& c : cases) {
            std::string text(c.len, 'm');
            if (c.len > 0) text[0] = 'A';
            (w.*f.set)(std::string(400, 'z'));  // a longer old value must not show through
            (w.*f.set)(text);
            SharedProgress r(name_.c_str(), false);
            EXPECT_EQ((r.*f.get)(), text.substr(0, c.kept)) << "length " << c.len;
        }
    }
}

TEST_F(ProgressShm, CleanupWithoutUnlinkLeavesTheRecordForReaders) {
    {
        SharedProgress w(name_.c_str(), true);
        w.SetTotal(4);
        w.AddProgress(3);
        w.Cleanup(false);
        EXPECT_FALSE(w.Is_Open());
        w.AddProgress(1);  // unmapped: nothing happens
    }
    ASSERT_TRUE(Exists());  // the destructor after Cleanup(false) did not remove it
    SharedProgress r(name_.c_str(), false);
    ASSERT_TRUE(r.Is_Open());
    EXPECT_EQ(r.GetProgress(), 3);
    EXPECT_EQ(r.GetTotal(), 4);
}

TEST_F(ProgressShm, DestroyedCreatorRemovesTheNameAndReadersNever) {
    {
        SharedProgress w(name_.c_str(), true);
        { SharedProgress r(name_.c_str(), false); }
        EXPECT_TRUE(Exists());
    }
    EXPECT_FALSE(Exists());
}

TEST_F(ProgressShm, ObjectSmallerThanTheRecordCountsAsNotRunning) {
    for (off_t size : {off_t(0), off_t(100), off_t(1035)}) {
        Make_Raw(size, '\0');
        SharedProgress r(name_.c_str(), false);  // must not map it: reading would raise SIGBUS
        EXPECT_FALSE(r.Is_Open()) << size;
        EXPECT_EQ(r.GetProgress(), 0);
        EXPECT_EQ(r.GetMode(), "");
        shm_unlink(name_.c_str());
    }
}

TEST_F(ProgressShm, TextsWithoutZeroByteStopAtTheirField) {
    Make_Raw(1036, 'x');
    SharedProgress r(name_.c_str(), false);
    ASSERT_TRUE(r.Is_Open());
    EXPECT_EQ(r.GetMissionName(), std::string(256, 'x'));
    EXPECT_EQ(r.GetMode(), std::string(256, 'x'));
}

TEST_F(ProgressShm, CreatorReusesAStaleObjectResettingTheCounts) {
    Make_Raw(1036, '\x07');
    SharedProgress w(name_.c_str(), true);
    ASSERT_TRUE(w.Is_Open());
    EXPECT_EQ(w.GetProgress(), 0);
    EXPECT_EQ(w.GetTotal(), 0);
    EXPECT_EQ(w.GetStartTime(), 0x07070707);  // left as the object held it
}

TEST_F(ProgressShm, ObjectIsPrivateToItsOwner) {
    SharedProgress w(name_.c_str(), true);
    ASSERT_TRUE(w.Is_Open());
    int fd = shm_open(name_.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    close(fd);
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_EQ(st.st_size, 1036);
}

}  // namespace
