// Tool output files are made by us before the shell writes into them.
#include "common/toolcmd.h"
#include "../platform_testdir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(ToolOutput, FreshPrivateFileNeverThroughAPlantedLink) {
    plattest::TempDir dir;
    const std::string victim = dir / "victim";
    plattest::Write_File(victim, "keep me");
    const std::string out = dir / "tnq_1234";

    // A link planted under the predictable name is replaced, its target left alone.
    ASSERT_EQ(symlink(victim.c_str(), out.c_str()), 0);
    ASSERT_EQ(qlm::Prepare_Tool_Output(out), 0);
    struct stat st;
    ASSERT_EQ(lstat(out.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(plattest::Read_File(victim), "keep me");

    // An old result of the same name is replaced by an empty file.
    plattest::Write_File(out, "stale listing");
    ASSERT_EQ(qlm::Prepare_Tool_Output(out), 0);
    EXPECT_EQ(plattest::Read_File(out), "");

    EXPECT_LT(qlm::Prepare_Tool_Output(dir / "no/such/folder/x"), 0);
}

}  // namespace
