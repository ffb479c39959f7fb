// The NAS side: passwords, shares and their physical paths, path spellings, the volume.
#include "../platform_testdir.h"
#include "plat_nas.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

using plattest::ScopedEnv;
using plattest::TempDir;

namespace {

class Nas_Test : public ::testing::Test {
protected:
    std::string Store(const char* name) { return root / (std::string("etc/nasplat/") + name); }

    TempDir root;
    ScopedEnv env{"QLM_ROOT", root.path()};
};

TEST_F(Nas_Test, Passwords_Are_Checked_Against_Their_Hash) {
    ASSERT_EQ(Nas_User_Add("admin", "correct horse", 1, "*"), 0);
    ASSERT_EQ(Nas_User_Add("guest", "other", 2, "a,b"), 0);
    EXPECT_EQ(Verify_User_Passwd("admin", "correct horse"), 0);
    EXPECT_LT(Verify_User_Passwd("admin", "correct horse "), 0);
    EXPECT_LT(Verify_User_Passwd("admin", "other"), 0);
    EXPECT_LT(Verify_User_Passwd("admin", ""), 0);
    EXPECT_LT(Verify_User_Passwd("nobody", "correct horse"), 0);
    EXPECT_LT(Verify_User_Passwd("admin", nullptr), 0);
    EXPECT_LT(Verify_User_Passwd(nullptr, "x"), 0);

    std::string passwd = plattest::Read_File(Store("passwd"));
    EXPECT_EQ(passwd.find("correct horse"), std::string::npos);
    struct stat st;
    ASSERT_EQ(stat(Store("passwd").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Adding again replaces the password, type and apps and keeps the other users.
    ASSERT_EQ(Nas_User_Add("admin", "new pw", 5, "x"), 0);
    EXPECT_LT(Verify_User_Passwd("admin", "correct horse"), 0);
    EXPECT_EQ(Verify_User_Passwd("admin", "new pw"), 0);
    EXPECT_EQ(Verify_User_Passwd("guest", "other"), 0);
    Nas_User u;
    ASSERT_EQ(Nas_User_Get("admin", u), 0);
    EXPECT_EQ(u.idUserType, 5);
    EXPECT_EQ(u.strApps, "x");
    EXPECT_EQ(Nas_User_Get("nobody", u), -2);
}

TEST_F(Nas_Test, Without_A_Password_File_No_One_Signs_In) {
    EXPECT_LT(Verify_User_Passwd("admin", "admin"), 0);
}

TEST_F(Nas_Test, Bad_Users_Are_Refused) {
    struct Case {
        const char* user;
        const char* pw;
        const char* apps;
    } cases[] = {
        {"a:b", "pw", "*"}, {"", "pw", "*"},         {"-rf", "pw", "*"},    {"a\nb", "pw", "*"},
        {"..", "pw", "*"},  {"ok", "", "*"},          {"ok", "pw", "a b"},   {"ok", "pw", "a,,b"},
        {"ok", "pw", ""},   {"ok", "pw", "a:b"},      {nullptr, "pw", "*"},  {"ok", nullptr, "*"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Nas_User_Add(c.user, c.pw, 1, c.apps), -22)
            << (c.user ? c.user : "(null)") << " / " << (c.apps ? c.apps : "(null)");
    EXPECT_EQ(Nas_User_Add(std::string(129, 'u').c_str(), "pw", 1, "*"), -22);
    EXPECT_EQ(Nas_User_Add(std::string(128, 'u').c_str(), "pw", 1, "*"), 0);
}

// A password file another tool wrote: broken lines are skipped, the good ones still work.
TEST_F(Nas_Test, Broken_Password_Lines_Are_Skipped) {
    ASSERT_EQ(Nas_User_Add("admin", "pw", 1, "*"), 0);
    std::string good = plattest::Read_File(Store("passwd"));
    plattest::Write_File(Store("passwd"), "garbage line\nadmin::1:*\nx:y\n" + good + "bob:$y$zz:notanumber:*\n");
    EXPECT_EQ(Verify_User_Passwd("admin", "pw"), 0);
    EXPECT_LT(Verify_User_Passwd("bob", "pw"), 0);
}

TEST_F(Nas_Test, Physical_Paths_Of_Share_Paths) {
    const std::string pub = root / "vol1/Public";
    ASSERT_EQ(Nas_Share_Add("Public", (pub + "/").c_str()), 0);
    ASSERT_EQ(Nas_Share_Add("Home Folder", "/srv//home"), 0);
    ASSERT_EQ(Nas_Share_Add("Root", "/"), 0);
    struct Case {
        const char* in;
        int want;
        std::string out;
    } cases[] = {
        {"/Public", 0, pub},
        {"Public", 0, pub},
        {"/Public/", 0, pub},
        {"/Public/exports/2024", 0, pub + "/exports/2024"},
        {"//Public//exports//", 0, pub + "/exports"},
        {"/Home Folder/a b", 0, "/srv/home/a b"},
        {"/Root/etc", 0, "/etc"},
        {"/Root", 0, "/"},
        {"/public", -2, ""},
        {"/Nope/a", -2, ""},
        {"/Public/../../etc", -22, ""},
        {"/Public/./x", -22, ""},
        {"/../Public", -22, ""},
        {"/Public/..", -22, ""},
        {"/Public/a\\..\\b", -22, ""},
        {"/Public/a\nb", -22, ""},
        {"", -22, ""},
        {"/", -22, ""},
        {"///", -22, ""},
    };
    for (const Case& c : cases) {
        std::string out = "untouched";
        EXPECT_EQ(Get_Phy_Path(c.in, out), c.want) << c.in;
        EXPECT_EQ(out, c.want == 0 ? c.out : "untouched") << c.in;
    }
    std::string out;
    EXPECT_EQ(Get_Phy_Path(nullptr, out), -22);
}

TEST_F(Nas_Test, A_Link_Never_Leads_A_Share_Path_Out_Of_Its_Share) {
    const std::string share = root / "share", outside = root / "outside";
    ASSERT_EQ(mkdir(share.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((share + "/real").c_str(), 0700), 0);
    ASSERT_EQ(symlink(outside.c_str(), (share + "/escape").c_str()), 0);
    ASSERT_EQ(symlink("real", (share + "/inner").c_str()), 0);
    ASSERT_EQ(Nas_Share_Add("S", share.c_str()), 0);
    std::string out;
    EXPECT_EQ(Get_Phy_Path("/S/escape", out), -22);
    EXPECT_EQ(Get_Phy_Path("/S/escape/deeper", out), 0);  // missing: the caller finds no folder there
    EXPECT_EQ(Get_Phy_Path("/S/inner", out), 0);          // a link that stays inside is fine
    EXPECT_EQ(out, share + "/inner");
    EXPECT_EQ(Get_Phy_Path("/S", out), 0);
    EXPECT_EQ(out, share);
}

TEST_F(Nas_Test, Shares_Are_Listed_And_Moved) {
    ASSERT_EQ(Nas_Share_Add("A", "/data/a"), 0);
    ASSERT_EQ(Nas_Share_Add("B", "/data/b"), 0);
    ASSERT_EQ(Nas_Share_Add("A", "/data/a2"), 0);
    std::vector<std::pair<std::string, std::string>> shares;
    ASSERT_EQ(Nas_Share_List(shares), 0);
    EXPECT_EQ(shares, (std::vector<std::pair<std::string, std::string>>{{"A", "/data/a2"}, {"B", "/data/b"}}));
    std::string out;
    ASSERT_EQ(Get_Phy_Path("/A/x", out), 0);
    EXPECT_EQ(out, "/data/a2/x");

    for (auto [name, path] : std::vector<std::pair<const char*, const char*>>{
             {"a/b", "/x"}, {"a=b", "/x"}, {"..", "/x"}, {"", "/x"}, {"a\\b", "/x"}, {"ok", "relative"}, {"ok", ""},
             {"ok", "/x\ny=/etc"}})
        EXPECT_EQ(Nas_Share_Add(name, path), -22) << name << " " << path;
    ASSERT_EQ(Nas_Share_List(shares), 0);
    EXPECT_EQ(shares.size(), 2u);
}

TEST(General_Path, Both_Spellings) {
    struct Case {
        const char* in;
        const char* head;
        const char* both;
    } cases[] = {
        {"", "/", "/"},
        {"/", "/", "/"},
        {"///", "/", "/"},
        {"a", "/a", "/a/"},
        {"/share/Public", "/share/Public", "/share/Public/"},
        {"/share//Public/", "/share/Public", "/share/Public/"},
        {"share/Public//", "/share/Public", "/share/Public/"},
        {"/a b/c", "/a b/c", "/a b/c/"},
        {nullptr, "/", "/"},
    };
    for (const Case& c : cases) {
        GeneralPath p(c.in);
        EXPECT_EQ(p.Head_Slashed(), c.head) << (c.in ? c.in : "(null)");
        EXPECT_EQ(p.Both_Slashed(), c.both) << (c.in ? c.in : "(null)");
    }
}

TEST_F(Nas_Test, Volume_Of_The_Root) {
    _T_VOLUME_INFO_* info = nullptr;
    ASSERT_EQ(Get_Nas_Volume_Info(1, &info), 0);
    ASSERT_NE(info, nullptr);
    struct statvfs sv;
    ASSERT_EQ(statvfs(root.path().c_str(), &sv), 0);
    EXPECT_EQ(info->cbSize, static_cast<uint64_t>(sv.f_blocks) * sv.f_frsize);
    EXPECT_GT(info->cbSize, 0u);
    EXPECT_LE(info->cbUsed, info->cbSize);
    free(info);
    EXPECT_EQ(Get_Nas_Volume_Info(1, nullptr), -22);
}

// nasctl is the administrator's tool over the same files.
class Nasctl_Test : public Nas_Test {
protected:
    void SetUp() override {
        if (access(kNasctl.c_str(), X_OK) != 0) GTEST_SKIP() << "nasctl is not built: " << kNasctl;
    }

    // Runs nasctl with args; returns its exit code and fills out with its standard output.
    int Run(const std::string& args, std::string& out) {
        std::string outFile = root / "nasctl.out";
        std::string cmd = kNasctl + " " + args + " >" + outFile + " 2>/dev/null";
        int status = system(cmd.c_str());
        out = plattest::Read_File(outFile);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string kNasctl = std::string(QLM_BINARY_DIR) + "/standins/nasctl/nasctl";
};

TEST_F(Nasctl_Test, Useradd_Login_Logout) {
    std::string out;
    ASSERT_EQ(Run("useradd admin 'pass word' --type 3", out), 0);
    EXPECT_EQ(Run("login admin wrong", out), 1);
    EXPECT_EQ(out, "");
    ASSERT_EQ(Run("login admin 'pass word' --apps veltranoBusinessBackup --ttl 60", out), 0);
    ASSERT_EQ(out.size(), 33u);
    ASSERT_EQ(out.back(), '\n');
    std::string sid = out.substr(0, 32);
    struct stat st;
    ASSERT_EQ(stat(Store(("sessions/" + sid).c_str()).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Run("logout " + sid, out), 0);
    EXPECT_NE(stat(Store(("sessions/" + sid).c_str()).c_str(), &st), 0);
    EXPECT_NE(Run("logout " + sid, out), 0);
    EXPECT_EQ(Run("useradd admin", out), 2);
    EXPECT_EQ(Run("login admin x --ttl soon", out), 2);
}

TEST_F(Nasctl_Test, Shares) {
    std::string out;
    ASSERT_EQ(Run("share add Public /data/pub/", out), 0);
    ASSERT_EQ(Run("share add Media /data/media", out), 0);
    ASSERT_EQ(Run("share list", out), 0);
    EXPECT_EQ(out, "Public\t/data/pub\nMedia\t/data/media\n");
    EXPECT_NE(Run("share add ../x /data", out), 0);
}

}  // namespace
