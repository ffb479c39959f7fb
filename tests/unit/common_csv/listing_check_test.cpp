// The checks a tool's listing passes before a backup reads anything from it: a tool may exit 0
// with its output cut short, garbled or missing.
#include "common/listing_check.h"

#include <gtest/gtest.h>

#include <string>

#include "../platform_testdir.h"
#include "common/csvreader.h"

namespace {

TEST(LoadListing, TakesOnlyWholeListings) {
    struct Case {
        const char* name;
        const char* text;
        const char* problem;  // "" for a whole listing
        size_t rows;
    } cases[] = {
        {"whole", "id,name\na,x\nb,y\n", "", 2},
        {"CRLF line ends", "id,name\r\na,x\r\n", "", 1},
        {"a header alone (an empty result)", "id,name\n", "", 0},
        {"a line break inside a quoted cell", "id,name\na,\"two\nlines\"\n", "", 1},
        {"cut in the middle of a row", "id,name\na,x\nb,", "is incomplete: the last row is cut short", 0},
        {"cut right after a line break inside a quoted cell", "id,name\na,x\nb,\"two\n",
         "is incomplete: the last row is cut short", 0},
        {"cut inside a quoted cell", "id,name\na,\"tw", "is incomplete: the last row is cut short", 0},
        {"a row with fewer cells", "id,name\na\nb,y\n", "is incomplete: row 1 has 1 cells for the header's 2 columns", 0},
        {"a row with more cells", "id,name\na,x,z\n", "is unreadable: row 1 has 3 cells for the header's 2 columns", 0},
        {"empty", "", "is unreadable: the output is empty", 0},
        {"blanks only", " \n\n", "is unreadable: the output is empty", 0},
        {"without the needed column", "<html>502 Bad Gateway \"x\n<<<>>>\n",
         "is unreadable: its header has no column id", 0},
    };
    plattest::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        plattest::Write_File(dir / "l.csv", c.text);
        csvx::Document doc;
        std::string problem = "stale";
        const int rc = doc.LoadListing(dir / "l.csv", 0, csvx::Backslash::Plain, {"id"}, problem);
        EXPECT_EQ(problem, c.problem);
        EXPECT_EQ(rc, problem.empty() ? 0 : -161);
        EXPECT_EQ(doc.RowCount(), c.rows);
    }
    csvx::Document doc;
    std::string problem;
    EXPECT_EQ(doc.LoadListing(dir / "missing.csv", 0, csvx::Backslash::Plain, {}, problem), -2);
    EXPECT_EQ(problem, "is unreadable: the output is missing");
    // A file tree cut inside GAM's own first line has no header at all.
    plattest::Write_File(dir / "t.csv", "User: a@b.c, Print 1 Drive File/Folder\n");
    EXPECT_EQ(doc.LoadListing(dir / "t.csv", 1, csvx::Backslash::Escape, {}, problem), -161);
    EXPECT_EQ(problem, "is incomplete: it ends before its header");
}

TEST(JsonListing, ParsesWholeOrNotAtAll) {
    struct Case {
        const char* name;
        const char* text;
        const char* problem;
    } cases[] = {
        {"whole", "{\"permissions\": [{\"role\": \"organizer\"}]}\n", ""},
        {"a list", "[1, 2]", ""},
        {"cut short", "{\"permissions\": [{\"role\": \"orga", "is incomplete: the JSON reply is cut short"},
        {"garbage", "<html><body>502 Bad Gateway", "is unreadable: the output is not JSON"},
        {"text after the reply", "{\"a\": 1} trailing", "is unreadable: text follows the JSON reply"},
        {"empty", "", "is unreadable: the output is empty"},
    };
    plattest::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        plattest::Write_File(dir / "r.json", c.text);
        std::string problem;
        json_object* v = qlm::listing::Load_Json_Listing(dir / "r.json", problem);
        EXPECT_EQ(problem, c.problem);
        EXPECT_EQ(v != nullptr, problem.empty());
        json_object_put(v);
    }
}

TEST(TreeCountLine, AgreesWithTheTopRows) {
    plattest::TempDir dir;
    struct Case {
        const char* line;
        long long tops;
        const char* problem;
    } cases[] = {
        {"User: a@b.c, Print 2 Drive Files/Folders\n", 2, ""},
        {"User: a@b.c, Print 1 Drive File/Folder\n", 1, ""},
        {"User: a@b.c, Print 2 Drive Files/Folders\n", 1, "is incomplete: it states 2 top rows but holds 1"},
        {"User,index,depth\n", 1, "is unreadable: its first line states no count"},
        {"", 0, "is unreadable: its first line states no count"},
    };
    for (const Case& c : cases) {
        plattest::Write_File(dir / "tree", c.line);
        EXPECT_EQ(qlm::listing::Check_Tree_Count_Line(dir / "tree", c.tops), c.problem) << c.line;
    }
}

TEST(MessageCount, NineTenthsOfTheCountMakeAWholeListing) {
    EXPECT_EQ(qlm::listing::Check_Against_Count(9, 10), "");
    EXPECT_EQ(qlm::listing::Check_Against_Count(8, 10), "is incomplete: it holds 8 of the 10 messages counted");
    EXPECT_EQ(qlm::listing::Check_Against_Count(0, 0), "");
    EXPECT_EQ(qlm::listing::Check_Against_Count(30, 21), "");  // new mail since the count
    EXPECT_EQ(qlm::listing::Check_Against_Count(0, -1), "");   // no count to compare with
    EXPECT_FALSE(qlm::listing::Removal_Needs_Second_Listing(20, 10));
    EXPECT_TRUE(qlm::listing::Removal_Needs_Second_Listing(20, 11));
    EXPECT_FALSE(qlm::listing::Removal_Needs_Second_Listing(12, 10));  // a small account may empty out
}

}  // namespace
