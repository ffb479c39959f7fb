// The Drive catalog: its stored form, upserts that keep row ids, all-or-nothing writes, the
// previous-state reader, lookups and pages.
#include "dbcontrol/drive_db.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "../catalog_testutil.h"

namespace {

using cattest::kTask;
using cattest::kUser;
using cattest::List;
using Map = std::map<std::string, DriveData>;

DriveData Item(const std::string& name, const std::string& parent, long long index, const std::string& owner = "ann@x.org") {
    DriveData d;
    d.strName = name;
    d.strParentDriveID = parent;
    d.llIndex = index;
    d.strOwner = owner;
    d.strMD5 = "md5-" + name;
    d.strModifyTime = "2024-01-02T03:04:05Z";
    d.strMimeType = "text/plain";
    d.llDepth = 1;
    d.llSize = 1000 + index;
    d.strLocalID = "local-" + name;
    d.strStructure = "/root/" + name;
    d.llCreateTime = 100;
    d.llLastBackupTime = 200;
    d.llModifyTime = 300;
    return d;
}

struct DriveCatalog : ::testing::Test {
    cattest::Root root;
    std::string file = root.Backup(std::string("drive_db/") + kTask + "/" + kUser + ".db");
};

TEST_F(DriveCatalog, StoredFileShowsTheTableColumnsAndIndexesToTheCli) {
    ASSERT_EQ(Drive_Write_DB({}, kUser, kTask), 0);
    struct stat st;
    ASSERT_EQ(stat(root.Backup(std::string("drive_db/") + kTask).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    EXPECT_EQ(cattest::Cli_Columns(file, "drive_sql_database"),
              cattest::Expected_Columns(
                  "id", {{"drive_id", "TEXT"}, {"drive_name", "TEXT"}, {"drive_md5Checksum", "TEXT"},
                         {"drive_modifiedTime", "TEXT"}, {"drive_mimeType", "TEXT"}, {"drive_index", "INTEGER"},
                         {"drive_depth", "INTEGER"}, {"drive_size", "INTEGER"}, {"drive_localid", "TEXT"},
                         {"drive_parents", "TEXT"}, {"drive_Owner", "TEXT"}, {"create_time", "INTEGER"},
                         {"last_backup_time", "INTEGER"}, {"structure", "TEXT"}, {"modify_timestamp", "INTEGER"}}));
    // The stored statement is the one a fresh "CREATE TABLE" leaves, byte for byte.
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT sql FROM sqlite_master WHERE name='drive_sql_database';"),
              "CREATE TABLE drive_sql_database(id INTEGER PRIMARY KEY AUTOINCREMENT,drive_id TEXT NOT NULL,drive_name "
              "TEXT NOT NULL,drive_md5Checksum TEXT NOT NULL,drive_modifiedTime TEXT NOT NULL,drive_mimeType TEXT NOT "
              "NULL,drive_index INTEGER NOT NULL,drive_depth INTEGER NOT NULL,drive_size INTEGER NOT NULL,drive_localid "
              "TEXT NOT NULL,drive_parents TEXT NOT NULL,drive_Owner TEXT NOT NULL,create_time INTEGER NOT "
              "NULL,last_backup_time INTEGER NOT NULL,structure TEXT NOT NULL,modify_timestamp INTEGER NOT NULL)\n");
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT name||' '||\"unique\" FROM pragma_index_list('drive_sql_database') "
                                        "ORDER BY name;"),
              "idx_drive_sql_database_drive_id 1\nidx_drive_sql_database_drive_index 0\n"
              "idx_drive_sql_database_drive_parents 0\n");
}

TEST_F(DriveCatalog, UpsertKeepsIdAndCreateTimeAndReplacesTheRest) {
    ASSERT_EQ(Drive_Write_DB({{"A", Item("a", "P", 1)}, {"B", Item("b", "P", 2)}, {"C", Item("c", "P", 3)}}, kUser, kTask), 0);
    DriveData changed = Item("a2", "Q", 9, "bob@x.org");
    changed.llCreateTime = 999;
    changed.llLastBackupTime = 777;
    ASSERT_EQ(Drive_Write_DB({{"A", changed}, {"D", Item("d", "P", 4)}}, kUser, kTask), 0);

    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT id,drive_name,drive_parents,drive_index,drive_Owner,create_time,"
                                        "last_backup_time FROM drive_sql_database WHERE drive_id='A';"),
              "1|a2|Q|9|bob@x.org|100|777\n");
    List all;
    ASSERT_EQ(Drive_Get_DB_Data(all.get(), kUser, kTask), 0);
    // Newest first; the updated row keeps its first place.
    EXPECT_EQ(all.Strings("id"), (std::vector<std::string>{"D", "C", "B", "A"}));
}

TEST_F(DriveCatalog, JsonFormsCarryTheirKeysAndTypes) {
    DriveData noTime = Item("n", "P", 5);
    noTime.strModifyTime = "";
    noTime.llSize = 12345678901234LL;
    ASSERT_EQ(Drive_Write_DB({{"N", noTime}}, kUser, kTask), 0);

    List full, shortForm;
    Drvie_Find_DB_Data_By_Index(full.get(), kUser, kTask, 5);
    Drvie_Find_DB_Simple_Data_By_Index(shortForm.get(), kUser, kTask, 5);
    ASSERT_EQ(full.size(), 1);
    ASSERT_EQ(shortForm.size(), 1);
    EXPECT_EQ(cattest::Keys(full.at(0)), (std::set<std::string>{"id", "name", "md5Checksum", "modifiedTime", "mimeType",
                                                                "index", "depth", "size", "localid", "parents", "Owner",
                                                                "structure"}));
    EXPECT_EQ(cattest::Keys(shortForm.at(0)),
              (std::set<std::string>{"id", "name", "modifiedTime", "mimeType", "index", "size", "Owner", "structure"}));
    EXPECT_EQ(full.Strings("modifiedTime")[0], "1970-01-01T00:00:00Z");
    EXPECT_EQ(shortForm.Strings("modifiedTime")[0], "");
    EXPECT_EQ(full.Strings("size")[0], "12345678901234");
    EXPECT_EQ(cattest::Type_Of(full.at(0), "index"), json_type_int);
    EXPECT_EQ(cattest::Type_Of(full.at(0), "depth"), json_type_int);
    EXPECT_EQ(cattest::Type_Of(shortForm.at(0), "size"), json_type_string);
}

TEST_F(DriveCatalog, AFailingRowLeavesTheCatalogAsItWas) {
    ASSERT_EQ(Drive_Write_DB({{"A", Item("a", "P", 1)}}, kUser, kTask), 0);
    cattest::Exec_On(file, "CREATE TRIGGER refuse BEFORE INSERT ON drive_sql_database WHEN NEW.drive_name='bad' "
                           "BEGIN SELECT RAISE(ABORT,'refused'); END;");
    DriveData a = Item("a-renamed", "P", 1);
    EXPECT_EQ(Drive_Write_DB({{"A", a}, {"B", Item("bad", "P", 2)}, {"C", Item("c", "P", 3)}}, kUser, kTask), -161);
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT drive_id,drive_name FROM drive_sql_database;"), "A|a\n");
}

// SQLite's file change counter (header bytes 24 to 27): one more for every committed write.
unsigned Commits(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    unsigned char h[28] = {};
    in.read(reinterpret_cast<char*>(h), sizeof h);
    return (unsigned{h[24]} << 24) | (unsigned{h[25]} << 16) | (unsigned{h[26]} << 8) | h[27];
}

// A first backup makes a catalog per account: its table, indexes and rows are one commit (and
// one set of syncs), and a set-up whose rows fail leaves no half-made catalog behind.
TEST_F(DriveCatalog, ANewCatalogIsWrittenInOneCommit) {
    ASSERT_EQ(Drive_Write_DB({{"A", Item("a", "P", 1)}, {"B", Item("b", "P", 2)}}, kUser, kTask), 0);
    EXPECT_EQ(Commits(file), 1u);
    ASSERT_EQ(Drive_Write_DB({{"A", Item("a2", "P", 1)}}, kUser, kTask), 0);
    EXPECT_EQ(Commits(file), 2u);
    const std::string empty = root.Backup(std::string("drive_db/") + kTask + "/empty@x.org.db");
    ASSERT_EQ(Drive_Write_DB({}, "empty@x.org", kTask), 0);
    EXPECT_EQ(Commits(empty), 1u);
    EXPECT_EQ(cattest::Sqlite_Cli(empty, "SELECT count(*) FROM sqlite_master;"), "5\n");  // table, sequence, 3 indexes
}

TEST_F(DriveCatalog, ReadGivesTheComparedFieldsOfEveryItem) {
    DriveData a = Item("a", "P", 1);
    a.llCreateTime = 11;
    a.llModifyTime = 22;
    ASSERT_EQ(Drive_Write_DB({{"A", a}, {"B", Item("b", "P", 2)}}, kUser, kTask), 0);
    Map read{{"stale", DriveData()}};
    ASSERT_EQ(Drive_Read_DB(read, kUser, kTask), 0);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read["A"].strLocalID, "local-a");
    EXPECT_EQ(read["A"].strMD5, "md5-a");
    EXPECT_EQ(read["A"].llCreateTime, 11);
    EXPECT_EQ(read["A"].llModifyTime, 22);
    EXPECT_EQ(read["A"].strName, "");  // only the compared fields are read
    EXPECT_EQ(read["A"].llDepth, -2);
}

TEST_F(DriveCatalog, ReadOfANeverWrittenCatalogIsEmptyAndAnUnreadableOneAnError) {
    Map read{{"stale", DriveData()}};
    EXPECT_EQ(Drive_Read_DB(read, kUser, kTask), 0);
    EXPECT_TRUE(read.empty());
    EXPECT_TRUE(cattest::Tree(root.dir.path()).empty());

    std::filesystem::create_directories(root.Backup(std::string("drive_db/") + kTask));
    std::ofstream(file) << "this is not a database, but a backup must not take it for an empty one";
    read = {{"stale", DriveData()}};
    EXPECT_EQ(Drive_Read_DB(read, kUser, kTask), -161);
    EXPECT_TRUE(read.empty());
    EXPECT_EQ(Drive_Read_DB(read, nullptr, kTask), -22);
}

TEST_F(DriveCatalog, DeleteRemovesOneItemAndNeedsTheCatalog) {
    EXPECT_EQ(Drive_Delete_DB(kTask, kUser, "A"), -161);  // no catalog: nothing to delete from
    ASSERT_EQ(Drive_Write_DB({{"A", Item("a", "P", 1)}, {"B", Item("b", "P", 2)}}, kUser, kTask), 0);
    EXPECT_EQ(Drive_Delete_DB(kTask, kUser, "A"), 0);
    EXPECT_EQ(Drive_Delete_DB(kTask, kUser, "not-there"), 0);
    EXPECT_EQ(Drive_Delete_DB(kTask, kUser, nullptr), -22);
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT drive_id FROM drive_sql_database;"), "B\n");
}

// Ten children of P (indexes 1..10, inserted in that order) and two items elsewhere.
struct DriveFolder : DriveCatalog {
    void SetUp() override {
        Map m;
        for (int i = 1; i <= 10; ++i) m["P" + std::to_string(100 + i)] = Item("child" + std::to_string(i), "P", i);
        m["X1"] = Item("report_2024", "Q", 20, "carol@x.org");
        m["X2"] = Item("reportX2024", "Q", 21);
        // Map keys give the insert order: P101..P110, then X1, X2.
        ASSERT_EQ(Drive_Write_DB(m, kUser, kTask), 0);
    }
    std::vector<std::string> Page(const char* parent, int start, int limit, const char* kw) {
        List page;
        EXPECT_EQ(Drvie_Find_DB_Simple_Data_By_ParentID_For_Pagination(page.get(), kUser, kTask, parent, start, limit, kw), 0);
        return page.Strings("name");
    }
};

TEST_F(DriveFolder, FolderPagesComeNewestFirst) {
    EXPECT_EQ(Page("P", 0, 3, ""), (std::vector<std::string>{"child10", "child9", "child8"}));
    EXPECT_EQ(Page("P", 8, 5, ""), (std::vector<std::string>{"child2", "child1"}));
    EXPECT_EQ(Page("P", 10, 5, ""), std::vector<std::string>{});
    EXPECT_EQ(Page("P", 2, 2, nullptr), (std::vector<std::string>{"child8", "child7"}));
    List children;
    Drvie_Find_DB_Simple_Data_By_ParentID(children.get(), kUser, kTask, "Q");
    EXPECT_EQ(children.Strings("name"), (std::vector<std::string>{"reportX2024", "report_2024"}));
    List full;
    Drvie_Find_DB_Data_By_ParentID(full.get(), kUser, kTask, "Q");
    EXPECT_EQ(full.Strings("parents"), (std::vector<std::string>{"Q", "Q"}));
}

TEST_F(DriveFolder, KeywordPagesSearchNameAndOwnerOfTheWholeAccount) {
    struct Case {
        const char* keyword;
        std::vector<std::string> names;
    } cases[] = {
        {"CHILD1", {"child10", "child1"}},               // ASCII case ignored, substring
        {"carol", {"report_2024"}},                      // the owner counts, the folder is ignored
        {"t_2", {"reportX2024", "report_2024"}},         // "_" keeps its wildcard meaning
        {"ld%0", {"child10"}},                           // and so does "%"
        {"'; DROP TABLE drive_sql_database; --", {}},   // a quote stays data
    };
    for (const Case& c : cases) EXPECT_EQ(Page("P", 0, 50, c.keyword), c.names) << c.keyword;
    EXPECT_EQ(Page("elsewhere", 1, 1, "child"), (std::vector<std::string>{"child9"}));
    EXPECT_EQ(cattest::Scalar(file, "SELECT COUNT(*) FROM drive_sql_database;"), 12);
}

TEST_F(DriveFolder, IndexLookupsAndHostileParentsFindOnlyTheirRows) {
    List byIndex;
    EXPECT_EQ(Drvie_Find_DB_Data_By_Index(byIndex.get(), kUser, kTask, 20), 0);
    EXPECT_EQ(byIndex.Strings("id"), std::vector<std::string>{"X1"});
    List none;
    Drvie_Find_DB_Simple_Data_By_ParentID(none.get(), kUser, kTask, "P' OR '1'='1");
    Drvie_Find_DB_Data_By_Index(none.get(), kUser, kTask, 99);
    EXPECT_EQ(none.size(), 0);
}

}  // namespace
