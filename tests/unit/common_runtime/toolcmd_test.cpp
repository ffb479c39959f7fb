// Tool output files are made by us before the shell writes into them.
#include "common/toolcmd.h"
#include "../platform_testdir.h"
#include "common/paths.h"
#include "plat_string.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

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

// The tool files a process names, made in the temporary folder; a child makes them and ends
// without removing them, as a worker ended by SIGTERM does.
std::set<std::string> Make_Tool_Files() {
    std::set<std::string> out;
    for (const std::string& path : {qlm::Worker_Listing_Path(), qlm::Worker_Out_Path(), qlm::Worker_Err_Path()}) {
        plattest::Write_File(path, "a listing");
        out.insert(std::filesystem::path(path).filename());
    }
    return out;
}

std::set<std::string> Names_In(const std::string& folder) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(folder)) out.insert(e.path().filename());
    return out;
}

TEST(ToolOutput, TheSweepRemovesTheToolFilesOfProcessesThatAreGoneAndNothingElse) {
    plattest::TempDir dir;
    plattest::ScopedEnv root("QLM_ROOT", dir.path());
    const std::string tmp = qlm::Tmp_Dir();
    std::filesystem::create_directories(tmp);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Make_Tool_Files();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const std::set<std::string> gone = Names_In(tmp);
    ASSERT_EQ(gone.size(), 3u);

    const std::set<std::string> mine = Make_Tool_Files();
    const std::string id = smbbackup::Create_New_ID(), dead = std::to_string(child);
    const std::string live = std::to_string(getppid());
    const std::set<std::string> kept = {
        "tnq_" + id + "_" + live, id + "_" + live + "_err",  // a live process's
        "tnq_" + id, "tnq_" + dead, id + "_err",             // names that carry no owner
        "tnq_" + dead + "_" + id, "notanid_" + dead + "_out", id + "_" + dead + "_log",
    };
    for (const std::string& n : kept) plattest::Write_File(tmp + "/" + n, "x");
    std::filesystem::create_directories(tmp + "/tnq_" + smbbackup::Create_New_ID());  // an export folder

    const std::set<std::string> before = Names_In(tmp);
    qlm::Remove_Stale_Tool_Files();
    std::set<std::string> expected;
    for (const std::string& n : before)
        if (gone.count(n) == 0) expected.insert(n);
    EXPECT_EQ(Names_In(tmp), expected);
    for (const std::string& n : mine) EXPECT_TRUE(std::filesystem::exists(tmp + "/" + n)) << n;
}

}  // namespace
