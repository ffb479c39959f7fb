// NAS login sessions: signing in, and reviving the session of a request for an app.
#include "../platform_testdir.h"
#include "plat_cgi.h"
#include "plat_nas.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using plattest::ScopedEnv;
using plattest::TempDir;

namespace {

constexpr char kApp[] = "veltranoBusinessBackup";

class Session_Test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(Nas_User_Add("admin", "pw one", 1, "*"), 0);
        ASSERT_EQ(Nas_User_Add("ops", "pw two", 7, "alpha,beta"), 0);
    }

    std::string Login(const char* user, const char* pw, const char* apps = nullptr) {
        std::string sid;
        EXPECT_EQ(Nas_Session_Create(user, pw, apps, 600, sid), 0);
        return sid;
    }

    // Revive_Session for a request carrying this Cookie header.
    int Revive(const std::string& cookie, const char* app, O_APP_CGI_AGENT& agent) {
        ScopedEnv c("HTTP_COOKIE", cookie);
        return agent.Revive_Session(0, app);
    }

    std::string Session_File(const std::string& sid) { return root / ("etc/nasplat/sessions/" + sid); }

    TempDir root;
    ScopedEnv env{"QLM_ROOT", root.path()};
};

TEST_F(Session_Test, Valid_Session_Fills_The_User) {
    std::string sid = Login("ops", "pw two");
    EXPECT_EQ(sid.size(), 32u);
    O_APP_CGI_AGENT agent(0);
    ASSERT_EQ(Revive("theme=dark; NAS_SID=" + sid + "; lang=en", "beta", agent), 0);
    EXPECT_STREQ(agent.m_szUser, "ops");
    EXPECT_EQ(agent.m_idUserType, 7);

    struct stat st;
    ASSERT_EQ(stat(Session_File(sid).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Session_Test, Apps_Decide_Between_Valid_And_Refused) {
    struct Case {
        const char* user;
        const char* pw;
        const char* filter;
        const char* app;
        int want;
    } cases[] = {
        {"admin", "pw one", nullptr, kApp, 0},            // "*" user, no filter: every app
        {"admin", "pw one", "*", "anything", 0},
        {"admin", "pw one", "other", kApp, -256},          // narrowed at login
        {"admin", "pw one", "other," "veltranoBusinessBackup", kApp, 0},
        {"ops", "pw two", nullptr, kApp, -256},            // the user's own list
        {"ops", "pw two", nullptr, "alpha", 0},
        {"ops", "pw two", "beta,gamma", "beta", 0},        // intersection
        {"ops", "pw two", "beta,gamma", "gamma", -256},
        {"ops", "pw two", "beta,gamma", "alpha", -256},
        {"ops", "pw two", "gamma", "alpha", -256},         // empty intersection: no app at all
    };
    for (const Case& c : cases) {
        std::string sid = Login(c.user, c.pw, c.filter);
        O_APP_CGI_AGENT agent(0);
        EXPECT_EQ(Revive("NAS_SID=" + sid, c.app, agent), c.want)
            << c.user << " filter " << (c.filter ? c.filter : "(none)") << " app " << c.app;
        if (c.want != 0) {
            EXPECT_STREQ(agent.m_szUser, "");
        }
    }
}

TEST_F(Session_Test, Wrong_Password_Makes_No_Session) {
    std::string sid;
    EXPECT_EQ(Nas_Session_Create("admin", "pw two", nullptr, 600, sid), -1);
    EXPECT_EQ(Nas_Session_Create("nobody", "pw one", nullptr, 600, sid), -1);
    EXPECT_EQ(Nas_Session_Create("admin", "pw one", "bad app!", 600, sid), -22);
    EXPECT_EQ(Nas_Session_Create("admin", "pw one", nullptr, 0, sid), -22);
    EXPECT_TRUE(sid.empty());
}

TEST_F(Session_Test, Logout_Ends_The_Session) {
    std::string sid = Login("admin", "pw one");
    ASSERT_EQ(Nas_Session_Remove(sid.c_str()), 0);
    O_APP_CGI_AGENT agent(0);
    EXPECT_EQ(Revive("NAS_SID=" + sid, kApp, agent), -1);
    EXPECT_EQ(Nas_Session_Remove(sid.c_str()), -2);
    EXPECT_EQ(Nas_Session_Remove("../passwd"), -22);
}

// Session files written by hand, and cookies that name no usable session.
TEST_F(Session_Test, Invalid_Sessions_And_Cookies) {
    const std::string sid = "AAAABBBBCCCCDDDD0123";
    const std::string future = std::to_string(time(nullptr) + 600);
    struct Case {
        const char* what;
        std::string cookie;
        std::string file;  // written as the session of sid; empty: no file
    } cases[] = {
        {"no cookie header", "", ""},
        {"other cookies only", "NAS_SIDX=" + sid + "; SID=" + sid, "user=admin\ntype=1\nexpires=" + future + "\napps=*\n"},
        {"short id", "NAS_SID=ABCDEFGHIJKLMNO", ""},
        {"id too long", "NAS_SID=" + std::string(65, 'A'), ""},
        {"traversal", "NAS_SID=../../etc/nasplat/passwd", ""},
        {"no such session", "NAS_SID=" + sid, ""},
        {"expired", "NAS_SID=" + sid, "user=admin\ntype=1\nexpires=1\napps=*\n"},
        {"expires not a number", "NAS_SID=" + sid, "user=admin\ntype=1\nexpires=soon\napps=*\n"},
        {"no apps line", "NAS_SID=" + sid, "user=admin\ntype=1\nexpires=" + future + "\n"},
        {"no user", "NAS_SID=" + sid, "type=1\nexpires=" + future + "\napps=*\n"},
        {"user twice", "NAS_SID=" + sid, "user=admin\nuser=root\ntype=1\nexpires=" + future + "\napps=*\n"},
        {"bad user name", "NAS_SID=" + sid, "user=a:b\ntype=1\nexpires=" + future + "\napps=*\n"},
        {"line without =", "NAS_SID=" + sid, "user=admin\ntype=1\nexpires=" + future + "\napps=*\ngarbage\n"},
    };
    for (const Case& c : cases) {
        std::string path = Session_File(sid);
        unlink(path.c_str());
        if (!c.file.empty()) {
            std::filesystem::create_directories(root / "etc/nasplat/sessions");
            plattest::Write_File(path, c.file);
        }
        O_APP_CGI_AGENT agent(0);
        EXPECT_EQ(Revive(c.cookie, kApp, agent), -1) << c.what;
        EXPECT_STREQ(agent.m_szUser, "") << c.what;
    }
}

TEST_F(Session_Test, Hand_Written_Session_With_Blanks_In_Cookie) {
    const std::string sid = "Zz09Zz09Zz09Zz09";
    std::filesystem::create_directories(root / "etc/nasplat/sessions");
    plattest::Write_File(Session_File(sid), "user=admin\ntype=3\nexpires=" + std::to_string(time(nullptr) + 60) +
                                                "\napps=" + kApp + "\n");
    O_APP_CGI_AGENT agent(0);
    EXPECT_EQ(Revive("a=1;NAS_SID=" + sid + " ", kApp, agent), 0);
    EXPECT_EQ(agent.m_idUserType, 3);
}

TEST_F(Session_Test, Without_Cookie_Header_The_Session_Is_Invalid) {
    unsetenv("HTTP_COOKIE");
    O_APP_CGI_AGENT agent(0);
    EXPECT_EQ(agent.Revive_Session(0, kApp), -1);
}

}  // namespace
