// The Drive and Shared Drive advanced searches over one small catalog: each filter alone, the
// filters together, the searches that must come back empty, and keywords that stay data.
#include "dbcontrol/drive_search.h"

#include <gtest/gtest.h>

#include <climits>

#include "../catalog_testutil.h"
#include "dbcontrol/drive_db.h"
#include "dbcontrol/shared_drive_db.h"

namespace {

using cattest::kTask;
using cattest::kUser;
using cattest::List;
using Ids = std::vector<std::string>;

constexpr const char* kWord = "application/vnd.openxmlformats-officedocument.wordprocessingml.document";
constexpr const char* kExcel = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
constexpr const char* kPpt = "application/vnd.openxmlformats-officedocument.presentationml.presentation";

struct Row {
    const char* id;
    const char* name;
    const char* mime;
    long long size;
    long long created, backedUp, modified;
    const char* members;
};

// Written in id order, so newest first is J .. A.
const Row kRows[] = {
    {"A", "holiday.jpg", "image/jpeg", 200 * 1024, 1000, 5000, 100, "[ann]"},
    {"B", "tiny.png", "image/png", 50 * 1024, 2000, 5000, 200, "[bob]"},
    {"C", "report.docx", kWord, 10 * 1024, 3000, 6000, 300, "[ann,bob]"},
    {"D", "sheet.xlsx", kExcel, 10 * 1024, 4000, 6000, 400, "[carol]"},
    {"E", "deck.pptx", kPpt, 30 * 1024, 5000, 7000, 500, "[ann]"},
    {"F", "manual.pdf", "application/pdf", 5 * 1024 * 1024, 6000, 7000, 600, "[bob]"},
    {"G", "Folder A", "application/vnd.google-apps.folder", 0, 7000, 8000, 700, "[carol]"},
    {"H", "notes.txt", "text/plain", 1024, 8000, 8000, 800, "[ann]"},
    {"I", "Google Doc", "application/vnd.google-apps.document", 0, 9000, 9000, 900, "[bob]"},
    {"J", "50%_off.txt", "text/plain", 2048, 10000, 9000, 1000, "[dave]"},
};

template <typename Record>
Record Make(const Row& r) {
    Record d;
    d.strName = r.name;
    d.strMimeType = r.mime;
    d.llSize = r.size;
    d.llCreateTime = r.created;
    d.llLastBackupTime = r.backedUp;
    d.llModifyTime = r.modified;
    d.strParentDriveID = "root";
    return d;
}

struct Filters {
    const char* name = nullptr;
    const char* type = nullptr;
    int sizeType = -1;
    long long size = -1;
    int cE = -1, cL = -1, bE = -1, bL = -1, mE = -1, mL = -1;
    const char* member = nullptr;
};

struct Case {
    const char* what;
    Filters f;
    Ids ids;
};

struct DriveSearch : ::testing::Test {
    cattest::Root root;
    void SetUp() override {
        std::map<std::string, DriveData> drive;
        std::map<std::string, SharedDriveData> shared;
        for (const Row& r : kRows) {
            drive[r.id] = Make<DriveData>(r);
            shared[r.id] = Make<SharedDriveData>(r);
            shared[r.id].strMember = r.members;
        }
        ASSERT_EQ(Drive_Write_DB(drive, kUser, kTask), 0);
        ASSERT_EQ(Shared_Drive_Write_DB(shared, kUser, kTask), 0);
    }
    Ids Drive(const Filters& f, List& out) {
        EXPECT_EQ(Drive_Get_DB_Data_For_Advance_Search(out.get(), kUser, kTask, f.name, f.type, f.sizeType, f.size, f.cE,
                                                       f.cL, f.bE, f.bL, f.mE, f.mL),
                  0);
        return out.Strings("id");
    }
    Ids Shared(const Filters& f, List& out) {
        EXPECT_EQ(Shared_Drive_Get_DB_Data_For_Advance_Search(out.get(), kUser, kTask, f.name, f.type, f.sizeType, f.size,
                                                              f.cE, f.cL, f.bE, f.bL, f.member, f.mE, f.mL),
                  0);
        return out.Strings("id");
    }
};

Filters F(std::function<void(Filters&)> set) {
    Filters f;
    set(f);
    return f;
}

TEST_F(DriveSearch, EachFilterAloneAndTogether) {
    const Ids all{"J", "I", "H", "G", "F", "E", "D", "C", "B", "A"};
    const Case cases[] = {
        {"type word", F([](Filters& f) { f.type = "word"; }), {"C"}},
        {"type excel", F([](Filters& f) { f.type = "excel"; }), {"D"}},
        {"type ppt", F([](Filters& f) { f.type = "ppt"; }), {"E"}},
        {"type pdf", F([](Filters& f) { f.type = "pdf"; }), {"F"}},
        {"type folder", F([](Filters& f) { f.type = "folder"; }), {"G"}},
        {"type other: none of the six", F([](Filters& f) { f.type = "other"; }), {"J", "I", "H"}},
        {"pic of at least 100 KiB", F([](Filters& f) { f.type = "pic", f.sizeType = 1, f.size = 100; }), {"A"}},
        {"at most 10 KiB", F([](Filters& f) { f.sizeType = 2, f.size = 10; }), {"J", "I", "H", "G", "D", "C"}},
        {"first backup up to 3000", F([](Filters& f) { f.cL = 3000; }), {"C", "B", "A"}},
        {"first backup in [2000, 4000]", F([](Filters& f) { f.cE = 2000, f.cL = 4000; }), {"D", "C", "B"}},
        {"last backup in [6000, 7000]", F([](Filters& f) { f.bE = 6000, f.bL = 7000; }), {"F", "E", "D", "C"}},
        {"modified from 900", F([](Filters& f) { f.mE = 900; }), {"J", "I"}},
        {"empty name matches every row", F([](Filters& f) { f.name = ""; }), all},
        {"name, ASCII case ignored", F([](Filters& f) { f.name = "FOLDER"; }), {"G"}},
        {"'%' is a wildcard", F([](Filters& f) { f.name = "e%x"; }), {"H", "E", "D", "C"}},
        {"'_' is a wildcard", F([](Filters& f) { f.name = "o_f"; }), {"J"}},
        {"name, type and last backup",
         F([](Filters& f) { f.name = "DAY", f.type = "pic", f.bE = 5000; }),
         {"A"}},
        {"a huge size saturates", F([](Filters& f) { f.sizeType = 2, f.size = LLONG_MAX / 2; }), all},
        {"nothing set", Filters{}, {}},
        {"only an unknown type word", F([](Filters& f) { f.type = "Word"; }), {}},
        {"size type 3", F([](Filters& f) { f.name = "", f.sizeType = 3, f.size = 10; }), {}},
        {"a quote stays data", F([](Filters& f) { f.name = "'; DROP TABLE drive_sql_database; --"; }), {}},
    };
    for (const Case& c : cases) {
        List out;
        EXPECT_EQ(Drive(c.f, out), c.ids) << c.what;
        if (out.size() > 0) {
            EXPECT_EQ(cattest::Keys(out.at(0)), (std::set<std::string>{"id", "name", "modifiedTime", "mimeType", "index",
                                                                        "size", "Owner", "structure"}))
                << c.what;
        }
    }
    List rows;
    ASSERT_EQ(Drive_Get_DB_Data(rows.get(), kUser, kTask), 0);
    EXPECT_EQ(rows.size(), 10);
}

TEST_F(DriveSearch, SharedDriveSearchAddsTheMemberKeyword) {
    const Case cases[] = {
        {"member", F([](Filters& f) { f.member = "ANN"; }), {"H", "E", "C", "A"}},
        {"empty member matches every row", F([](Filters& f) { f.member = ""; }),
         {"J", "I", "H", "G", "F", "E", "D", "C", "B", "A"}},
        {"member and modification time", F([](Filters& f) { f.member = "bob", f.mE = 150, f.mL = 600; }), {"F", "C", "B"}},
        {"member and type", F([](Filters& f) { f.member = "carol", f.type = "folder"; }), {"G"}},
        {"member keyword stays data", F([](Filters& f) { f.member = "x') OR ('1'='1"; }), {}},
        {"nothing set", Filters{}, {}},
    };
    for (const Case& c : cases) {
        List out;
        EXPECT_EQ(Shared(c.f, out), c.ids) << c.what;
        if (out.size() > 0) {
            EXPECT_EQ(cattest::Type_Of(out.at(0), "members"), json_type_string) << c.what;
        }
    }
    // The Drive search has no member filter: its catalog has no member list.
    List drive;
    EXPECT_EQ(Drive(F([](Filters& f) { f.member = "ann"; }), drive), Ids{});
}

}  // namespace
