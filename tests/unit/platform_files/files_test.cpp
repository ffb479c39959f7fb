// Folders and copies: trees are removed without ever leaving them through a link, copies are whole.
#include "plat_file.h"

#include "../platform_testdir.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using plattest::Read_File;
using plattest::TempDir;
using plattest::Write_File;

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

mode_t Mode_Of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// ---- Create_Path

TEST(CreatePath, CreatesMissingParentsAndAcceptsExistingFolder) {
    TempDir dir;
    std::string deep = dir / "a/b//c/";
    EXPECT_EQ(smbbackup::Create_Path(deep.c_str(), 0700), 0);
    EXPECT_EQ(Is_Folder((dir / "a/b/c").c_str()), 1);
    EXPECT_EQ(Mode_Of(dir / "a/b"), 0700u);
    EXPECT_EQ(smbbackup::Create_Path(deep.c_str(), 0700), 0) << "an existing folder is not an error";
}

TEST(CreatePath, FileInTheWayIsAnError) {
    TempDir dir;
    Write_File(dir / "file", "x");
    EXPECT_EQ(smbbackup::Create_Path((dir / "file").c_str(), 0700), -ENOTDIR);
    EXPECT_EQ(smbbackup::Create_Path((dir / "file/sub").c_str(), 0700), -ENOTDIR);
    EXPECT_EQ(Read_File(dir / "file"), "x");
}

// ---- Remove_Folder_Tree

// A tree with nested folders, a hidden file, and links that point out of it (to a folder and a
// file that must survive) and into it.
class FolderTree : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(smbbackup::Create_Path((dir / "tree/a/b").c_str(), 0700), 0);
        ASSERT_EQ(smbbackup::Create_Path((dir / "outside/keep").c_str(), 0700), 0);
        Write_File(dir / "outside/keep/precious", "keep me");
        Write_File(dir / "outside/file", "keep me too");
        Write_File(dir / "tree/a/b/deep", "1");
        Write_File(dir / "tree/.hidden", "2");
        ASSERT_EQ(symlink((dir / "outside/keep").c_str(), (dir / "tree/a/to_folder").c_str()), 0);
        ASSERT_EQ(symlink((dir / "outside/file").c_str(), (dir / "tree/to_file").c_str()), 0);
        ASSERT_EQ(symlink("a/b", (dir / "tree/inner").c_str()), 0);
        ASSERT_EQ(symlink("nowhere", (dir / "tree/a/dangling").c_str()), 0);
    }
    void ExpectOutsideIntact() {
        EXPECT_EQ(Read_File(dir / "outside/keep/precious"), "keep me");
        EXPECT_EQ(Read_File(dir / "outside/file"), "keep me too");
    }
    TempDir dir;
    std::string tree = dir / "tree";
};

TEST_F(FolderTree, ModeZeroRemovesFolderAndContent) {
    EXPECT_EQ(Remove_Folder_Tree(tree.c_str(), 0, nullptr), 0);
    EXPECT_FALSE(Exists(tree));
    ExpectOutsideIntact();
}

TEST_F(FolderTree, ModeOneEmptiesFolderAndKeepsIt) {
    EXPECT_EQ(Remove_Folder_Tree(tree.c_str(), 1, nullptr), 0);
    EXPECT_EQ(Is_Folder(tree.c_str()), 1);
    EXPECT_TRUE(std::filesystem::is_empty(tree));
    ExpectOutsideIntact();
}

TEST_F(FolderTree, LinkToFolderIsNotTreatedAsTheFolder) {
    std::string link = dir / "link_to_outside";
    ASSERT_EQ(symlink((dir / "outside").c_str(), link.c_str()), 0);
    for (int mode : {0, 1}) {
        EXPECT_EQ(Remove_Folder_Tree(link.c_str(), mode, nullptr), -ENOTDIR) << "mode " << mode;
        ExpectOutsideIntact();
    }
}

TEST_F(FolderTree, RefusedCallsTouchNothing) {
    EXPECT_EQ(Remove_Folder_Tree(tree.c_str(), 2, nullptr), -EINVAL);
    EXPECT_EQ(Remove_Folder_Tree("", 0, nullptr), -EINVAL);
    EXPECT_EQ(Remove_Folder_Tree((dir / "missing").c_str(), 0, nullptr), -ENOENT);
    EXPECT_EQ(Remove_Folder_Tree((dir / "tree/.hidden").c_str(), 0, nullptr), -ENOTDIR);
    EXPECT_EQ(Read_File(dir / "tree/a/b/deep"), "1");
}

// ---- Copy_File

// Content that spans several copy chunks and does not repeat with a short period.
std::string Big_Content() {
    std::string s(3 * 1024 * 1024 + 17, '\0');
    uint32_t x = 12345;
    for (char& c : s) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    return s;
}

class CopyFile : public ::testing::Test {
protected:
    void SetUp() override {
        Write_File(src, content);
        ASSERT_EQ(chmod(src.c_str(), 0640), 0);
    }
    TempDir dir;
    std::string src = dir / "source.eml";
    std::string dst = dir / "copy.eml";
    std::string content = Big_Content();
};

TEST_F(CopyFile, NewTargetGetsContentAndSourceMode) {
    EXPECT_EQ(Copy_File(src.c_str(), dst.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(Read_File(dst), content);
    EXPECT_EQ(Mode_Of(dst), 0640u);
}

TEST_F(CopyFile, LongerExistingTargetIsReplacedWhole) {
    Write_File(dst, std::string(content.size() + 1000, 'z'));
    EXPECT_EQ(Copy_File(src.c_str(), dst.c_str()), 0);
    EXPECT_EQ(Read_File(dst), content);
}

TEST_F(CopyFile, SameFileIsRefusedWithoutLosingIt) {
    std::string alias = dir / "alias.eml";
    ASSERT_EQ(link(src.c_str(), alias.c_str()), 0);
    EXPECT_EQ(Copy_File(src.c_str(), alias.c_str()), -EINVAL);
    EXPECT_EQ(Copy_File(src.c_str(), src.c_str()), -EINVAL);
    EXPECT_EQ(Read_File(src), content);
}

TEST_F(CopyFile, FailuresLeaveNoTarget) {
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
    struct Case {
        std::string from, to;
        int expected;
    } cases[] = {
        {dir / "missing", dst, -ENOENT},
        {dir / "folder", dst, -EISDIR},
        {src, dir / "no_such_folder/copy", -ENOENT},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Copy_File(c.from.c_str(), c.to.c_str()), c.expected) << c.from << " -> " << c.to;
        EXPECT_FALSE(Exists(c.to)) << c.to;
    }
}

TEST_F(CopyFile, ToDescriptorWritesAtItsOffset) {
    int fd = open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "head:", 5), 5);
    EXPECT_EQ(Copy_File_To_Fd(src.c_str(), fd), 0);
    close(fd);
    EXPECT_EQ(Read_File(dst), "head:" + content);
}

TEST(CopyFileToFd, FallsBackWhereKernelCopyCannotWrite) {
    TempDir dir;
    std::string src = dir / "small";
    Write_File(src, "through a pipe");  // fits in the pipe, so no reader thread is needed
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    EXPECT_EQ(Copy_File_To_Fd(src.c_str(), p[1]), 0);
    close(p[1]);
    char buf[64] = {};
    EXPECT_EQ(read(p[0], buf, sizeof buf), 14);
    close(p[0]);
    EXPECT_STREQ(buf, "through a pipe");
}

// ---- Is_Folder

TEST(IsFolder, OnlyExistingFolders) {
    TempDir dir;
    Write_File(dir / "file", "");
    ASSERT_EQ(symlink(dir.path().c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink("missing", (dir / "dangling").c_str()), 0);
    EXPECT_EQ(Is_Folder(dir.path().c_str()), 1);
    EXPECT_EQ(Is_Folder((dir / "link").c_str()), 1);
    EXPECT_EQ(Is_Folder((dir / "file").c_str()), 0);
    EXPECT_EQ(Is_Folder((dir / "dangling").c_str()), 0);
    EXPECT_EQ(Is_Folder((dir / "missing").c_str()), 0);
    EXPECT_EQ(Is_Folder(nullptr), 0);
}

}  // namespace
