// The Shared Drive catalog and the task's uuid mapping.
#include "dbcontrol/shared_drive_db.h"

#include <gtest/gtest.h>

#include <fstream>

#include "../catalog_testutil.h"

namespace {

using cattest::kTask;
using cattest::List;

constexpr const char* kUuid = "5b9e0c4e-1111-4222-8333-944455556666";

SharedDriveData Item(const std::string& name, const std::string& parent, long long index, const std::string& members) {
    SharedDriveData d;
    d.strName = name;
    d.strParentDriveID = parent;
    d.llIndex = index;
    d.strMember = members;
    d.strMD5 = "md5-" + name;
    d.strMimeType = "text/plain";
    d.strLocalID = "local-" + name;
    d.llSize = 10;
    d.llCreateTime = 100;
    d.llLastBackupTime = 200;
    d.llModifyTime = 300;
    d.strStructure = "never stored";
    return d;
}

struct SharedDriveCatalog : ::testing::Test {
    cattest::Root root;
    std::string file = root.Backup(std::string("shared_drive_db/") + kTask + "/" + kUuid + ".db");
    std::string mapping = root.Backup(std::string("shared_drive_map_db/") + kTask + "/" + kTask + "_mapping.db");
};

TEST_F(SharedDriveCatalog, StoredFilesShowTheirTablesToTheCli) {
    ASSERT_EQ(Shared_Drive_Write_DB({}, kUuid, kTask), 0);
    ASSERT_EQ(SharedDrive_Write_Mapping_UUID_To_DB({}, kTask), 0);
    EXPECT_EQ(cattest::Cli_Columns(file, "shared_drive_sql_database"),
              cattest::Expected_Columns(
                  "id", {{"drive_id", "TEXT"}, {"drive_name", "TEXT"}, {"drive_md5Checksum", "TEXT"},
                         {"drive_modifiedTime", "TEXT"}, {"drive_mimeType", "TEXT"}, {"drive_index", "INTEGER"},
                         {"drive_depth", "INTEGER"}, {"drive_size", "INTEGER"}, {"drive_localid", "TEXT"},
                         {"drive_parents", "TEXT"}, {"drive_members", "TEXT"}, {"create_time", "INTEGER"},
                         {"last_backup_time", "INTEGER"}, {"modify_timestamp", "INTEGER"}}));
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT name||' '||\"unique\" FROM pragma_index_list('shared_drive_sql_database') "
                                        "ORDER BY name;"),
              "idx_shared_drive_sql_database_drive_id 1\nidx_shared_drive_sql_database_drive_index 0\n"
              "idx_shared_drive_sql_database_drive_parents 0\n");
    EXPECT_EQ(cattest::Sqlite_Cli(mapping, "SELECT sql FROM sqlite_master;"),
              "CREATE TABLE shared_drive_mapping_uuid_table(id INTEGER PRIMARY KEY AUTOINCREMENT,shared_drive_uuid TEXT "
              "NOT NULL,shared_drive_id TEXT NOT NULL,shared_drive_name TEXT NOT NULL)\n"
              "CREATE TABLE sqlite_sequence(name,seq)\n");
}

TEST_F(SharedDriveCatalog, UpsertKeepsIdAndCreateTimeAndReplacesMembers) {
    ASSERT_EQ(Shared_Drive_Write_DB({{"A", Item("a", "R", 1, "[ann]")}, {"B", Item("b", "R", 2, "[bob]")}}, kUuid, kTask), 0);
    SharedDriveData again = Item("a", "R", 1, "[carol]");
    again.llCreateTime = 5;
    ASSERT_EQ(Shared_Drive_Write_DB({{"A", again}}, kUuid, kTask), 0);
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT id,drive_members,create_time FROM shared_drive_sql_database "
                                        "WHERE drive_id='A';"),
              "1|[carol]|100\n");

    std::map<std::string, SharedDriveData> read;
    ASSERT_EQ(Shared_Drive_Read_DB(read, kUuid, kTask), 0);
    EXPECT_EQ(read["A"].strMember, "[carol]");
    EXPECT_EQ(read["B"].strLocalID, "local-b");
    EXPECT_EQ(read["B"].llCreateTime, 100);
}

TEST_F(SharedDriveCatalog, EveryRowIsTheFullFormWithMembers) {
    ASSERT_EQ(Shared_Drive_Write_DB({{"A", Item("a", "R", 1, "[ann]")}}, kUuid, kTask), 0);
    List lists[4];
    ASSERT_EQ(Shared_Drive_Get_DB_Data(lists[0].get(), kUuid, kTask), 0);
    Shared_Drvie_Find_DB_Data_By_Index(lists[1].get(), kUuid, kTask, 1);
    Shared_Drvie_Find_DB_Data_By_ParentID(lists[2].get(), kUuid, kTask, "R");
    Shared_Drvie_Find_DB_Data_By_ParentID_For_Pagination(lists[3].get(), kUuid, kTask, "R", 0, 10, "");
    for (const List& l : lists) {
        ASSERT_EQ(l.size(), 1);
        EXPECT_EQ(cattest::Keys(l.at(0)), (std::set<std::string>{"id", "name", "md5Checksum", "modifiedTime", "mimeType",
                                                                  "index", "depth", "size", "localid", "parents",
                                                                  "members"}));
    }
}

TEST_F(SharedDriveCatalog, KeywordPagesMatchNamesAndMembersAcrossTheDrive) {
    ASSERT_EQ(Shared_Drive_Write_DB({{"A", Item("budget", "R", 1, "[ann@x.org]")},
                                     {"B", Item("notes", "F", 2, "[bob@x.org]")},
                                     {"C", Item("plan", "F", 3, "[ann@x.org,bob@x.org]")}},
                                    kUuid, kTask),
              0);
    struct Case {
        const char* parent;
        const char* keyword;
        std::vector<std::string> ids;
    } cases[] = {
        {"F", "", {"C", "B"}},         {"F", "ANN", {"C", "A"}},  {"R", "notes", {"B"}},
        {"R", "bob@x.org]", {"C", "B"}}, {"F", "x' OR 1=1 --", {}},
    };
    for (const Case& c : cases) {
        List page;
        Shared_Drvie_Find_DB_Data_By_ParentID_For_Pagination(page.get(), kUuid, kTask, c.parent, 0, 10, c.keyword);
        EXPECT_EQ(page.Strings("id"), c.ids) << c.parent << " / " << c.keyword;
    }
}

TEST_F(SharedDriveCatalog, MappingHoldsExactlyTheLastMapWithIdsFromOne) {
    std::map<std::string, SharedDriveInfo> three{{"u1", {"g1", "One"}}, {"u2", {"g2", "Two"}}, {"u3", {"g3", "Three"}}};
    ASSERT_EQ(SharedDrive_Write_Mapping_UUID_To_DB(three, kTask), 0);
    ASSERT_EQ(SharedDrive_Write_Mapping_UUID_To_DB({{"u2", {"g2", "Two"}}, {"u9", {"g9", "Nine's"}}}, kTask), 0);
    EXPECT_EQ(cattest::Sqlite_Cli(mapping, "SELECT * FROM shared_drive_mapping_uuid_table;"), "1|u2|g2|Two\n2|u9|g9|Nine's\n");

    List rows;
    ASSERT_EQ(Shared_Drive_Get_Mapping_UUID_DB_Data(rows.get(), kTask), 0);
    EXPECT_EQ(rows.Strings("shared_drive_uuid"), (std::vector<std::string>{"u9", "u2"}));
    EXPECT_EQ(cattest::Keys(rows.at(0)), (std::set<std::string>{"shared_drive_uuid", "shared_drive_id", "shared_drive_name"}));
    std::map<std::string, std::string> ids{{"stale", "x"}};
    ASSERT_EQ(Shared_Drive_Read_Mapping_UUID_DB(ids, kTask), 0);
    EXPECT_EQ(ids, (std::map<std::string, std::string>{{"g2", "u2"}, {"g9", "u9"}}));
}

TEST_F(SharedDriveCatalog, TheNewestRowOfAGoogleIdWins) {
    ASSERT_EQ(SharedDrive_Write_Mapping_UUID_To_DB({}, kTask), 0);
    cattest::Exec_On(mapping, "INSERT INTO shared_drive_mapping_uuid_table (shared_drive_uuid,shared_drive_id,"
                              "shared_drive_name) VALUES ('old','g1','n'),('new','g1','n'),('other','g2','m');");
    std::map<std::string, std::string> ids;
    ASSERT_EQ(Shared_Drive_Read_Mapping_UUID_DB(ids, kTask), 0);
    EXPECT_EQ(ids, (std::map<std::string, std::string>{{"g1", "new"}, {"g2", "other"}}));
}

TEST_F(SharedDriveCatalog, AFailedMappingRewriteKeepsThePreviousMapping) {
    ASSERT_EQ(SharedDrive_Write_Mapping_UUID_To_DB({{"u1", {"g1", "One"}}, {"u2", {"g2", "Two"}}}, kTask), 0);
    std::map<std::string, SharedDriveInfo> big;
    for (int i = 0; i < 2000; ++i) big["u" + std::to_string(1000 + i)] = {"g" + std::to_string(i), std::string(500, 'n')};
    EXPECT_EQ(cattest::Run_With_File_Limit(64 * 1024, [&] { return SharedDrive_Write_Mapping_UUID_To_DB(big, kTask); }),
              -161);
    std::map<std::string, std::string> ids;
    ASSERT_EQ(Shared_Drive_Read_Mapping_UUID_DB(ids, kTask), 0);
    EXPECT_EQ(ids, (std::map<std::string, std::string>{{"g1", "u1"}, {"g2", "u2"}}));
}

TEST_F(SharedDriveCatalog, AMappingFileThatIsNoDatabaseIsWrittenAfresh) {
    std::filesystem::create_directories(root.Backup(std::string("shared_drive_map_db/") + kTask));
    std::ofstream(mapping) << "garbage that is no database";
    std::map<std::string, std::string> ids;
    EXPECT_EQ(Shared_Drive_Read_Mapping_UUID_DB(ids, kTask), -161);
    ASSERT_EQ(SharedDrive_Write_Mapping_UUID_To_DB({{"u1", {"g1", "One"}}}, kTask), 0);
    ASSERT_EQ(Shared_Drive_Read_Mapping_UUID_DB(ids, kTask), 0);
    EXPECT_EQ(ids, (std::map<std::string, std::string>{{"g1", "u1"}}));
}

TEST_F(SharedDriveCatalog, FailuresNameTheirStepOnStandardError) {
    std::filesystem::create_directories(root.Backup(std::string("shared_drive_db/") + kTask));
    std::ofstream(file) << "garbage that is no database";
    testing::internal::CaptureStderr();
    const int rc = Shared_Drive_Write_DB({{"A", Item("a", "R", 1, "")}}, kUuid, kTask);
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, -161);
    EXPECT_EQ(out, "Fail in Shared_Drive_SQL_Create_Table\n");
    EXPECT_EQ(Shared_Drive_Delete_DB(kTask, kUuid, "A"), -161);
}

}  // namespace
