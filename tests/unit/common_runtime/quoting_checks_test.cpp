// Shell quoting proven against the real shell, and the checks on request texts that become paths.
#include "common/cmdrun.h"
#include "common/reqcheck.h"
#include "common/shellquote.h"
#include "../platform_testdir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(ShellQuote, WrapsInSingleQuotesAndEscapesOnlyTheQuote) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"", "''"},
        {"abc", "'abc'"},
        {"a'b", "'a'\\''b'"},
        {"''", "''\\'''\\'''"},
        {"$x \"y\" \\z", "'$x \"y\" \\z'"},
    };
    for (const Case& c : cases) EXPECT_EQ(qlm::ShellQuote(c.in), c.out) << c.in;
}

TEST(ShellQuote, HostileTextsReachTheToolAsOneUnchangedArgument) {
    plattest::TempDir t;
    std::string marker = t / "X";
    std::string hostile = "a'b $(touch " + marker + ") \"c\" %s\n-x";
    const std::string texts[] = {
        hostile,
        "a'b $(touch " + marker + ") \"c\" %s\\n-x",
        "`touch " + marker + "`; touch " + marker + " | & > <",
        "$HOME ${PATH} * ? ~ [a] #c",
        "two  spaces\tand tab",
        "-n",
        "",
        "'",
        "\xc3\xbc\xe2\x82\xac name.pdf",
    };
    for (const std::string& text : texts) {
        std::string out = t / "out";
        // Brackets around each argument: a text split into several words would show as [..][..].
        std::string line = "printf '[%s]' " + qlm::ShellQuote(text) + " > " + qlm::ShellQuote(out);
        int status = -5;
        ASSERT_EQ(Execute_Command_Line_Timeout(status, 10, "%s", line.c_str()), 0);
        EXPECT_EQ(status, 0) << text;
        EXPECT_EQ(plattest::Read_File(out), "[" + text + "]");
        EXPECT_FALSE(std::filesystem::exists(marker)) << text;
    }
}

TEST(RequestChecks, IdForm) {
    struct Case {
        const char* text;
        bool ok;
    } cases[] = {
        {"0f8fad5b-d9cb-469f-a165-70867728950e", true},
        {"0F8FAD5B-D9CB-469F-A165-70867728950E", false},  // ids are made lower case
        {"0f8fad5b-d9cb-469f-a165-70867728950", false},
        {"0f8fad5b-d9cb-469f-a165-70867728950e0", false},
        {"0f8fad5bd-9cb-469f-a165-70867728950e", false},
        {"../../../../../../../../etc/passwd.xx", false},
        {"0f8fad5b-d9cb-469f-a165-7086772895/e", false},
        {"", false},
        {nullptr, false},
    };
    for (const Case& c : cases) EXPECT_EQ(qlm::Is_Id_Form(c.text), c.ok) << (c.text ? c.text : "(null)");
}

TEST(RequestChecks, SinglePathComponent) {
    struct Case {
        std::string text;
        bool ok;
    } cases[] = {
        {"user@example.com", true},
        {"...", true},
        {".hidden", true},
        {"a b", true},
        {"\xc3\xbc@example.com", true},
        {"0f8fad5b-d9cb-469f-a165-70867728950e", true},
        {"", false},
        {".", false},
        {"..", false},
        {"/", false},
        {"a/b", false},
        {"../x", false},
        {"a\nb", false},
        {"a\rb", false},
        {"a\tb", false},
        {std::string("a\0b", 3), false},
        {"a\x7f", false},
        {"\x1b[31m", false},
    };
    for (const Case& c : cases) EXPECT_EQ(qlm::Is_Single_Path_Component(c.text), c.ok) << c.text;
}

}  // namespace
