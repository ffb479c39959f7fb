#include "common/csvreader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "../platform_testdir.h"

namespace {

using Cells = std::vector<std::string>;

// A document loaded from a fixture text written into a private folder.
class CsvTest : public ::testing::Test {
protected:
    int Load(const std::string& text, size_t skip = 0, csvx::Backslash bs = csvx::Backslash::Plain) {
        plattest::Write_File(dir_ / "in.csv", text);
        return doc_.Load(dir_ / "in.csv", skip, bs);
    }
    Cells Row(size_t r) const {
        Cells out;
        for (size_t c = 0; c < doc_.ColumnNames().size(); ++c) {
            std::string cell = "?";
            EXPECT_TRUE(doc_.GetCell(static_cast<int>(c), r, cell));
            out.push_back(cell);
        }
        return out;
    }

    plattest::TempDir dir_;
    csvx::Document doc_;
};

// Points fd 2 at a file for one scope; Finish() gives what was written there.
class StderrCapture {
public:
    explicit StderrCapture(std::string path) : path_(std::move(path)) {
        fflush(stderr);
        saved_ = dup(2);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { Finish(); }
    std::string Finish() {
        if (saved_ >= 0) {
            fflush(stderr);
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
        }
        return plattest::Read_File(path_);
    }

private:
    std::string path_;
    int saved_ = -1;
};

TEST_F(CsvTest, QuotedCellsKeepCommasLineBreaksAndQuotes) {
    ASSERT_EQ(Load("id,name,note\n"
                   "1,\"a, b\",\"line1\nline2\"\n"
                   "2,\"say \"\"hi\"\"\",ab\"c\n"
                   "3,\"\",\n"),
              0);
    EXPECT_EQ(doc_.ColumnNames(), (Cells{"id", "name", "note"}));
    ASSERT_EQ(doc_.RowCount(), 3u);
    EXPECT_EQ(Row(0), (Cells{"1", "a, b", "line1\nline2"}));
    EXPECT_EQ(Row(1), (Cells{"2", "say \"hi\"", "ab\"c"}));  // a stray quote stays text
    EXPECT_EQ(Row(2), (Cells{"3", "", ""}));
}

TEST_F(CsvTest, CrLfBomBlankLinesAndUntrimmedCells) {
    ASSERT_EQ(Load("\xEF\xBB\xBF\"id\",name\r\n"
                   "\r\n"
                   "1,  x \t\r\n"
                   "\n"
                   "2,\"q\r\nr\"\r\n"),
              0);
    EXPECT_EQ(doc_.ColumnIndex("id"), 0);
    EXPECT_EQ(doc_.ColumnNames(), (Cells{"id", "name"}));
    ASSERT_EQ(doc_.RowCount(), 2u);
    EXPECT_EQ(Row(0), (Cells{"1", "  x \t"}));
    EXPECT_EQ(Row(1), (Cells{"2", "q\nr"}));
}

TEST_F(CsvTest, RaggedRowsArePaddedOrCut) {
    ASSERT_EQ(Load("a,b,c\n1\n1,2,3,4\n5,6\n"), 0);
    ASSERT_EQ(doc_.RowCount(), 3u);
    EXPECT_EQ(Row(0), (Cells{"1", "", ""}));
    EXPECT_EQ(Row(1), (Cells{"1", "2", "3"}));
    EXPECT_EQ(doc_.GetColumn("c"), (Cells{"", "3", ""}));
    std::string out = "kept";
    EXPECT_FALSE(doc_.GetCell(3, 1, out));  // the extra cell is not a column
    EXPECT_EQ(out, "kept");
}

TEST_F(CsvTest, SkipsLinesBeforeTheHeader) {
    const std::string text = "Got 2 files, for user a@x.com\nid,depth\nf1,0\nf2,1\n";
    struct Case {
        size_t skip;
        Cells names;
        size_t rows;
    };
    const Case cases[] = {
        {0, {"Got 2 files", " for user a@x.com"}, 3},
        {1, {"id", "depth"}, 2},
        {9, {}, 0},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Load(text, c.skip), 0) << c.skip;
        EXPECT_EQ(doc_.ColumnNames(), c.names) << c.skip;
        EXPECT_EQ(doc_.RowCount(), c.rows) << c.skip;
    }
    ASSERT_EQ(Load(text, 1), 0);
    EXPECT_EQ(doc_.GetColumn("depth"), (Cells{"0", "1"}));
}

TEST_F(CsvTest, ColumnsByNameAndMissingColumns) {
    ASSERT_EQ(Load("User,messages,User\na@x.com,12,b@x.com\n"), 0);
    EXPECT_EQ(doc_.ColumnIndex("User"), 0);  // first of two equal names
    EXPECT_EQ(doc_.ColumnIndex("user"), -1);
    EXPECT_TRUE(doc_.HasColumn("messages"));
    EXPECT_FALSE(doc_.HasColumn("Messages"));

    std::string out = "kept";
    EXPECT_TRUE(doc_.GetCell("messages", 0, out));
    EXPECT_EQ(out, "12");
    out = "kept";
    EXPECT_FALSE(doc_.GetCell("Messages", 0, out));
    EXPECT_FALSE(doc_.GetCell("messages", 1, out));
    EXPECT_FALSE(doc_.GetCell(-1, 0, out));
    EXPECT_EQ(out, "kept");

    StderrCapture capture(dir_ / "stderr");
    EXPECT_EQ(doc_.GetColumn("User"), (Cells{"a@x.com"}));
    EXPECT_TRUE(doc_.GetColumn("Messages").empty());
    EXPECT_EQ(capture.Finish(), "[Warning] Column not found: Messages\n");
}

TEST_F(CsvTest, FilesThatHoldNothingAndFilesThatCannotBeRead) {
    ASSERT_EQ(Load("id,name\nx,y\n"), 0);
    EXPECT_EQ(doc_.Load(dir_ / "missing.csv"), -2);
    EXPECT_TRUE(doc_.ColumnNames().empty());  // nothing left of the earlier load
    EXPECT_EQ(doc_.RowCount(), 0u);
    EXPECT_EQ(doc_.Load(dir_.path()), -161);  // a folder

    ASSERT_EQ(Load(""), 0);
    EXPECT_TRUE(doc_.ColumnNames().empty());
    EXPECT_EQ(doc_.RowCount(), 0u);

    ASSERT_EQ(Load("id,name\n"), 0);
    EXPECT_EQ(doc_.ColumnNames(), (Cells{"id", "name"}));
    EXPECT_EQ(doc_.RowCount(), 0u);
    EXPECT_TRUE(doc_.GetColumn("id").empty());
}

TEST(CsvNumbers, WholeTextDecimalsOnly) {
    struct Case {
        const char* text;
        bool ok;
        int64_t value;
    };
    const Case cases[] = {
        {"42", true, 42},
        {"-7", true, -7},
        {"9223372036854775807", true, INT64_MAX},
        {"9223372036854775808", false, 0},
        {"", false, 0},
        {" 1", false, 0},
        {"1 ", false, 0},
        {"1.5", false, 0},
        {"abc", false, 0},
        {"-", false, 0},
    };
    for (const Case& c : cases) {
        int64_t v = 99;
        EXPECT_EQ(csvx::ToInt64(c.text, v), c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : 99) << c.text;
    }
    int i = 5;
    EXPECT_TRUE(csvx::ToInt("-2147483648", i));
    EXPECT_EQ(i, INT32_MIN);
    EXPECT_FALSE(csvx::ToInt("2147483648", i));
    EXPECT_EQ(i, INT32_MIN);
}

// GAM's listings escape a backslash with a backslash; read so, one and two in a row come back as
// they were in Google, inside quoted cells too, beside doubled quotes and raw line breaks. Read
// plain (the contact-group listing, the other tools), a backslash stays as written.
TEST_F(CsvTest, BackslashEscapesAreReadOnlyWhenAsked) {
    const std::string text =
        "id,name\n"
        "1,a\\\\b\n"
        "2,c\\\\\\\\d\n"
        "3,\"q \"\"x\"\" \\\\, y\"\n"
        "4,\"two\nlines\\\\\"\n"
        "5,end\\\\\n"
        "6,\\\\\\\\\\\\\n";
    const struct {
        csvx::Backslash bs;
        std::vector<std::string> names;
    } cases[] = {
        {csvx::Backslash::Escape, {"a\\b", "c\\\\d", "q \"x\" \\, y", "two\nlines\\", "end\\", "\\\\\\"}},
        {csvx::Backslash::Plain,
         {"a\\\\b", "c\\\\\\\\d", "q \"x\" \\\\, y", "two\nlines\\\\", "end\\\\", "\\\\\\\\\\\\"}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Load(text, 0, c.bs), 0);
        EXPECT_EQ(doc_.GetColumn("name"), c.names) << static_cast<int>(c.bs);
        EXPECT_EQ(doc_.GetColumn("id"), (Cells{"1", "2", "3", "4", "5", "6"}));
    }
}

}  // namespace
