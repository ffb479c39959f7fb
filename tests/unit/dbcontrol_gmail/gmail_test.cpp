// The Gmail catalog: its stored form, appends that replace, folders and their counts, pages,
// the advanced search and the previous-state reader.
#include "dbcontrol/gmail_db.h"
#include "dbcontrol/mail_summary_db.h"

#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

#include "../catalog_testutil.h"

namespace {

using cattest::kTask;
using cattest::kUser;
using cattest::List;
using Ids = std::vector<std::string>;
using Map = std::map<std::string, GmailData>;

GmailData Mail(const char* local, const char* from, const char* fromMail, const char* to, const char* toMail,
               const char* subject, long long date, int att, int star, int imp, int sent, int draft, int trash) {
    GmailData g;
    g.strLocalID = local;
    g.strSenderName = from;
    g.strSenderMail = fromMail;
    g.strRecipientName = to;
    g.strRecipientMail = toMail;
    g.strSubject = subject;
    g.strDate = "Mon, 1 Jan 2024";
    g.tDate = date;
    g.bHasAttachment = att;
    g.nStarred = star;
    g.nImportant = imp;
    g.nSent = sent;
    g.nDraft = draft;
    g.nTrash = trash;
    return g;
}

// Appended in key order: newest first is m06 .. m01.
Map Fixture() {
    return {
        {"m01", Mail("e01", "Alice A", "alice@x.org", "Bob", "bob@x.org", "Quarterly report", 1000, 1, 1, 0, 0, 0, 0)},
        {"m02", Mail("e02", "Carol", "carol@y.org", "Dan", "dan@y.org", "Lunch", 2000, 0, 0, 1, 1, 0, 0)},
        {"m03", Mail("e03", "Eve", "eve@z.org", "Alice A", "alice@x.org", "Re: report", 3000, 2, 0, 0, 0, 1, 0)},
        {"m04", Mail("e04", "Bob", "bob@x.org", "Carol", "carol@y.org", "Invoice 50%", 4000, 0, 0, 0, 0, 0, 1)},
        {"m05", Mail("e05", "Zed", "zed@q.org", "Y", "y@q.org", "hello", 5000, 0, 1, 0, 0, 0, 1)},
        {"m06", Mail("e06", "O'Hara", "oh@q.org", "Y", "y@q.org", "it's 5_0", 6000, 0, 0, 0, 0, 0, 0)},
    };
}

struct GmailCatalog : ::testing::Test {
    cattest::Root root;
    std::string file = root.Backup(std::string("gmail_db/") + kTask + "/" + kUser + ".db");
    Ids All() {
        List l;
        EXPECT_EQ(Gmail_Get_DB_Data(l.get(), kUser, kTask), 0);
        return l.Strings("localid");
    }
};

TEST_F(GmailCatalog, StoredFileShowsTheTableInWalModeToTheCli) {
    EXPECT_EQ(Gmail_Write_DB_Append({}, kUser, kTask, nullptr), 0);
    EXPECT_TRUE(cattest::Tree(root.dir.path()).empty());  // an empty append creates nothing
    ASSERT_EQ(Gmail_Write_DB_Append(Fixture(), kUser, kTask, nullptr), 0);
    EXPECT_EQ(cattest::Cli_Columns(file, "gmail_sql_database"),
              cattest::Expected_Columns("id", {{"gmail_id", "TEXT"}, {"drive_localid", "TEXT"}, {"sned_name", "TEXT"},
                                               {"send_mail", "TEXT"}, {"recipient_name", "TEXT"},
                                               {"recipient_mail", "TEXT"}, {"date_str", "TEXT"},
                                               {"date_timestamp", "INTEGER"}, {"subject", "TEXT"},
                                               {"has_attachment", "INTEGER"}, {"Starred", "INTEGER"},
                                               {"Important", "INTEGER"}, {"Sent", "INTEGER"}, {"Drafts", "INTEGER"},
                                               {"Trash", "INTEGER"}}));
    EXPECT_EQ(cattest::Sqlite_Cli(file, "PRAGMA journal_mode;"), "wal\n");
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT name||' '||\"unique\" FROM pragma_index_list('gmail_sql_database');"),
              "idx_gmail_drive_id 1\n");
    // The attachment flag is stored as 1 whatever non-zero value the record had.
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT gmail_id,has_attachment FROM gmail_sql_database WHERE has_attachment;"),
              "m01|1\nm03|1\n");
}

TEST_F(GmailCatalog, AnAppendedMessageReplacesItsRowAndComesFirst) {
    ASSERT_EQ(Gmail_Write_DB_Append(Fixture(), kUser, kTask, nullptr), 0);
    Map again{{"m02", Fixture()["m02"]}};
    again["m02"].nTrash = 1;
    ASSERT_EQ(Gmail_Write_DB_Append(again, kUser, kTask, nullptr), 0);
    EXPECT_EQ(All(), (Ids{"e02", "e06", "e05", "e04", "e03", "e01"}));
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT id,Trash FROM gmail_sql_database WHERE gmail_id='m02';"), "7|1\n");
}

TEST_F(GmailCatalog, AFailingRowIsSkippedAndTheOthersStay) {
    ASSERT_EQ(Gmail_Write_DB_Append({{"m00", Fixture()["m01"]}}, kUser, kTask, nullptr), 0);
    cattest::Exec_On(file, "CREATE TRIGGER refuse BEFORE INSERT ON gmail_sql_database WHEN NEW.subject='Lunch' "
                           "BEGIN SELECT RAISE(ABORT,'refused'); END;");
    Map three{{"m01", Fixture()["m01"]}, {"m02", Fixture()["m02"]}, {"m03", Fixture()["m03"]}};
    EXPECT_EQ(Gmail_Write_DB_Append(three, kUser, kTask, nullptr), -161);
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT gmail_id FROM gmail_sql_database ORDER BY id;"), "m00\nm01\nm03\n");
}

TEST_F(GmailCatalog, FoldersSelectTheirFlagsAndCountIgnoringTheKeyword) {
    ASSERT_EQ(Gmail_Write_DB_Append(Fixture(), kUser, kTask, nullptr), 0);
    const Ids every{"e06", "e05", "e04", "e03", "e02", "e01"};
    struct Case {
        const char* folder;
        Ids page;
    } cases[] = {
        {nullptr, every},      {"Inbox", every},          {"Spam", every},    {"starred", every},
        {"Starred", {"e05", "e01"}}, {"Important", {"e02"}}, {"Sent", {"e02"}}, {"Drafts", {"e03"}},
        {"Trash", {"e05", "e04"}},   {"Trash = 1 OR 1", every},
    };
    for (const Case& c : cases) {
        const char* label = c.folder ? c.folder : "NULL";
        List page;
        EXPECT_EQ(Gmail_Get_DB_Data_For_Pagination(page.get(), kUser, kTask, 0, 50, "", c.folder), 0);
        EXPECT_EQ(page.Strings("localid"), c.page) << label;
        EXPECT_EQ(Gmail_Get_Number_Of_Record(kUser, kTask, c.folder), static_cast<int>(c.page.size())) << label;
    }
    List filtered;
    Gmail_Get_DB_Data_For_Pagination(filtered.get(), kUser, kTask, 0, 50, "report", "Inbox");
    EXPECT_EQ(filtered.size(), 2);
    EXPECT_EQ(Gmail_Get_Number_Of_Record(kUser, kTask, "Inbox"), 6);
    List page;
    Gmail_Get_DB_Data_For_Pagination(page.get(), kUser, kTask, 1, 2, nullptr, "Inbox");
    EXPECT_EQ(page.Strings("localid"), (Ids{"e05", "e04"}));
    EXPECT_EQ(cattest::Keys(page.at(0)), std::set<std::string>{"localid"});
}

TEST_F(GmailCatalog, PageKeywordsMatchSendersRecipientsAndSubjects) {
    ASSERT_EQ(Gmail_Write_DB_Append(Fixture(), kUser, kTask, nullptr), 0);
    struct Case {
        const char* keyword;
        const char* folder;
        Ids page;
    } cases[] = {
        {"carol", "Inbox", {"e04", "e02"}},        // sender name and recipient name
        {"@Y.ORG", "Inbox", {"e04", "e02"}},       // addresses, ASCII case ignored
        {"alice@x", "Inbox", {"e03", "e01"}},      // sender and recipient address
        {"REPORT", "Starred", {"e01"}},            // the folder still holds
        {"5%0", "Inbox", {"e06", "e04"}},          // "%" is a wildcard: "50%" and "5_0" match
        {"it's", "Inbox", {"e06"}},                // a quote stays data
        {"' OR '1'='1", "Inbox", {}},
    };
    for (const Case& c : cases) {
        List page;
        Gmail_Get_DB_Data_For_Pagination(page.get(), kUser, kTask, 0, 50, c.keyword, c.folder);
        EXPECT_EQ(page.Strings("localid"), c.page) << c.keyword;
    }
}

TEST_F(GmailCatalog, AdvancedSearchFilters) {
    ASSERT_EQ(Gmail_Write_DB_Append(Fixture(), kUser, kTask, nullptr), 0);
    struct Case {
        const char* what;
        const char* sender;
        const char* recipient;
        const char* subject;
        int early, late, att;
        Ids found;
    } cases[] = {
        {"sender name only, not the address", "alice", nullptr, nullptr, 0, 0, -1, {"e01"}},
        {"sender address is not searched", "x.org", nullptr, nullptr, 0, 0, -1, {}},
        {"recipient name", nullptr, "alice", nullptr, 0, 0, -1, {"e03"}},
        {"subject", nullptr, nullptr, "report", 0, 0, -1, {"e03", "e01"}},
        {"with attachment", nullptr, nullptr, nullptr, 0, 0, 1, {"e03", "e01"}},
        {"without attachment", nullptr, nullptr, nullptr, 0, 0, 0, {"e06", "e05", "e04", "e02"}},
        {"only late: at or before", nullptr, nullptr, nullptr, 0, 2000, -1, {"e02", "e01"}},
        {"only early: at or after", nullptr, nullptr, nullptr, 5000, 0, -1, {"e06", "e05"}},
        {"closed range", nullptr, nullptr, nullptr, 2000, 4000, -1, {"e04", "e03", "e02"}},
        {"empty keyword matches every row", "", nullptr, nullptr, 0, 0, 7, {"e06", "e05", "e04", "e03", "e02", "e01"}},
        {"together", "", "y", "l", 3000, 6000, 0, {"e05"}},
        {"nothing set", nullptr, nullptr, nullptr, 0, 0, -1, {}},
        {"a quote stays data", "O'Hara", nullptr, "'; DELETE FROM gmail_sql_database; --", 0, 0, -1, {}},
    };
    for (const Case& c : cases) {
        List found;
        EXPECT_EQ(Gmail_Get_DB_Data_For_Advance_Search(found.get(), kUser, kTask, c.sender, c.recipient, c.subject, c.early,
                                                       c.late, c.att),
                  0);
        EXPECT_EQ(found.Strings("localid"), c.found) << c.what;
    }
    EXPECT_EQ(All().size(), 6u);
}

TEST_F(GmailCatalog, ReadAddsCatalogRowsToTheCallersMap) {
    Map fixture = Fixture();
    fixture["m07"] = Mail("", "no", "file", "", "", "skipped: no local id", 1, 0, 0, 0, 0, 0, 0);
    ASSERT_EQ(Gmail_Write_DB_Append(fixture, kUser, kTask, nullptr), 0);
    Map read{{"m01", GmailData()}, {"pending", Mail("p", "", "", "", "", "", 0, 0, 0, 0, 0, 0, 0)}};
    ASSERT_EQ(Gmail_Read_DB(read, kUser, kTask), 0);
    EXPECT_EQ(read.size(), 7u);  // six with a local id, plus the caller's own entry
    EXPECT_EQ(read.count("m07"), 0u);
    EXPECT_EQ(read["pending"].strLocalID, "p");
    const GmailData& m01 = read["m01"];
    EXPECT_EQ(m01.strLocalID, "e01");
    EXPECT_EQ(m01.strSenderMail, "alice@x.org");
    EXPECT_EQ(m01.tDate, 1000);
    EXPECT_EQ(m01.bHasAttachment, 1);
    EXPECT_EQ(m01.nStarred, 1);
    EXPECT_EQ(read["m04"].nTrash, 1);
}

TEST_F(GmailCatalog, AnUnreadableCatalogLeavesTheMapAsItWas) {
    std::filesystem::create_directories(root.Backup(std::string("gmail_db/") + kTask));
    std::ofstream(file) << "this file is no database at all, and long enough to have a header";
    Map read{{"keep", Mail("k", "", "", "", "", "", 0, 0, 0, 0, 0, 0, 0)}};
    testing::internal::CaptureStderr();
    EXPECT_EQ(Gmail_Read_DB(read, kUser, kTask), -161);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "file is not a database(26)\n");
    EXPECT_EQ(read.size(), 1u);
    EXPECT_EQ(read["keep"].strLocalID, "k");
}

TEST_F(GmailCatalog, DeleteAndTheCacheGoingWithAFreshOpen) {
    ASSERT_EQ(Gmail_Write_DB_Append(Fixture(), kUser, kTask, nullptr), 0);
    EXPECT_EQ(Gmail_Delete_DB(kTask, kUser, "m03"), 0);
    EXPECT_EQ(Gmail_Delete_DB(kTask, kUser, "m03"), 0);
    EXPECT_EQ(All(), (Ids{"e06", "e05", "e04", "e02", "e01"}));

    sqlite3* db = nullptr;
    ASSERT_EQ(Gmail_SQL_Open_Datebase(&db, kUser, kTask, false), 0);
    EXPECT_EQ(Gmail_SQL_Create_Table(db), 0);  // already there: fine
    sqlite3_close(db);
    EXPECT_EQ(Gmail_SQL_Create_Table(nullptr), -22);

    const std::string cache = root.Backup(std::string("gmail_db/") + kTask + "/" + kUser + ".cache");
    std::ofstream(cache) << "{}";
    EXPECT_EQ(Gmail_SQL_Open_Datebase(&db, kUser, kTask, true), -161);
    EXPECT_EQ(db, nullptr);
    EXPECT_EQ(cattest::Tree(root.Backup(std::string("gmail_db/") + kTask)), std::set<std::string>{});
}

}  // namespace

namespace {

TEST_F(GmailCatalog, FolderCountsInOneReadAgreeWithEachFolderCount) {
    int counts[6] = {-7, -7, -7, -7, -7, -7};
    // Never written: a failed read that leaves the counts and the store as they were.
    EXPECT_EQ(Gmail_Get_Folder_Counts(kUser, kTask, counts), -161);
    EXPECT_EQ(counts[0], -7);
    EXPECT_FALSE(std::filesystem::exists(root.Backup("gmail_db")));
    EXPECT_EQ(Gmail_Get_Folder_Counts("../x", kTask, counts), -22);

    ASSERT_EQ(Gmail_Write_DB_Append(Fixture(), kUser, kTask, nullptr), 0);
    ASSERT_EQ(Gmail_Get_Folder_Counts(kUser, kTask, counts), 0);
    const char* folders[] = {"Inbox", "Starred", "Important", "Sent", "Drafts", "Trash"};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(counts[i], Gmail_Get_Number_Of_Record(kUser, kTask, folders[i])) << folders[i];
    EXPECT_EQ(counts[5], 2);

    // A file that is not a catalog cannot be read.
    std::filesystem::remove(file + "-wal");
    std::filesystem::remove(file + "-shm");
    { std::ofstream(file, std::ios::trunc) << "not a database"; }
    EXPECT_EQ(Gmail_Get_Folder_Counts(kUser, kTask, counts), -161);
}

}  // namespace

namespace {

TEST_F(GmailCatalog, SummaryStoreKeepsEntriesPerFileStampAndGoesWithTheCatalog) {
    qlm::catalog::DbHandle store;
    // No catalog folder: no store, and nothing is created.
    EXPECT_EQ(qlm::Mail_Summary_Open(kUser, kTask, store), -161);
    EXPECT_FALSE(std::filesystem::exists(root.Backup("gmail_db")));
    EXPECT_EQ(qlm::Mail_Summary_Open("../x", kTask, store), -22);

    ASSERT_EQ(Gmail_Write_DB_Append(Fixture(), kUser, kTask, nullptr), 0);
    const std::string file = qlm::Mail_Summary_File(kUser, kTask);
    { std::ofstream(file) << "damaged"; }
    ASSERT_EQ(qlm::Mail_Summary_Open(kUser, kTask, store), 0);  // a damaged store is made again
    qlm::Mail_Fields in;
    in.sender = "\"O'Hara, S\"";
    in.subject = "it's 100%";
    in.date = 1700000000;
    in.attachments = 3;
    const qlm::Mail_File_Stamp stamp{1234, 99};
    ASSERT_EQ(qlm::Mail_Summary_Put(store.get(), "e01", stamp, in), 0);
    qlm::Mail_Fields out;
    ASSERT_EQ(qlm::Mail_Summary_Find(store.get(), "e01", stamp, out), 0);
    EXPECT_EQ(std::tie(out.sender, out.subject, out.date, out.attachments),
              std::tie(in.sender, in.subject, in.date, in.attachments));
    for (const qlm::Mail_File_Stamp other : {qlm::Mail_File_Stamp{1235, 99}, qlm::Mail_File_Stamp{1234, 98}})
        EXPECT_EQ(qlm::Mail_Summary_Find(store.get(), "e01", other, out), -2);
    EXPECT_EQ(qlm::Mail_Summary_Find(store.get(), "e02", stamp, out), -2);
    store.reset();

    sqlite3* db = nullptr;
    EXPECT_NE(Gmail_SQL_Open_Datebase(&db, kUser, kTask, true), 0);
    sqlite3_close(db);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_FALSE(std::filesystem::exists(file + "-wal"));
}

}  // namespace
