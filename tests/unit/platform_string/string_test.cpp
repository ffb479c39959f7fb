// Texts and ids: formatting into a reused string, the id form that guards every path built from a
// request, and comma lists turned into JSON that survives any item.
#include "plat_json.h"
#include "plat_string.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

// ---- Print_String_From_Format

TEST(PrintString, OutHoldsExactlyTheLastFormattedText) {
    std::string out = "a much longer command line left over from before";
    ASSERT_EQ(smbbackup::Print_String_From_Format(out, "%s -info %s >%s", "/bin/scoutix", "k", "o"), 0);
    EXPECT_EQ(out, "/bin/scoutix -info k >o");
    ASSERT_EQ(smbbackup::Print_String_From_Format(out, "%d", 7), 0);
    EXPECT_EQ(out, "7");
    // Arguments are inserted, never read as a format themselves.
    ASSERT_EQ(smbbackup::Print_String_From_Format(out, "[%s]", "%s%n%d"), 0);
    EXPECT_EQ(out, "[%s%n%d]");
    std::string big(100000, 'x');
    ASSERT_EQ(smbbackup::Print_String_From_Format(out, "%s|%s", big.c_str(), "end"), 0);
    EXPECT_EQ(out, big + "|end");
    ASSERT_EQ(smbbackup::Print_String_From_Format(out, "%s", ""), 0);
    EXPECT_EQ(out, "");
}

TEST(PrintString, FailureEmptiesTheOutText) {
    std::string out = "rm -rf /old/target";
    // Outside a UTF-8 locale a wide character that is not ASCII cannot be converted.
    EXPECT_EQ(smbbackup::Print_String_From_Format(out, "%ls", L"\u00e9"), -EINVAL);
    EXPECT_EQ(out, "") << "a caller that misses the result must not run the previous line";
    out = "stale";
    const char* no_format = getenv("QLM_NO_SUCH_VARIABLE_EVER");
    EXPECT_EQ(smbbackup::Print_String_From_Format(out, no_format), -EINVAL);
    EXPECT_EQ(out, "");
}

// ---- Ids

TEST(Ids, NewIdsAreDistinctAndOfTheCheckedForm) {
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        std::string id = smbbackup::Create_New_ID();
        ASSERT_EQ(id.size(), 36u);
        ASSERT_TRUE(smbbackup::Is_Task_Configure_File_Name(id.c_str())) << id;
        ASSERT_TRUE(seen.insert(id).second) << "repeated id " << id;
    }
}

TEST(Ids, OnlyTheExactFormPasses) {
    struct Case {
        const char* name;
        bool ok;
    } cases[] = {
        {"0f8fad5b-d9cb-469f-a165-70867728950e", true},
        {"00000000-0000-0000-0000-000000000000", true},
        {"0F8FAD5B-D9CB-469F-A165-70867728950E", false},  // ids are made lower-case
        {"0f8fad5b-d9cb-469f-a165-70867728950", false},
        {"0f8fad5b-d9cb-469f-a165-70867728950e0", false},
        {"0f8fad5b-d9cb-469f-a165-70867728950e\n", false},
        {"0f8fad5bd-9cb-469f-a165-70867728950e", false},
        {"0f8fad5b-d9cb-469f-a165-70867728950g", false},
        {"0f8fad5b-d9cb-469f-a165-7086772895/e", false},
        {"../../../../../../../../../etc/passw", false},
        {"0f8fad5b-d9cb-469f-a165-70867728950e.db", false},
        {"history_mission", false},
        {"", false},
        {nullptr, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(smbbackup::Is_Task_Configure_File_Name(c.name), c.ok) << (c.name ? c.name : "NULL");
}

// ---- Parse_Separated_Data_To_Json_String

// The items read back from the array text, or a marker when the text is not a list of strings.
std::vector<std::string> Items(const std::string& json) {
    RAIIful_Json list(Json_From_String(json.c_str()));
    if (!Json_Is_List(list.get())) return {"<not a list>"};
    std::vector<std::string> items;
    for (int i = 0; i < Json_List_Size(list.get()); ++i) {
        const char* s = Json_Get_String(Json_List_Child(list.get(), i));
        items.push_back(s ? s : "<not a string>");
    }
    return items;
}

TEST(SeparatedData, ItemsBecomeAJsonArrayOfStrings) {
    struct Case {
        const char* text;
        const char* sep;
        std::vector<std::string> items;
    } cases[] = {
        {"1,15,31", ",", {"1", "15", "31"}},
        {"monday, friday ", ",", {"monday", "friday"}},
        {",a,,b,", ",", {"a", "b"}},
        {" , ", ",", {}},
        {"", ",", {}},
        {nullptr, ",", {}},
        {"123456789012345678901", ",", {"123456789012345678901"}},  // beyond int64: stays text
        {"say \"hi\",a\\b,c/d", ",", {"say \"hi\"", "a\\b", "c/d"}},
        {"\"],[\"x", ",", {"\"]", "[\"x"}},
        {"tab\x01" "ctl", ",", {"tab\x01" "ctl"}},
        {"a::b:c", "::", {"a", "b:c"}},
        {"a,b", "", {"a,b"}},
        {"a,b", nullptr, {"a,b"}},
    };
    for (const Case& c : cases) {
        std::string json = smbbackup::Parse_Separated_Data_To_Json_String(c.text, c.sep, 0);
        EXPECT_EQ(Items(json), c.items) << (c.text ? c.text : "NULL") << " -> " << json;
    }
    EXPECT_EQ(smbbackup::Parse_Separated_Data_To_Json_String(nullptr, ",", 0), "[]");
    EXPECT_EQ(smbbackup::Parse_Separated_Data_To_Json_String("1,2", ",", 0), R"(["1","2"])");
}

TEST(SeparatedData, NumericItemsReadAsIntegers) {
    RAIIful_Json days(Json_From_String(smbbackup::Parse_Separated_Data_To_Json_String("31,15", ",", 0).c_str()));
    ASSERT_EQ(Json_List_Size(days.get()), 2);
    EXPECT_EQ(Json_Get_Int(Json_List_Child(days.get(), 0)), 31);
    EXPECT_EQ(Json_Get_Int(Json_List_Child(days.get(), 1)), 15);
}

// ---- Copy_String

TEST(CopyString, GivesAPrivateCopyAndLeavesOutAloneOnFailure) {
    char* out = nullptr;
    std::string src = "admin@example.com";
    ASSERT_EQ(Copy_String(&out, src.c_str()), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_NE(out, src.c_str());
    src[0] = 'X';
    EXPECT_STREQ(out, "admin@example.com");

    char* kept = out;
    EXPECT_EQ(Copy_String(&out, nullptr), -EINVAL);
    EXPECT_EQ(out, kept);
    free(out);
    EXPECT_EQ(Copy_String(nullptr, "x"), -EINVAL);
}

}  // namespace
