// Every reply is valid UTF-8 whatever the texts in it hold: stored request texts and names from
// Google may carry any bytes, and a strict JSON client cannot read a page holding an ill-formed
// sequence. Each one becomes U+FFFD; well-formed text passes unchanged.
#include "web/reply.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "../platform_stdio.h"
#include "browse/tree_reply.h"
#include "plat_json.h"

namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

TEST(ReplyUtf8, IllFormedSequencesBecomeOneReplacementPerMaximalPart) {
    const struct {
        const char* name;
        std::string in;
        std::string out;
    } cases[] = {
        {"ASCII with escapes", "plain \\\"text\\\" \\u0001", "plain \\\"text\\\" \\u0001"},
        {"two, three and four bytes", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"the highest code point and a noncharacter", "\xF4\x8F\xBF\xBF\xEF\xBF\xBE", "\xF4\x8F\xBF\xBF\xEF\xBF\xBE"},
        {"bytes that start nothing (%ff%fe)", "a\xFF\xFE" "b", "a" + R + R + "b"},
        {"a stray continuation byte", "\x80", R},
        {"overlong '/' in two bytes", "\xC0\xAF", R + R},
        {"overlong '/' in three bytes", "\xE0\x80\xAF", R + R + R},
        {"overlong '/' in four bytes", "\xF0\x80\x80\xAF", R + R + R + R},
        {"a surrogate", "\xED\xA0\x80", R + R + R},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R},
        {"five-byte form", "\xF8\x88\x80\x80\x80", R + R + R + R + R},
        {"cut short at the end", "a\xE2\x82", "a" + R},
        {"cut short before ASCII", "\xE2\x82" "A", R + "A"},
        {"cut short before a whole one", "\xF0\x9F\x98\xF0\x9F\x98\x80", R + "\xF0\x9F\x98\x80"},
        {"several cut short in a row", "\xE1\x80\xE2\xF0\x91\x92\xF1\xBF" "A", R + R + R + R + "A"},
    };
    for (const auto& c : cases) EXPECT_EQ(qlm::Valid_Utf8(c.in), c.out) << c.name;
}

// A record as stored: names with ill-formed bytes in a value, in a key and in a nested list.
PT_JSON Stored_Record() {
    PT_JSON rec = Json_Dict_Init();
    Json_Dict_Add_Str(rec, "mission_name", "Nightly\xFF\xFE");
    Json_Dict_Add_Str(rec, "k\xC0\xAF", "v");
    PT_JSON list = Json_List_Init();
    Json_List_Add_Str(list, "\xED\xA0\x80" "x");
    Json_Dict_Add_List(rec, "service", list);
    return rec;
}

TEST(ReplyUtf8, EveryReplyWriterPrintsValidUtf8AndLeavesTheDataAlone) {
    plattest::TempDir dir;
    const struct {
        const char* name;
        std::function<int()> write;
    } writers[] = {
        {"a whole reply", [] {
             RAIIful_Json rec(Stored_Record());
             qlm::Reply_Json(rec.get());
             // The record keeps its bytes: only what is printed is repaired.
             const char* name = nullptr;
             Json_Dict_Find_Str(rec.get(), "mission_name", name);
             return std::string(name) == "Nightly\xFF\xFE" ? 0 : 1;
         }},
        {"an error reply", [] {
             qlm::Reply_Error(5302, "Nightly\xFF\xFE");
             return 0;
         }},
        {"a reply written row by row", [] {
             qlm::Tree_Reply_Stream out;
             RAIIful_Json rec(Stored_Record());
             out.Add(rec.get());
             out.Add(rec.get());
             out.Finish(2);
             return 0;
         }},
    };
    for (const auto& w : writers) {
        const auto r = plattest::Run_Child(dir, {}, "", w.write);
        EXPECT_EQ(r.exitCode, 0) << w.name;
        EXPECT_EQ(qlm::Valid_Utf8(r.out), r.out) << w.name;
        EXPECT_NE(r.out.find("Nightly" + R + R), std::string::npos) << w.name << ": " << r.out;
        RAIIful_Json back(Json_From_String(r.out.substr(r.out.find('{')).c_str()));
        EXPECT_TRUE(back) << w.name;
    }
}

}  // namespace
