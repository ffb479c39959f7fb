// Whole-file writes: content and mode, no temporary left anywhere on success or failure, the
// fallback across file systems, and a reader in another process never seeing half a file.
#include "common/atomicfile.h"
#include "common/paths.h"
#include "../platform_testdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <json-c/json.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Names_In(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

class AtomicFile : public ::testing::Test {
protected:
    AtomicFile() : env_("QLM_ROOT", root.path()) { fs::create_directories(listed); }

    plattest::TempDir root;
    plattest::ScopedEnv env_;
    std::string listed = root / "listed";
};

TEST_F(AtomicFile, WritesWholeWithModeAndLeavesNoTemporary) {
    ASSERT_FALSE(fs::exists(qlm::Db_Tmp_Dir()));  // made on first use
    struct Case {
        std::string data;
        mode_t mode;
    } cases[] = {{"first", 0600}, {std::string(300000, 'b'), 0644}, {"", 0600}, {std::string("a\0b", 3), 0640}};
    std::string target = listed + "/record";
    for (const Case& c : cases) {
        ASSERT_EQ(qlm::Write_File_Atomic(target, c.data, c.mode), 0);
        EXPECT_EQ(plattest::Read_File(target), c.data);
        struct stat st;
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        EXPECT_EQ(Names_In(listed), std::vector<std::string>{"record"});
        EXPECT_TRUE(Names_In(qlm::Db_Tmp_Dir()).empty());
    }
}

TEST_F(AtomicFile, ReplaceWritesOnlyOverAFileThatStillExists) {
    const std::string target = listed + "/record";
    // Gone (a record deleted meanwhile): nothing is made, and no temporary is left.
    EXPECT_EQ(qlm::Replace_File_Atomic(target, "patched"), -ENOENT);
    EXPECT_TRUE(Names_In(listed).empty());
    EXPECT_TRUE(Names_In(qlm::Db_Tmp_Dir()).empty());

    plattest::Write_File(target, "old");
    ASSERT_EQ(qlm::Replace_File_Atomic(target, "patched", 0640), 0);
    EXPECT_EQ(plattest::Read_File(target), "patched");
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Names_In(listed), std::vector<std::string>{"record"});
    EXPECT_TRUE(Names_In(qlm::Db_Tmp_Dir()).empty());  // the old content went with the exchanged name
}

TEST_F(AtomicFile, FailureLeavesTargetAndFoldersAsTheyWere) {
    std::string target = listed + "/record";
    plattest::Write_File(target, "old");
    fs::create_directories(listed + "/a_folder");
    struct Case {
        std::string path;
        int err;
    } cases[] = {
        {root / "missing/record", -ENOENT},
        {listed + "/a_folder", -EISDIR},
        {target + "/below_a_file", -ENOTDIR},
        {"", -EINVAL},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qlm::Write_File_Atomic(c.path, "new"), c.err) << c.path;
        EXPECT_EQ(Names_In(listed), (std::vector<std::string>{"a_folder", "record"}));
        EXPECT_TRUE(Names_In(qlm::Db_Tmp_Dir()).empty()) << c.path;
    }
    EXPECT_EQ(plattest::Read_File(target), "old");
}

TEST_F(AtomicFile, TargetOnAnotherFileSystemUsesAHiddenTemporaryBesideIt) {
    char tmpl[] = "/dev/shm/qlm_atomic_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) GTEST_SKIP() << "no /dev/shm";
    std::string other = tmpl;
    struct stat a, b;
    fs::create_directories(qlm::Db_Tmp_Dir());
    bool differs = stat(other.c_str(), &a) == 0 && stat(qlm::Db_Tmp_Dir().c_str(), &b) == 0 && a.st_dev != b.st_dev;
    int r = qlm::Write_File_Atomic(other + "/record", "across");
    std::string got = plattest::Read_File(other + "/record");
    std::vector<std::string> names = Names_In(other);
    fs::remove_all(other);
    if (!differs) GTEST_SKIP() << "/dev/shm shares the test folder's file system";
    EXPECT_EQ(r, 0);
    EXPECT_EQ(got, "across");
    EXPECT_EQ(names, std::vector<std::string>{"record"});
    EXPECT_TRUE(Names_In(qlm::Db_Tmp_Dir()).empty());
}

TEST_F(AtomicFile, ReaderInAnotherProcessSeesOnlyWholeContents) {
    const std::string target = listed + "/record";
    const std::string small(10, 's'), big(1 << 20, 'B');
    ASSERT_EQ(qlm::Write_File_Atomic(target, small), 0);
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        close(stop[1]);
        fcntl(stop[0], F_SETFL, O_NONBLOCK);
        char c;
        while (read(stop[0], &c, 1) != 0) {  // until the writer closes its end
            std::string seen = plattest::Read_File(target);
            if (seen != small && seen != big) _exit(1);
        }
        _exit(0);
    }
    close(stop[0]);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(qlm::Write_File_Atomic(target, i % 2 ? small : big), 0);
    close(stop[1]);
    int st = 0;
    ASSERT_EQ(waitpid(reader, &st, 0), reader);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "the reader saw a partial file";
}

TEST_F(AtomicFile, TheSweepRemovesTheTemporariesOfWritersThatAreGoneAndNothingElse) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(0);
    int st = 0;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    const std::string dir = qlm::Db_Tmp_Dir();
    fs::create_directories(dir);
    const std::string dead = std::to_string(child), live = std::to_string(getppid()), self = std::to_string(getpid());
    const std::vector<std::string> kept = {
        "w." + live + ".a1B2c3", "w." + self + ".d4E5f6",  // a live writer's, this process's
        "w.Xy12Zz", "w." + dead, "w.12ab.c", "w..c",         // names that carry no writer
        dead + ".w.abcdef", "0123_en", "0123_userlist",      // other files of the folder
    };
    for (const std::string& n : kept) plattest::Write_File(dir + "/" + n, "x");
    plattest::Write_File(dir + "/w." + dead + ".q9R8s7", "half a record");
    qlm::Remove_Stale_Temp_Files();
    std::vector<std::string> want = kept;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(Names_In(dir), want);
    // A write in progress names its temporary after this process, so the sweep of another spares it.
    ASSERT_EQ(qlm::Write_File_Atomic(listed + "/record", "whole"), 0);
    EXPECT_EQ(Names_In(dir), want);
}

TEST_F(AtomicFile, JsonGoesInThePlainForm) {
    json_object* o = json_object_new_object();
    json_object_object_add(o, "status", json_object_new_string("running"));
    json_object_object_add(o, "path", json_object_new_string("/a b"));
    json_object_object_add(o, "n", json_object_new_int(3));
    std::string target = listed + "/mission";
    EXPECT_EQ(qlm::Json_Write_File(target, o), 0);
    json_object_put(o);
    EXPECT_EQ(plattest::Read_File(target), "{\"status\":\"running\",\"path\":\"\\/a b\",\"n\":3}");
    EXPECT_EQ(qlm::Json_Write_File(listed + "/none", nullptr), -EINVAL);
    EXPECT_FALSE(fs::exists(listed + "/none"));
}

}  // namespace
