// Request parameters, typed parameters and the JSON header of the CGI agent.
#include "../platform_stdio.h"
#include "plat_cgi.h"

#include <gtest/gtest.h>
#include <memory>
#include <optional>

using plattest::ScopedEnv;
using plattest::TempDir;

namespace {

struct Request {
    const char* method;
    const char* contentType;
    const char* contentLength;
    const char* query;
    std::string body;
};

// Builds an agent for the request, with the body on standard input; returns what is left unread
// of standard input through leftover.
std::unique_ptr<O_APP_CGI_AGENT> Make_Agent(const TempDir& dir, const Request& r, std::string* leftover = nullptr) {
    ScopedEnv m("REQUEST_METHOD", r.method), t("CONTENT_TYPE", r.contentType),
        l("CONTENT_LENGTH", r.contentLength), q("QUERY_STRING", r.query);
    std::unique_ptr<O_APP_CGI_AGENT> agent;
    plattest::Capture_Stdout(dir, r.body, [&] {
        agent = std::make_unique<O_APP_CGI_AGENT>(0);
        if (leftover) {
            char buf[256];
            ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            leftover->assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
        }
    });
    return agent;
}

struct Param_Case {
    const char* what;
    Request req;
    const char* name;
    std::optional<std::string> want;  // nullopt: absent
};

class Cgi_Params : public ::testing::TestWithParam<Param_Case> {};

TEST_P(Cgi_Params, Decodes_And_Picks_The_First) {
    TempDir dir;
    const Param_Case& c = GetParam();
    auto agent = Make_Agent(dir, c.req);
    const char* got = agent->Get_Param(c.name);
    if (!c.want) {
        EXPECT_EQ(got, nullptr) << c.what;
    } else {
        ASSERT_NE(got, nullptr) << c.what;
        EXPECT_EQ(std::string(got), *c.want) << c.what;
    }
}

const char kForm[] = "application/x-www-form-urlencoded";

INSTANTIATE_TEST_SUITE_P(Table, Cgi_Params, ::testing::Values(
    Param_Case{"plain", {"GET", "", "", "act=list_task&task_id=7", ""}, "task_id", "7"},
    Param_Case{"bare name", {"GET", "", "", "x=1&act", ""}, "act", ""},
    Param_Case{"empty value", {"GET", "", "", "act=&x=1", ""}, "act", ""},
    Param_Case{"absent", {"GET", "", "", "action=1&xact=2", ""}, "act", std::nullopt},
    Param_Case{"no query at all", {"GET", "", "", "", ""}, "act", std::nullopt},
    Param_Case{"first occurrence wins", {"GET", "", "", "a=1&a=2", ""}, "a", "1"},
    Param_Case{"plus and escapes", {"GET", "", "", "q=a+b%20c%2Bd", ""}, "q", "a b c+d"},
    Param_Case{"utf-8 escapes", {"GET", "", "", "q=%E2%82%ac", ""}, "q", "\xE2\x82\xAC"},
    Param_Case{"escaped name", {"GET", "", "", "%61ct=x", ""}, "act", "x"},
    Param_Case{"escaped ampersand stays in value", {"GET", "", "", "q=a%26b=c&b=2", ""}, "q", "a&b=c"},
    Param_Case{"bad escapes kept", {"GET", "", "", "q=100%25%zz%4", ""}, "q", "100%%zz%4"},
    Param_Case{"lone percent at end", {"GET", "", "", "q=%", ""}, "q", "%"},
    Param_Case{"form body", {"POST", kForm, "12", "", "a=1&b=x+y%21"}, "b", "x y!"},
    Param_Case{"form type with charset", {"POST", "Application/X-WWW-Form-Urlencoded; charset=UTF-8", "3", "", "a=1"}, "a", "1"},
    Param_Case{"query before body", {"POST", kForm, "7", "a=query", "a=body"}, "a", "query"},
    Param_Case{"query read for POST", {"POST", kForm, "3", "act=auth", "b=2"}, "act", "auth"},
    Param_Case{"body beyond CONTENT_LENGTH ignored", {"POST", kForm, "5", "", "a=123&b=2"}, "a", "123"},
    Param_Case{"body beyond CONTENT_LENGTH ignored 2", {"POST", kForm, "5", "", "a=123&b=2"}, "b", std::nullopt},
    Param_Case{"body of a GET ignored", {"GET", kForm, "3", "", "a=1"}, "a", std::nullopt},
    Param_Case{"bad CONTENT_LENGTH ignored", {"POST", kForm, "3x", "", "a=1"}, "a", std::nullopt},
    Param_Case{"multipart body not parsed", {"POST", "multipart/form-data; boundary=B", "3", "", "a=1"}, "a", std::nullopt}));

TEST(Cgi_Agent, Length_Counts_The_Whole_Value_Past_A_NUL_In_Query_And_Body) {
    TempDir dir;
    const struct {
        const char* what;
        Request req;
        int rc;
        size_t len;
        const char* text;  // what Get_Param gives
    } cases[] = {
        {"plain", {"GET", "", "", "e=abc", ""}, 0, 3, "abc"},
        {"empty", {"GET", "", "", "e=", ""}, 0, 0, ""},
        {"NUL in the query", {"GET", "", "", "e=a%00bc", ""}, 0, 4, "a"},
        {"NUL in a form body", {"POST", kForm, "10", "", "e=a%00bc&x"}, 0, 4, "a"},
        {"absent", {"GET", "", "", "x=1", ""}, -61, 99, nullptr},
    };
    for (const auto& c : cases) {
        auto agent = Make_Agent(dir, c.req);
        size_t len = 99;
        EXPECT_EQ(agent->Get_Param_Length("e", len), c.rc) << c.what;
        EXPECT_EQ(len, c.len) << c.what;
        const char* text = agent->Get_Param("e");
        EXPECT_EQ(text ? std::optional<std::string>(text) : std::nullopt,
                  c.text ? std::optional<std::string>(c.text) : std::nullopt) << c.what;
    }
}

TEST(Cgi_Agent, Leaves_A_Multipart_Body_Unread) {
    TempDir dir;
    std::string left;
    const std::string body = "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"k\"\r\n\r\nx\r\n--B--\r\n";
    auto agent = Make_Agent(dir, {"POST", "multipart/form-data; boundary=B", std::to_string(body.size()).c_str(),
                                  "act=auth&admin_email=a%40b.example", body},
                            &left);
    EXPECT_STREQ(agent->Get_Param("admin_email"), "a@b.example");
    EXPECT_EQ(left, body);
}

struct Typed_Case {
    const char* value;  // nullptr: parameter absent
    bool boolOk;
    int boolWant;
    bool intOk;
    int64_t intWant;  // also the 64-bit result when that one is valid
    bool int64Ok;
};

class Cgi_Typed : public ::testing::TestWithParam<Typed_Case> {};

TEST_P(Cgi_Typed, Sets_Only_Valid_Values) {
    TempDir dir;
    const Typed_Case& c = GetParam();
    std::string query = c.value ? std::string("v=") + c.value : "other=1";
    auto agent = Make_Agent(dir, {"GET", "", "", query.c_str(), ""});
    const std::string what = c.value ? c.value : "(absent)";

    int b = -7;
    EXPECT_EQ(agent->Get_Boolean_Param("v", b) == 0, c.boolOk) << what;
    EXPECT_EQ(b, c.boolOk ? c.boolWant : -7) << what;

    int i = -7;
    EXPECT_EQ(agent->Get_Integer_Param("v", i) == 0, c.intOk) << what;
    EXPECT_EQ(i, c.intOk ? static_cast<int>(c.intWant) : -7) << what;

    int64_t l = -7;
    EXPECT_EQ(agent->Get_Integer_Param("v", l) == 0, c.int64Ok) << what;
    EXPECT_EQ(l, c.int64Ok ? c.intWant : -7) << what;
}

INSTANTIATE_TEST_SUITE_P(Table, Cgi_Typed, ::testing::Values(
    Typed_Case{"1", true, 1, true, 1, true},
    Typed_Case{"0", true, 0, true, 0, true},
    Typed_Case{"TRUE", true, 1, false, 0, false},
    Typed_Case{"False", true, 0, false, 0, false},
    Typed_Case{"yes", true, 1, false, 0, false},
    Typed_Case{"off", true, 0, false, 0, false},
    Typed_Case{"2", false, 0, true, 2, true},
    Typed_Case{"-1", false, 0, true, -1, true},
    Typed_Case{"%2B15", false, 0, true, 15, true},
    Typed_Case{"", false, 0, false, 0, false},
    Typed_Case{"12abc", false, 0, false, 0, false},
    Typed_Case{"+", false, 0, false, 0, false},
    Typed_Case{"+-3", false, 0, false, 0, false},
    Typed_Case{"%201", false, 0, false, 0, false},
    Typed_Case{"0x10", false, 0, false, 0, false},
    Typed_Case{"2147483647", false, 0, true, 2147483647, true},
    Typed_Case{"2147483648", false, 0, false, 2147483648LL, true},
    Typed_Case{"-2147483649", false, 0, false, -2147483649LL, true},
    Typed_Case{"9223372036854775808", false, 0, false, 0, false},
    Typed_Case{nullptr, false, 0, false, 0, false}));

TEST(Cgi_Agent, Int64_Takes_Values_Beyond_Int) {
    TempDir dir;
    auto agent = Make_Agent(dir, {"GET", "", "", "v=-9223372036854775808&w=4294967296", ""});
    int64_t v = 0, w = 0;
    ASSERT_EQ(agent->Get_Integer_Param("v", v), 0);
    ASSERT_EQ(agent->Get_Integer_Param("w", w), 0);
    EXPECT_EQ(v, INT64_MIN);
    EXPECT_EQ(w, 4294967296LL);
}

// The flag is process-wide, so each check runs in a fresh child.
TEST(Cgi_Header, Printed_Once_Per_Process) {
    TempDir dir;
    auto r = plattest::Run_Child(dir, {{"QUERY_STRING", "act=x"}}, "", [] {
        if (Content_Type_Header_Printed()) return 10;
        O_APP_CGI_AGENT a(0), b(0);
        a.Print_Content_Type_Header();
        if (!Content_Type_Header_Printed()) return 11;
        a.Print_Content_Type_Header();
        b.Print_Content_Type_Header();
        fputs("{ }\n", stdout);
        return 0;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Content-Type: application/json; charset=UTF-8\r\n\r\n{ }\n");
}

TEST(Cgi_Header, Not_Printed_After_A_Download_Header) {
    TempDir dir;
    auto r = plattest::Run_Child(dir, {}, "", [] {
        Mark_Content_Type_Header_Printed();
        O_APP_CGI_AGENT a(0);
        a.Print_Content_Type_Header();
        return Content_Type_Header_Printed() ? 0 : 1;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
}

}  // namespace
