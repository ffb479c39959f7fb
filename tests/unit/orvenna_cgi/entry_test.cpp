#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "orvenna_cgi/actions.h"
#include "orvenna_cgi/entry.h"
#include "web/reply.h"

namespace {

TEST(ActionTable, HoldsEveryActionOnceWithTheSevenStreamingOnes) {
    std::set<std::string> names, streaming;
    for (const qlm::Action_Row& row : qlm::g_ActionTable) {
        ASSERT_NE(row.pszAct, nullptr);
        names.insert(row.pszAct);
        if (row.bStreaming) streaming.insert(row.pszAct);
    }
    EXPECT_EQ(names.size(), 57u);
    EXPECT_EQ(streaming, (std::set<std::string>{"download_attachment", "export_eml", "export_drive",
                                                "export_shared_drive", "save_log", "export_contact",
                                                "export_calendar"}));
    EXPECT_STREQ(qlm::g_ActionTable[0].pszAct, "auth");
    EXPECT_STREQ(qlm::g_ActionTable[56].pszAct, "gmail_users_get_count_stop");
}

TEST(ActionTable, LookupIsExactAndCaseSensitive) {
    EXPECT_NE(qlm::Find_Action("list_task"), nullptr);
    for (const char* act : {"", "AUTH", "auth ", " auth", "list_tas", "list_task\n"}) EXPECT_EQ(qlm::Find_Action(act), nullptr) << act;
    EXPECT_EQ(qlm::Find_Action(nullptr), nullptr);
    EXPECT_TRUE(qlm::Is_Streaming_Action("save_log"));
    EXPECT_FALSE(qlm::Is_Streaming_Action("list_log"));
    EXPECT_FALSE(qlm::Is_Streaming_Action("nope"));
}

TEST(BackupMode, ServiceSwitchesAreStrictDecimalInts) {
    struct Case { const char* text; bool ok; int value; };
    const Case cases[] = {
        {"1", true, 1}, {"0", true, 0}, {" 1", true, 1}, {"+1", true, 1}, {"-3", true, -3},
        {"2147483647", true, 2147483647}, {"-2147483648", true, -2147483647 - 1},
        {"", false, 0}, {" ", false, 0}, {"1x", false, 0}, {"x1", false, 0}, {"1 ", false, 0},
        {"0x1", false, 0}, {"2147483648", false, 0}, {"+", false, 0}, {"--1", false, 0}, {"1.0", false, 0},
    };
    for (const Case& c : cases) {
        int v = 42;
        EXPECT_EQ(qlm::Parse_Service_Switch(c.text, v) == 0, c.ok) << '"' << c.text << '"';
        if (c.ok) EXPECT_EQ(v, c.value) << c.text;
        else EXPECT_EQ(v, 42) << c.text;
    }
    int v = 0;
    EXPECT_NE(qlm::Parse_Service_Switch(nullptr, v), 0);
}

class BackupModeSelection : public ::testing::Test {
protected:
    void SetUp() override { unsetenv("REQUEST_METHOD"); unsetenv("GATEWAY_INTERFACE"); }
    void TearDown() override { SetUp(); }
    static bool Selects(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        return qlm::Is_Backup_Mode(static_cast<int>(args.size()), argv.data());
    }
};

TEST_F(BackupModeSelection, NeedsNineArgumentsAndNoCgiEnvironment) {
    const std::string id = "0123abcd-0000-4000-8000-00000000abcd";
    EXPECT_TRUE(Selects({"orvenna.cgi", "-backup", id, id, "1", "0", "0", "1", "0"}));
    EXPECT_FALSE(Selects({"orvenna.cgi", "-backup", id, id, "1", "0", "0", "1"}));
    EXPECT_FALSE(Selects({"orvenna.cgi", "-backup", id, id, "1", "0", "0", "1", "0", "0"}));
    EXPECT_FALSE(Selects({"orvenna.cgi", "-Backup", id, id, "1", "0", "0", "1", "0"}));
    // A web server may hand the words of a query string without "=" to a CGI program as arguments.
    for (const char* var : {"REQUEST_METHOD", "GATEWAY_INTERFACE"}) {
        setenv(var, "GET", 1);
        EXPECT_FALSE(Selects({"orvenna.cgi", "-backup", id, id, "1", "0", "0", "1", "0"})) << var;
        unsetenv(var);
    }
}

TEST(Reply, EscapingKeepsFixedTextsAndMendsOthers) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {
        {"Unexpected action request", "Unexpected action request"},
        {"task_id or authenticate_id/admin_email", "task_id or authenticate_id/admin_email"},
        {"KVT_Sql_Open_Datebase error.", "KVT_Sql_Open_Datebase error."},
        {"a\"b\\c", "a\\\"b\\\\c"},
        {"line\nnext\t\x01", "line\\nnext\\t\\u0001"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
    };
    for (const Case& c : cases) {
        std::string out;
        qlm::Append_Json_Escaped(c.in, out);
        EXPECT_EQ(out, c.out);
    }
}

}  // namespace
