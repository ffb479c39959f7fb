// What every catalog shares: names from requests never become paths outside their folder,
// readers create nothing, and a handle waits for another process's lock instead of failing.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "../catalog_testutil.h"
#include "dbcontrol/calendar_db.h"
#include "dbcontrol/contact_db.h"
#include "dbcontrol/drive_db.h"
#include "dbcontrol/drive_search.h"
#include "dbcontrol/gmail_db.h"
#include "dbcontrol/shared_drive_db.h"

namespace {

using cattest::kTask;
using cattest::kUser;
using cattest::List;

struct Named {
    const char* name;
    int expected;
    std::function<int()> call;
};

// Every writer, given one account (uuid) and task id.
std::vector<Named> Writers(const char* key, const char* task) {
    GmailData mail;
    mail.strLocalID = "eml-1";
    return {
        {"Drive_Write_DB", 0, [=] { return Drive_Write_DB({{"d", DriveData()}}, key, task); }},
        {"Shared_Drive_Write_DB", 0, [=] { return Shared_Drive_Write_DB({{"d", SharedDriveData()}}, key, task); }},
        {"SharedDrive_Write_Mapping_UUID_To_DB", 0,
         [=] { return SharedDrive_Write_Mapping_UUID_To_DB({{"u", SharedDriveInfo()}}, task); }},
        {"Gmail_Write_DB_Append", 0, [=] { return Gmail_Write_DB_Append({{"m", mail}}, key, task, nullptr); }},
        {"Contact_Write_DB", 0, [=] { return Contact_Write_DB({{"c", ContactData()}}, key, task); }},
        {"Group_Contact_Write_DB", 0, [=] { return Group_Contact_Write_DB({ContactGroupData()}, key, task); }},
        {"Calendar_Write_DB", 0, [=] { return Calendar_Write_DB({{"e", CalendarData()}}, key, task); }},
    };
}

TEST(CatalogNames, AKeyFitsOnlyWhenItsJournalsNameFitsToo) {
    cattest::Root root;
    // "<key>.db-journal" is the longest name: 244 + 11 bytes is the most a file name may have.
    for (size_t n : {1u, 200u, 244u, 245u, 252u, 300u}) {
        const std::string key(n, 'k');
        const bool fits = qlm::catalog::Catalog_Names_Fit(qlm::catalog::Kind::Drive, key.c_str(), kTask);
        EXPECT_EQ(fits, n <= 244) << n;
        // What fits can be written; what does not never could be.
        if (n <= 252) {
            EXPECT_EQ(Drive_Write_DB({{"d", DriveData()}}, key.c_str(), kTask) == 0, fits) << n;
        }
    }
}

TEST(CatalogNames, UnusableAccountsAndTaskIdsAreRefusedBeforeAnyFileIsTouched) {
    cattest::Root root;
    const char* badNames[] = {"", ".", "..", "../escape", "a/b", "x\n"};
    for (const char* bad : badNames) {
        for (const auto& w : Writers(bad, kTask)) {
            if (std::string(w.name) == "SharedDrive_Write_Mapping_UUID_To_DB") continue;  // keyed by the task alone
            EXPECT_EQ(w.call(), -22) << w.name << " account [" << bad << "]";
        }
        for (const auto& w : Writers(kUser, bad)) EXPECT_EQ(w.call(), -22) << w.name << " task [" << bad << "]";
    }
    for (const auto& w : Writers(nullptr, kTask)) {
        if (std::string(w.name) == "SharedDrive_Write_Mapping_UUID_To_DB") continue;
        EXPECT_EQ(w.call(), -22) << w.name;
    }
    EXPECT_TRUE(cattest::Tree(root.dir.path()).empty());
    List list;
    EXPECT_EQ(Drive_Get_DB_Data(list.get(), "../../..", kTask), -22);
}

TEST(CatalogNames, EveryWriterPutsItsFileWhereItsKindLives) {
    cattest::Root root;
    for (const auto& w : Writers(kUser, kTask)) EXPECT_EQ(w.call(), w.expected) << w.name;
    const std::string t = kTask, u = kUser;
    EXPECT_EQ(cattest::Tree(root.Backup("")),
              (std::set<std::string>{"calendar_db", "calendar_db/" + t, "calendar_db/" + t + "/" + u + ".db",
                                     "contact_db", "contact_db/" + t, "contact_db/" + t + "/" + u + ".db",
                                     "drive_db", "drive_db/" + t, "drive_db/" + t + "/" + u + ".db", "gmail_db",
                                     "gmail_db/" + t, "gmail_db/" + t + "/" + u + ".db", "group_contact_db",
                                     "group_contact_db/" + t, "group_contact_db/" + t + "/" + u + ".db",
                                     "shared_drive_db", "shared_drive_db/" + t,
                                     "shared_drive_db/" + t + "/" + u + ".db", "shared_drive_map_db",
                                     "shared_drive_map_db/" + t, "shared_drive_map_db/" + t + "/" + t + "_mapping.db"}));
}

TEST(CatalogReaders, ACatalogNeverWrittenReadsAsDocumentedAndNothingIsCreated) {
    cattest::Root root;
    List l;
    std::map<std::string, DriveData> dm;
    std::map<std::string, SharedDriveData> sm;
    std::map<std::string, std::string> ids;
    std::map<std::string, GmailData> gm;
    sqlite3* db = nullptr;
    const Named readers[] = {
        {"Drive_Read_DB", 0, [&] { return Drive_Read_DB(dm, kUser, kTask); }},
        {"Drive_Get_DB_Data", -161, [&] { return Drive_Get_DB_Data(l.get(), kUser, kTask); }},
        {"Drive_Delete_DB", -161, [&] { return Drive_Delete_DB(kTask, kUser, "x"); }},
        {"Drvie_Find_DB_Data_By_Index", 0, [&] { return Drvie_Find_DB_Data_By_Index(l.get(), kUser, kTask, 0); }},
        {"Drvie_Find_DB_Simple_Data_By_ParentID_For_Pagination", 0,
         [&] { return Drvie_Find_DB_Simple_Data_By_ParentID_For_Pagination(l.get(), kUser, kTask, "p", 0, 9, "k"); }},
        {"Drive_Get_DB_Data_For_Advance_Search", 0,
         [&] { return Drive_Get_DB_Data_For_Advance_Search(l.get(), kUser, kTask, "", nullptr, -1, -1, -1, -1, -1, -1, -1, -1); }},
        {"Shared_Drive_Read_DB", 0, [&] { return Shared_Drive_Read_DB(sm, kUser, kTask); }},
        {"Shared_Drive_Get_DB_Data", -161, [&] { return Shared_Drive_Get_DB_Data(l.get(), kUser, kTask); }},
        {"Shared_Drive_Delete_DB", -161, [&] { return Shared_Drive_Delete_DB(kTask, kUser, "x"); }},
        {"Shared_Drvie_Find_DB_Data_By_ParentID", 0,
         [&] { return Shared_Drvie_Find_DB_Data_By_ParentID(l.get(), kUser, kTask, "p"); }},
        {"Shared_Drive_Get_DB_Data_For_Advance_Search", 0,
         [&] {
             return Shared_Drive_Get_DB_Data_For_Advance_Search(l.get(), kUser, kTask, "", nullptr, -1, -1, -1, -1, -1, -1,
                                                                "", -1, -1);
         }},
        {"Shared_Drive_Read_Mapping_UUID_DB", 0, [&] { return Shared_Drive_Read_Mapping_UUID_DB(ids, kTask); }},
        {"Shared_Drive_Get_Mapping_UUID_DB_Data", -161, [&] { return Shared_Drive_Get_Mapping_UUID_DB_Data(l.get(), kTask); }},
        {"Gmail_SQL_Open_Datebase", -161, [&] { return Gmail_SQL_Open_Datebase(&db, kUser, kTask, false); }},
        {"Gmail_Read_DB", 0, [&] { return Gmail_Read_DB(gm, kUser, kTask); }},
        {"Gmail_Get_DB_Data", -161, [&] { return Gmail_Get_DB_Data(l.get(), kUser, kTask); }},
        {"Gmail_Delete_DB", -161, [&] { return Gmail_Delete_DB(kTask, kUser, "x"); }},
        {"Gmail_Get_DB_Data_For_Pagination", 0,
         [&] { return Gmail_Get_DB_Data_For_Pagination(l.get(), kUser, kTask, 0, 9, "", "Inbox"); }},
        {"Gmail_Get_Number_Of_Record", 0, [&] { return Gmail_Get_Number_Of_Record(kUser, kTask, "Inbox"); }},
        {"Gmail_Get_DB_Data_For_Advance_Search", 0,
         [&] { return Gmail_Get_DB_Data_For_Advance_Search(l.get(), kUser, kTask, "", "", "", 0, 0, -1); }},
        {"Contact_Get_DB_Data", -161, [&] { return Contact_Get_DB_Data(l.get(), kUser, kTask); }},
        {"Contact_Get_DB_Data_For_Pagination", 0,
         [&] { return Contact_Get_DB_Data_For_Pagination(l.get(), kUser, kTask, 0, 9, "contactGroups/all", ""); }},
        {"Contact_Get_Number_Of_Record", 0, [&] { return Contact_Get_Number_Of_Record(kUser, kTask, "contactGroups/all", ""); }},
        {"Group_Contact_Get_DB_Data", 0, [&] { return Group_Contact_Get_DB_Data(l.get(), kUser, kTask); }},
        {"Calendar_Get_DB_Data", -161, [&] { return Calendar_Get_DB_Data(l.get(), kUser, kTask); }},
        {"Calendar_Get_DB_Data_For_Pagination", 0,
         [&] { return Calendar_Get_DB_Data_For_Pagination(l.get(), kUser, kTask, 0, 9, nullptr); }},
        {"Calendar_Get_Number_Of_Record", 0, [&] { return Calendar_Get_Number_Of_Record(kUser, kTask); }},
        {"Calendar_Get_DB_Data_For_Advance_Search", 0,
         [&] { return Calendar_Get_DB_Data_For_Advance_Search(l.get(), kUser, kTask, "", "", 0, 0); }},
    };
    for (const Named& r : readers) EXPECT_EQ(r.call(), r.expected) << r.name;
    EXPECT_EQ(db, nullptr);
    EXPECT_EQ(l.size(), 0);
    EXPECT_TRUE(cattest::Tree(root.dir.path()).empty());
}

// Another connection holds the catalog (a read transaction, or a write lock) for a moment;
// the returned thread lets go and is joined when it goes out of scope.
std::jthread Hold_Then_Release(const std::string& file, const char* hold, std::chrono::milliseconds forHow) {
    sqlite3* other = nullptr;
    EXPECT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(other, hold, nullptr, nullptr, nullptr), SQLITE_OK);
    return std::jthread([other, forHow] {
        std::this_thread::sleep_for(forHow);
        sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr);
        sqlite3_close(other);
    });
}

TEST(CatalogBusy, WritersWaitForAReaderOrAnotherWriterInsteadOfFailing) {
    cattest::Root root;
    ASSERT_EQ(Drive_Write_DB({{"a", DriveData()}}, kUser, kTask), 0);
    ASSERT_EQ(Contact_Write_DB({{"c", ContactData()}}, kUser, kTask), 0);
    const std::string drive = root.Backup(std::string("drive_db/") + kTask + "/" + kUser + ".db");
    const std::string contact = root.Backup(std::string("contact_db/") + kTask + "/" + kUser + ".db");

    {
        auto reader = Hold_Then_Release(drive, "BEGIN; SELECT COUNT(*) FROM drive_sql_database;",
                                        std::chrono::milliseconds(300));
        EXPECT_EQ(Drive_Write_DB({{"b", DriveData()}}, kUser, kTask), 0);
    }
    {
        auto writer = Hold_Then_Release(contact, "BEGIN IMMEDIATE;", std::chrono::milliseconds(300));
        EXPECT_EQ(Contact_Write_DB({{"d", ContactData()}}, kUser, kTask), 0);
    }
    auto writer = Hold_Then_Release(drive, "BEGIN EXCLUSIVE; INSERT INTO drive_sql_database SELECT NULL,'z',drive_name,"
                             "drive_md5Checksum,drive_modifiedTime,drive_mimeType,drive_index,drive_depth,drive_size,"
                             "drive_localid,drive_parents,drive_Owner,create_time,last_backup_time,structure,"
                             "modify_timestamp FROM drive_sql_database LIMIT 1;",
                      std::chrono::milliseconds(300));
    List rows;
    EXPECT_EQ(Drive_Get_DB_Data(rows.get(), kUser, kTask), 0);  // the reader waits out the commit
    EXPECT_EQ(rows.Strings("id"), (std::vector<std::string>{"z", "b", "a"}));
}

}  // namespace
