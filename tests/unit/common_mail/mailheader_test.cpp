// Sender and recipient fields from mail headers, and header values from emlsift's dump.
#include <gtest/gtest.h>

#include <string>

#include "common/mailheader.h"
#include "plat_json.h"

namespace {

TEST(ParseNameEmail, SplitsDisplayNameAndAddress) {
    struct Case {
        const char* text;
        const char* name;
        const char* addr;
    } cases[] = {
        {"\"Carol Added\" <carol@else.test>", "\"Carol Added\"", "carol@else.test"},
        {"Bob <bob@example.test>", "Bob", "bob@example.test"},
        {"<only@example.test>", "", "only@example.test"},
        {"  bare@example.test\t", "bare@example.test", "bare@example.test"},
        // Several recipients: the first name and address only.
        {"A <a@x.test>, B <b@x.test>", "A", "a@x.test"},
        // The first ">" after the first "<".
        {"X <x@y.test> <z@y.test>", "X", "x@y.test"},
        // A "<" without a ">" after it is no address.
        {"broken <a@x.test", "broken <a@x.test", "broken <a@x.test"},
        {"a@x.test > b", "a@x.test > b", "a@x.test > b"},
        {" \t ", "", ""},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        std::string name = "old", addr = "old";
        qlm::parseNameEmail(c.text, name, addr);
        EXPECT_EQ(name, c.name) << c.text;
        EXPECT_EQ(addr, c.addr) << c.text;
    }
}

TEST(GetFirstHeaderValue, TakesTheFirstTextOfTheList) {
    RAIIful_Json dump(Json_From_String(
        R"({"From": ["Ann <a@x.test>", "second"], "Empty": [], "NotList": "text", "Number": [5], "Subject": [""]})"));
    ASSERT_TRUE(dump);
    EXPECT_EQ(qlm::Get_First_Header_Value(dump.get(), "From"), "Ann <a@x.test>");
    for (const char* key : {"Empty", "NotList", "Number", "Subject", "Missing"})
        EXPECT_EQ(qlm::Get_First_Header_Value(dump.get(), key), "") << key;
    EXPECT_EQ(qlm::Get_First_Header_Value(nullptr, "From"), "");
}

}  // namespace
