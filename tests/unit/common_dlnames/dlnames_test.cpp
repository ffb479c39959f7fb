#include "common/dlnames.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../platform_testdir.h"
#include "common/filehelpers.h"
#include "common/csv_export.h"
#include "common/timeconv.h"
#include "plat_json.h"

namespace {

using qlm::CleanDownloadFileName;

TEST(CleanDownloadFileName, MakesEveryTextASafeName) {
    const std::string threeByte = "\xE6\x97\xA5";  // one CJK letter
    std::string hundred;
    for (int i = 0; i < 100; ++i) hundred += threeByte;
    const struct {
        std::string in, out;
    } cases[] = {
        {"Re: Q3/Q4 report?", "Re_ Q3_Q4 report_"},
        {"a::b", "a_b"},
        {"_:x", "_x"},
        {"a\tb", "ab"},
        {"  ..report.. ", "report"},
        {"...", "Untitled"},
        {"", "Untitled"},
        {"..", "Untitled"},
        {"../../etc/passwd", "_.._etc_passwd"},
        {"a\"b;c\r\nd", "a_b_cd"},
        {"con.txt", "_con.txt"},
        {"COM1", "_COM1"},
        {"lpt9.eml", "_lpt9.eml"},
        {"COM0", "COM0"},
        {"COM10", "COM10"},
        {"Caf\xC3\xA9 \xE2\x80\x94 notes", "Caf\xC3\xA9 \xE2\x80\x94 notes"},
        {hundred, hundred.substr(0, 240)},
        {std::string(241, 'a'), std::string(240, 'a')},
        {std::string(239, 'a') + threeByte, std::string(239, 'a')},
        {std::string(238, 'a') + ". " + "z", std::string(238, 'a')},
        // A cut that leaves a device name still gets its "_"; one that fills the length is cut again.
        {"PRN" + std::string(247, ' ') + "x", "_PRN"},
        {"CON." + std::string(236, 'c') + "x", "_CON." + std::string(235, 'c')},
    };
    for (const auto& c : cases) EXPECT_EQ(CleanDownloadFileName(c.in), c.out) << "input: " << c.in;
}

TEST(CommaList, SplitsWithoutTrimmingAndMatchesExactly) {
    EXPECT_EQ(qlm::parseCommaSeparatedStrings(",a,,b ,"), (std::vector<std::string>{"a", "b "}));
    EXPECT_TRUE(qlm::parseCommaSeparatedStrings("").empty());
    const auto list = qlm::parseCommaSeparatedStrings("1, 7,x");
    EXPECT_TRUE(qlm::containsString(list, " 7"));
    EXPECT_FALSE(qlm::containsString(list, "7"));
    EXPECT_FALSE(qlm::containsString(list, "X"));
}

TEST(DistinctItems, KeepsTheFirstOfEachItemInOrder) {
    using V = std::vector<std::string>;
    const struct {
        V in;
        bool byNumber;
        V out;
    } cases[] = {
        {{"b", "a", "b", "a", "c"}, false, {"b", "a", "c"}},
        {{"7", "07", "007", "-0", "0", "x7"}, false, {"7", "07", "007", "-0", "0", "x7"}},  // ids are texts
        {{"7", "07", "007", "-0", "0", "x7", " 7"}, true, {"7", "-0", "x7", " 7"}},         // indexes are numbers
        {{"99999999999999999999", "099999999999999999999"}, true, {"99999999999999999999", "099999999999999999999"}},
        {{}, true, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(qlm::Distinct_Items(c.in, c.byNumber), c.out) << c.in.size();
    const V many(20000, "12");
    EXPECT_EQ(qlm::Distinct_Items(many, true), V{"12"});
}

TEST(DriveFileName, EditorFilesGetTheirOpenDocumentExtensionOnce) {
    const char* doc = "application/vnd.google-apps.document";
    const char* sheet = "application/vnd.google-apps.spreadsheet";
    const char* slides = "application/vnd.google-apps.presentation";
    const struct {
        std::string name, mime, out;
    } cases[] = {
        {"Minutes of the board", doc, "Minutes of the board.odt"},
        {"Budget", sheet, "Budget.ods"},
        {"Deck", slides, "Deck.odp"},
        {"Minutes.odt", doc, "Minutes.odt"},
        {"Minutes.ODT", doc, "Minutes.ODT"},
        {"Budget.odt", sheet, "Budget.odt.ods"},  // another type's extension is part of the name
        {"Report.docx", doc, "Report.docx.odt"},
        {"", doc, "Untitled.odt"},
        {"a/b", sheet, "a_b.ods"},
        {"plan.txt", "text/plain", "plan.txt"},
        {"photo", "image/png", "photo"},
        {"Folder", "application/vnd.google-apps.folder", "Folder"},
        {"Drawing", "application/vnd.google-apps.drawing", "Drawing"},
        {std::string(300, 'x'), doc, std::string(240, 'x') + ".odt"},
    };
    for (const auto& c : cases) EXPECT_EQ(qlm::Drive_File_Name(c.name, c.mime), c.out) << c.name << " " << c.mime;
}

TEST(WholeInt, TakesOnlyWholeDecimalTexts) {
    const struct {
        const char* text;
        bool ok;
        long long value;
    } cases[] = {{"7", true, 7},   {"-3", true, -3}, {" 7", false, 0}, {"7x", false, 0},
                 {"x7", false, 0}, {"", false, 0},   {"+7", false, 0}, {"99999999999999999999", false, 0}};
    for (const auto& c : cases) {
        long long v = 0;
        EXPECT_EQ(qlm::Parse_Whole_Int(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(ExtractFilename, TakesTheFirstNonEmptyQuotedText) {
    const struct {
        std::string line, name;
    } cases[] = {
        {"Extracted attachment 0: \"invoice.pdf\"", "invoice.pdf"},
        {"no quotes here", ""},
        {"only \"\" an empty pair", ""},
        {"\"\"abc\"", "abc"},
        {"\"first\" and \"second\"", "first"},
        {"one \"unclosed", ""},
        {"\"" + std::string(1 << 20, 'n') + "\"", std::string(1 << 20, 'n')},
    };
    for (const auto& c : cases) EXPECT_EQ(qlm::extract_filename_from_line(c.line), c.name) << c.line.substr(0, 40);
}

TEST(DriveNameComponent, KeepsGoogleNamesButNeverLeavesTheFolder) {
    const struct {
        std::string in, out;
    } cases[] = {{"Re: notes.docx", "Re: notes.docx"}, {"a/b", "a_b"},        {"", "Untitled"},
                 {".", "Untitled"},                    {"..", "Untitled"},     {"../../x", ".._.._x"},
                 {std::string("a\0b", 3), "a_b"},      {"...", "..."},
                 // Longer than a file system takes: cut, the extension kept, no character split.
                 {std::string(5000, 'A'), std::string(240, 'A')},
                 {std::string(300, 'r') + ".pdf", std::string(236, 'r') + ".pdf"},
                 {std::string(239, 'e') + "\xc3\xa9\xc3\xa9", std::string(239, 'e')},
                 {"x." + std::string(300, 'y'), "x." + std::string(238, 'y')},
                 // No UTF-8 at all: cut where the bytes stand, never to nothing.
                 {std::string(300, '\xa1'), std::string(240, '\xa1')}};
    for (const auto& c : cases) EXPECT_EQ(qlm::Drive_Name_Component(c.in), c.out) << c.in.substr(0, 40);
}

class LinkOrCopy : public ::testing::Test {
protected:
    plattest::TempDir dir;
    std::string P(const std::string& name) const { return dir.path() + "/" + name; }
};

TEST_F(LinkOrCopy, SharesRegularFilesAndCountsOnAClash) {
    plattest::Write_File(P("src"), "content");
    mkdir(P("out").c_str(), 0700);
    EXPECT_EQ(Link_Or_Copy_Free(P("src"), P("out/a.txt")), P("out/a.txt"));
    EXPECT_EQ(Link_Or_Copy_Free(P("src"), P("out/a.txt")), P("out/a(1).txt"));
    struct stat a, b;
    ASSERT_EQ(stat(P("src").c_str(), &a), 0);
    ASSERT_EQ(stat(P("out/a(1).txt").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);  // linked, not copied
}

TEST_F(LinkOrCopy, RefusesLinksAndFoldersAndNeverWritesThroughALink) {
    plattest::Write_File(P("secret"), "secret");
    ASSERT_EQ(symlink(P("secret").c_str(), P("link").c_str()), 0);
    mkdir(P("folder").c_str(), 0700);
    mkdir(P("out").c_str(), 0700);
    EXPECT_EQ(Link_Or_Copy_Free(P("link"), P("out/x")), "");
    EXPECT_EQ(Link_Or_Copy_Free(P("folder"), P("out/y")), "");
    EXPECT_FALSE(std::filesystem::exists(P("out/x")));
    EXPECT_FALSE(std::filesystem::exists(P("out/y")));
    // A link planted at the target name is passed over, and what it points to stays unchanged.
    plattest::Write_File(P("src"), "new");
    ASSERT_EQ(symlink(P("secret").c_str(), P("out/t").c_str()), 0);
    EXPECT_EQ(Link_Or_Copy_Free(P("src"), P("out/t")), P("out/t(1)"));
    EXPECT_EQ(plattest::Read_File(P("secret")), "secret");
}

// Cells of a CSV line as an RFC 4180 reader gets them.
std::vector<std::string> Cells(const std::string& line) {
    std::vector<std::string> cells;
    std::string cell;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                cell += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                cell += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            cells.push_back(cell);
            cell.clear();
        } else if (c == '\r' && line.compare(i, 2, "\r\n") == 0 && i + 2 == line.size()) {
            break;
        } else {
            cell += c;
        }
    }
    cells.push_back(cell);
    return cells;
}

PT_JSON Row(std::initializer_list<std::pair<const char*, const char*>> keys) {
    PT_JSON row = Json_Dict_Init();
    for (const auto& [k, v] : keys) Json_Dict_Add_Str(row, k, v);
    return row;
}

TEST(ContactCsv, JoinsTheCompanyPartsThatAreThere) {
    const struct {
        const char *name, *department, *title, *expected;
    } cases[] = {{"Acme", "", "CEO", "Acme CEO"},
                 {"", "", "CEO", "CEO"},
                 {"", "", "", ""},
                 {"Acme", "R&D", "Lead", "Acme R&D Lead"}};
    for (const auto& c : cases) {
        RAIIful_Json row(Row({{"names.0.displayName", "Ann"},
                              {"organizations.0.name", c.name},
                              {"organizations.0.department", c.department},
                              {"organizations.0.title", c.title}}));
        const std::string line = qlm::Build_Contact_Csv_Row(row.get());
        EXPECT_EQ(Cells(line), (std::vector<std::string>{"Ann", "", "", c.expected}));
    }
}

TEST(ContactCsv, EveryCellReadsBackUnchanged) {
    const char* hostile = "say \"hi\", then\r\nleave";
    RAIIful_Json row(Row({{"names.0.displayName", hostile}, {"phoneNumbers.0.value", "\"\""}, {"emailAddresses.0.value", ","}}));
    const std::string line = qlm::Build_Contact_Csv_Row(row.get());
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
    EXPECT_EQ(Cells(line), (std::vector<std::string>{hostile, "\"\"", ",", ""}));
}

class CalendarCsv : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.path() + "/usr/local/Kivora/quillmere/etc");
        std::filesystem::create_directory_symlink("/usr/share/zoneinfo",
                                                  dir.path() + "/usr/local/Kivora/quillmere/etc/zoneinfo");
    }
    plattest::TempDir dir;
    plattest::ScopedEnv root{"QLM_ROOT", dir.path()};
    plattest::ScopedEnv tz{"TZ", "UTC"};
};

TEST_F(CalendarCsv, EachSideTakesItsOwnZoneAndKeys) {
    tzset();
    const struct {
        std::initializer_list<std::pair<const char*, const char*>> keys;
        const char *start, *end;
    } cases[] = {
        // All-day, no zones: the local text of the dates.
        {{{"start.date", "2024-03-10"}, {"end.date", "2024-03-11"}}, "2024-03-10T00:00:00+00:00", "2024-03-11T00:00:00+00:00"},
        // A zone on the start only.
        {{{"start.dateTime", "2024-03-10T08:30:00Z"}, {"start.timeZone", "Asia/Tokyo"}, {"end.dateTime", "2024-03-10T09:30:00Z"}},
         "2024-03-10T17:30:00+09:00", "2024-03-10T09:30:00+00:00"},
        // An end zone without an end time: no end.
        {{{"start.date", "2024-03-10"}, {"end.timeZone", "Asia/Tokyo"}}, "2024-03-10T00:00:00+00:00", ""},
        // An all-day event with a zone keeps its date rather than an empty cell.
        {{{"start.date", "2024-03-10"}, {"start.timeZone", "Asia/Tokyo"}}, "2024-03-10T00:00:00+00:00", ""},
        // A zone without a zone file (or a climbing one) falls back to local time.
        {{{"start.dateTime", "2024-03-10T08:30:00Z"}, {"start.timeZone", "../../../etc/passwd"}},
         "2024-03-10T08:30:00+00:00", ""},
    };
    for (const auto& c : cases) {
        RAIIful_Json row(Row(c.keys));
        Json_Dict_Add_Str(row.get(), "summary", "S \"q\"");
        const auto cells = Cells(qlm::Build_Calendar_Csv_Row(row.get()));
        ASSERT_EQ(cells.size(), 5u);
        EXPECT_EQ(cells[0], "S \"q\"");
        EXPECT_EQ(cells[3], c.start);
        EXPECT_EQ(cells[4], c.end);
    }
}

}  // namespace
