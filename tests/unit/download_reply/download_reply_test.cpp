// The download request and the failure reply that every streaming action shares. The service's
// failures (a vanished or unreadable file) cannot be provoked through an action, so they are
// driven here with requests over files the test controls.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <csignal>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "../platform_stdio.h"
#include "browse/download_reply.h"
#include "common/filehelpers.h"
#include "plat_cgi.h"

namespace {

constexpr const char* kJsonHeader = "Content-Type: application/json; charset=UTF-8\r\n\r\n";

// Prepares a request for names of folder and sends it, in a child (the header state is per process).
std::string Send_In_Child(const plattest::TempDir& dir, const std::string& folder, const std::vector<std::string>& names) {
    return plattest::Run_Child(dir, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", ""}}, "", [&] {
               O_APP_CGI_AGENT agent(0);
               qlm::Download_Request req;
               if (qlm::Prepare_Download(req, folder, names, "firefox") != 0) return 1;
               return qlm::Send_Download(&agent, req) == 0 ? 0 : 2;
           }).out;
}

TEST(DownloadReply, FailedDownloadsGetHeaderThenTheMappedReply) {
    plattest::TempDir dir;
    plattest::Write_File(dir / "here.csv", "a,b\r\n");
    EXPECT_EQ(Send_In_Child(dir, dir.path(), {"gone.csv"}),
              std::string(kJsonHeader) + "{ \"success\": false, \"error_code\": 5028, \"error_msg\": \"" +
                  strerror(2) + " (-2)\" }\n");
    if (geteuid() != 0) {  // root reads a file of mode 0 all the same
        chmod((dir / "here.csv").c_str(), 0);
        EXPECT_EQ(Send_In_Child(dir, dir.path(), {"here.csv"}),
                  std::string(kJsonHeader) + "{ \"success\": false, \"error_code\": 5025, \"lacked_acl\": 1, " +
                      "\"error_msg\": \"" + strerror(13) + " (-13)\" }\n");
        chmod((dir / "here.csv").c_str(), 0600);
    }
    // A sent file is the whole answer: no JSON after it.
    const std::string sent = Send_In_Child(dir, dir.path(), {"here.csv"});
    EXPECT_NE(sent.find("filename=\"here.csv\""), std::string::npos) << sent;
    EXPECT_EQ(sent.find("success"), std::string::npos) << sent;
    EXPECT_EQ(sent.substr(sent.size() - 5), "a,b\r\n");
}

TEST(DownloadReply, NamesThatDoNotSplitBackAre5052WithoutMessage) {
    plattest::TempDir dir;
    const std::string refused = std::string(kJsonHeader) + "{ \"success\": false, \"error_code\": 5052 }\n";
    for (const std::vector<std::string>& names :
         {std::vector<std::string>{}, {""}, {"a/b"}, {"a", ""}, {"x", "y/z", "w"}}) {
        const plattest::Child_Result r = plattest::Run_Child(dir, {}, "", [&] {
            qlm::Download_Request req;
            return qlm::Prepare_Download(req, dir.path(), names, "x") < 0 ? 0 : 1;
        });
        EXPECT_EQ(r.exitCode, 0) << names.size();
        EXPECT_EQ(r.out, refused);
    }
    qlm::Download_Request req;  // a good request keeps every name, the folder and the browser
    {
        plattest::Redirect_Fd quiet(STDOUT_FILENO, dir / "out", O_WRONLY | O_CREAT | O_TRUNC);
        ASSERT_EQ(qlm::Prepare_Download(req, dir.path(), {"a b", "c.csv"}, nullptr), 0);
    }
    EXPECT_EQ(plattest::Read_File(dir / "out"), "");
    EXPECT_EQ(req.op.iPathType, 1);
    EXPECT_EQ(req.op.nFiles, 2);
    EXPECT_STREQ(req.op.pFileNames[0], "a b");
    EXPECT_STREQ(req.op.pFileNames[1], "c.csv");
    EXPECT_EQ(req.op.pFileNames[2], nullptr);
    EXPECT_STREQ(req.op.pszpPath, dir.path().c_str());
    EXPECT_EQ(req.op.pszBrowser, nullptr);
}

TEST(DownloadReply, CodesFollowTheMagnitudeOfTheError) {
    const struct {
        int err, code;
    } cases[] = {{-2, 5028}, {2, 5028}, {-13, 5025}, {13, 5025}, {-5, 5011}, {-22, 5011}, {-1, 5011}, {INT32_MIN, 5011}};
    for (const auto& c : cases) EXPECT_EQ(qlm::Download_Failure_Code(c.err), c.code) << c.err;
    plattest::TempDir dir;
    const std::string out = plattest::Capture_Stdout(dir, "", [] {
        qlm::Show_CGI_Error_Message(5011, -5, 7);
        qlm::Show_CGI_Error_Message(5025, 13, -1);
        qlm::Show_CGI_Error_Message(5011, INT32_MIN, 0);
    });
    EXPECT_EQ(out, std::string("{ \"success\": false, \"error_code\": 5011, \"error_msg\": \"") + strerror(5) +
                       " (-5)\" }\n{ \"success\": false, \"error_code\": 5025, \"lacked_acl\": -1, \"error_msg\": \"" +
                       strerror(13) + " (13)\" }\n{ \"success\": false, \"error_code\": 5011, \"error_msg\": "
                       "\"Unknown error (-2147483648)\" }\n");
}

}  // namespace

namespace {

// The name stamp is the local time of the system clock (the fixed test clock here).
TEST(DownloadReply, FileNameStampIsTheLocalTimeOfTheClock) {
    plattest::TempDir root;
    plattest::ScopedEnv r("QLM_ROOT", root.path());
    plattest::ScopedEnv fixed("QLM_FIXED_TIME", "1710032400");  // 2024-03-10 01:00:00 UTC
    const struct {
        const char* tz;
        const char* stamp;
    } cases[] = {{"UTC", "20240310010000"}, {"Asia/Taipei", "20240310090000"}, {"America/New_York", "20240309200000"}};
    for (const auto& c : cases) {
        plattest::ScopedEnv tz("TZ", c.tz);
        tzset();
        EXPECT_EQ(qlm::GetCurrentDateTimeString(), c.stamp) << c.tz;
    }
    tzset();
}

}  // namespace

namespace {

// A web server ends a CGI with SIGTERM as soon as the response is complete: the request's folder
// must be gone all the same, and the signal still ends the process.
TEST(DownloadFolder, ASignalWhileTheFolderLivesActsOnlyOnceItIsRemoved) {
    plattest::TempDir root;
    plattest::ScopedEnv env("QLM_ROOT", root.path());
    const std::string tmp = root.path() + "/usr/local/tmp";
    EXPECT_EXIT(
        {
            {
                qlm::Download_Folder dl;
                if (dl.Make() != 0) _exit(3);
                plattest::Write_File(dl.Path() + "/part", "x");
                raise(SIGTERM);
                raise(SIGPIPE);
                // Still here: the folder and its file stay until the scope ends.
                if (access((dl.Path() + "/part").c_str(), F_OK) != 0) _exit(4);
            }
            _exit(5);  // not reached: the noted SIGTERM ends the process
        },
        ::testing::KilledBySignal(SIGTERM), "");
    std::vector<std::string> left;
    GetFolderList(left, tmp.c_str());
    EXPECT_EQ(left, std::vector<std::string>{});
    // Without a signal the scope ends normally and the folder goes too.
    {
        qlm::Download_Folder dl;
        ASSERT_EQ(dl.Make(), 0);
        struct stat st;
        ASSERT_EQ(lstat(dl.Path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    left.clear();
    GetFolderList(left, tmp.c_str());
    EXPECT_EQ(left, std::vector<std::string>{});
}

}  // namespace
