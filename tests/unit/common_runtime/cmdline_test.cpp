// Reading tool command lines without a shell: each word must be what /bin/sh would pass, and every
// line whose meaning is not plain must be left to the shell.
#include "common/cmdline.h"
#include "common/shellquote.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Texts that break a command line built without the quoting helper.
const char* const kHostile[] = {
    "a b",  "it's", "'",    "''", "\\",     "$(touch pwned)", "`id`", "*", "~root", "#x", "a;b", "a|b",
    "a&b",  "-rf",  "",     "\n", "x\ty",   "> out",          "2>&1", "%s%n", "\"", "Résumé 🍕.pdf",
    "!!",   "{a,b}", "$HOME", "a\\'b",
};

TEST(SimpleCommand, QuotedTextsArriveAsOneUnchangedWord) {
    for (const char* text : kHostile) {
        const std::string line = qlm::ShellQuote("/opt/bin/gam") + " user " + qlm::ShellQuote(text) + " x" +
                                 qlm::ShellQuote(text) + "y >" + qlm::ShellQuote(text) + " 2>" +
                                 qlm::ShellQuote("/tmp/e");
        qlm::SimpleCommand cmd;
        ASSERT_TRUE(qlm::Parse_Simple_Command(line, cmd)) << line;
        EXPECT_EQ(cmd.argv, (std::vector<std::string>{"/opt/bin/gam", "user", text, std::string("x") + text + "y"}))
            << line;
        ASSERT_EQ(cmd.redirections.size(), 2u) << line;
        EXPECT_EQ(cmd.redirections[0].path, text);
        EXPECT_EQ(cmd.redirections[1].path, "/tmp/e");
    }
}

TEST(SimpleCommand, RedirectionsInTheirOrder) {
    struct Want {
        int fd;
        const char* path;
        bool append;
        int dupFrom;
    };
    struct Case {
        const char* line;
        std::vector<std::string> argv;
        std::vector<Want> red;
    } cases[] = {
        {"/bin/t a >/o 2>/e", {"/bin/t", "a"}, {{1, "/o", false, -1}, {2, "/e", false, -1}}},
        {"/bin/t >>'/o' 2>>/e", {"/bin/t"}, {{1, "/o", true, -1}, {2, "/e", true, -1}}},
        {"/bin/t >/o 2>&1", {"/bin/t"}, {{1, "/o", false, -1}, {2, "", false, 1}}},
        {"/bin/t 2>&1 >/o", {"/bin/t"}, {{2, "", false, 1}, {1, "/o", false, -1}}},
        {"/bin/t > 'a b' 1> c", {"/bin/t"}, {{1, "a b", false, -1}, {1, "c", false, -1}}},
        {"/bin/t 3>/x 0>/y", {"/bin/t"}, {{3, "/x", false, -1}, {0, "/y", false, -1}}},
        {">/o /bin/t 2 a2", {"/bin/t", "2", "a2"}, {{1, "/o", false, -1}}},  // digits not touching '>' are words
        {"\t/bin/t\t'' x=1  ", {"/bin/t", "", "x=1"}, {}},
        {"/bin/t a\\ b \\$x", {"/bin/t", "a b", "$x"}, {}},
        {"'/bin/t' 'multi\nline'", {"/bin/t", "multi\nline"}, {}},
    };
    for (const Case& c : cases) {
        qlm::SimpleCommand cmd;
        ASSERT_TRUE(qlm::Parse_Simple_Command(c.line, cmd)) << c.line;
        EXPECT_EQ(cmd.argv, c.argv) << c.line;
        ASSERT_EQ(cmd.redirections.size(), c.red.size()) << c.line;
        for (size_t i = 0; i < c.red.size(); ++i) {
            const qlm::Redirection& r = cmd.redirections[i];
            EXPECT_EQ(r.fd, c.red[i].fd) << c.line << " #" << i;
            EXPECT_EQ(r.path, c.red[i].path) << c.line << " #" << i;
            EXPECT_EQ(r.append, c.red[i].append) << c.line << " #" << i;
            EXPECT_EQ(r.dupFrom, c.red[i].dupFrom) << c.line << " #" << i;
        }
    }
}

TEST(SimpleCommand, LeavesEverythingElseToTheShell) {
    const char* lines[] = {
        "",                      "   ",
        "echo hi >/o",           // no path: a builtin or a search of PATH
        ">/o",                   // no program at all
        "/bin/t a | /bin/u",     "/bin/t a; /bin/u",     "/bin/t a && /bin/u",   "/bin/t a &",
        "/bin/t a\n/bin/u",      "/bin/t $HOME",         "/bin/t ${x}",          "/bin/t $(id)",
        "/bin/t `id`",           "/bin/t \"dq\"",        "/bin/t *.txt",         "/bin/t a?",
        "/bin/t [ab]",           "/bin/t ~",             "/bin/t ~/x",           "/bin/t #comment",
        "/bin/t {a,b}",          "! /bin/t",             "/bin/t (x)",           "/bin/t <in",
        "/bin/t >&-",            "/bin/t 2>&x",          "/bin/t >|/o",          "/bin/t 12>/o",
        "/bin/t a>/o",           "/bin/t >",             "/bin/t 2>",            "/bin/t 'open",
        "/bin/t a\\",            "/bin/t a\\\nb",        "A=/bin/t x",           "PATH=/x /bin/t",
        "/bin/t 2>&1>/o",        "/bin/t a\rb",
    };
    for (const char* line : lines) {
        qlm::SimpleCommand cmd;
        EXPECT_FALSE(qlm::Parse_Simple_Command(line, cmd)) << line;
    }
}

}  // namespace
