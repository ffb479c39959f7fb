#include "common/filehelpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "../platform_testdir.h"
#include "common/paths.h"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
using plattest::Read_File;
using plattest::Write_File;

Names Sorted(Names v) {
    std::sort(v.begin(), v.end());
    return v;
}

// Every file below root, relative to it, sorted.
Names Files_Below(const std::string& root) {
    Names out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_symlink() || e.is_regular_file()) out.push_back(fs::relative(e.path(), root).string());
    return Sorted(out);
}

TEST(FolderLists, NamesWithAndWithoutCatalogs) {
    plattest::TempDir dir;
    Write_File(dir / "a", "x");
    Write_File(dir / "b.db", "x");
    Write_File(dir / "b.db-journal", "x");
    fs::create_directory(dir / "sub");

    Names all{"kept"};
    EXPECT_EQ(GetFolderList(all, dir.path().c_str()), 0);
    EXPECT_EQ(Sorted(all), (Names{"a", "b.db", "b.db-journal", "kept", "sub"}));  // appended

    Names noDb, withDb;
    EXPECT_EQ(Get_Folder_Name_List(noDb, dir.path().c_str(), false), 0);
    EXPECT_EQ(Sorted(noDb), (Names{"a", "b.db-journal", "sub"}));
    EXPECT_EQ(Get_Folder_Name_List(withDb, dir.path().c_str(), true), 0);
    EXPECT_EQ(Sorted(withDb), (Names{"a", "b.db", "b.db-journal", "sub"}));

    Names none;
    const std::string missing = dir / "missing";
    EXPECT_EQ(GetFolderList(none, missing.c_str()), 0);
    EXPECT_EQ(Get_Folder_Name_List(none, missing.c_str(), true), -161);
    EXPECT_TRUE(none.empty());
}

TEST(FolderLists, ListFilesGivesFullPathsOfRegularFilesThroughLinks) {
    plattest::TempDir dir;
    Write_File(dir / "a", "x");
    fs::create_directory(dir / "sub");
    Write_File(dir / "sub/deep", "x");
    fs::create_symlink(dir / "a", dir / "link");
    fs::create_symlink(dir / "gone", dir / "dangling");
    fs::create_symlink(dir / "sub", dir / "dirlink");

    Names files;
    listFiles(dir.path() + "/", files);
    EXPECT_EQ(Sorted(files), (Names{dir / "a", dir / "link"}));
    listFiles(dir / "missing/", files);
    EXPECT_EQ(files.size(), 2u);
}

TEST(FolderSize, CountsRegularFilesAtAnyDepthAndNoLinks) {
    plattest::TempDir dir;
    fs::create_directories(dir / "tree/sub/deeper");
    Write_File(dir / "tree/a", std::string(10, 'a'));
    Write_File(dir / "tree/sub/b", std::string(20, 'b'));
    Write_File(dir / "tree/sub/deeper/c", std::string(5, 'c'));
    fs::create_directory(dir / "outside");
    Write_File(dir / "outside/big", std::string(1000, 'x'));
    fs::create_symlink(dir / "outside/big", dir / "tree/biglink");
    fs::create_symlink(dir / "outside", dir / "tree/sub/dirlink");

    EXPECT_EQ(get_folder_size(dir / "tree"), 35);
    EXPECT_EQ(get_folder_size(dir / "missing"), 0);
}

// A test root with one task's four service stores.
class AccountLists : public ::testing::Test {
protected:
    void SetUp() override { env_ = std::make_unique<plattest::ScopedEnv>("QLM_ROOT", root_.path()); }
    std::string Store(const char* service) const { return qlm::Backup_Service_Dir(service) + "/" + kTask; }

    static constexpr const char* kTask = "6f1c2a4e-8b0d-4c3e-9a7f-1d2e3f4a5b6c";
    plattest::TempDir root_;
    std::unique_ptr<plattest::ScopedEnv> env_;
};

TEST_F(AccountLists, KeepOnlyAccountFoldersOrCatalogFiles) {
    using Lister = int (*)(const char*, std::vector<std::string>&);
    struct Case {
        const char* service;
        Lister list;
        Names folders, files, links;
        Names expected;
    };
    const Case cases[] = {
        {"gmail", List_Gmail_Backuped_User, {"a@x.com", "b@x.com", "c@x.com.db"},
         {"a@x.com.gmail_lck", "stray.txt"}, {"d@x.com"}, {"a@x.com", "b@x.com"}},
        {"drive", List_Drive_Backuped_User, {"a@x.com"}, {"a@x.com.drive_lck"}, {"d@x.com"}, {"a@x.com"}},
        {"calendar_db", List_Calendar_Backuped_User, {"dir@x.com.db"},
         {"a@x.com.db", "a@x.com.db-journal", "b@x.com.db", "b@x.com.db-wal", "a@x.com.calendar_lck", ".db"},
         {"d@x.com.db"}, {"a@x.com.db", "b@x.com.db"}},
        {"contact_db", List_Contact_Backuped_User, {}, {"a@x.com.db", "a@x.com.db-journal", "lock"}, {},
         {"a@x.com.db"}},
    };
    for (const Case& c : cases) {
        const std::string store = Store(c.service);
        fs::create_directories(store);
        Write_File(root_ / "target.db", "x");
        fs::create_directory(root_ / "targetdir");
        for (const auto& d : c.folders) fs::create_directory(store + "/" + d);
        for (const auto& f : c.files) Write_File(store + "/" + f, "x");
        for (const auto& l : c.links)
            fs::create_symlink(l.ends_with(".db") ? root_ / "target.db" : root_ / "targetdir", store + "/" + l);

        Names got{"kept"};
        EXPECT_EQ(c.list(kTask, got), 0) << c.service;
        Names expected = c.expected;
        expected.push_back("kept");
        EXPECT_EQ(Sorted(got), Sorted(expected)) << c.service;
    }
}

TEST_F(AccountLists, MissingStoreAndBadTaskIds) {
    for (auto list : {List_Gmail_Backuped_User, List_Drive_Backuped_User, List_Calendar_Backuped_User,
                      List_Contact_Backuped_User}) {
        Names got;
        EXPECT_EQ(list(kTask, got), -161);
        fs::create_directories(qlm::Backup_Dir() + "/x");
        EXPECT_EQ(list("../x", got), -22);
        EXPECT_EQ(list("", got), -22);
        EXPECT_EQ(list(nullptr, got), -22);
        EXPECT_TRUE(got.empty());
    }
}

TEST(SafeCopy, PicksTheFirstFreeNameAndWritesNothingExisting) {
    struct Case {
        Names existing;
        const char* dst;
        const char* created;  // nullptr: nothing is created
    };
    const Case cases[] = {
        {{}, "a.txt", "a.txt"},
        {{"a.txt"}, "a.txt", "a(1).txt"},
        {{"a.txt", "a(1).txt"}, "a.txt", "a(2).txt"},
        {{"a.txt", "a(2).txt"}, "a.txt", "a(1).txt"},
        {{"folder/archive.old/readme"}, "folder/archive.old/readme", "folder/archive.old/readme(1)"},
        {{"d.x\\readme"}, "d.x\\readme", "d.x\\readme(1)"},
        {{"dir/.bashrc"}, "dir/.bashrc", "dir/(1).bashrc"},
        {{"a.tar.gz"}, "a.tar.gz", "a.tar(1).gz"},
        {{"src.bin"}, "src.bin", nullptr},  // the source itself
        {{}, "no/such/folder/a.txt", nullptr},
    };
    for (const Case& c : cases) {
        plattest::TempDir dir;
        fs::create_directory(dir / "out");
        const std::string out = dir / "out";
        for (const auto& e : c.existing) {
            fs::create_directories(fs::path(out + "/" + e).parent_path());
            Write_File(out + "/" + e, "old " + e);
        }
        const std::string src = out + "/src.bin";
        if (!fs::exists(src)) Write_File(src, "payload");
        Names before = Files_Below(out);

        SafeCopyFile(src, out + "/" + c.dst);

        Names expected = before;
        if (c.created) {
            expected.push_back(c.created);
            EXPECT_EQ(Read_File(out + "/" + c.created), Read_File(src)) << c.dst;
        }
        EXPECT_EQ(Files_Below(out), Sorted(expected)) << c.dst;
        for (const auto& e : c.existing) EXPECT_EQ(Read_File(out + "/" + e), "old " + e) << c.dst;
    }
}

TEST(SafeCopy, NeverWritesThroughAPlantedLink) {
    plattest::TempDir dir;
    Write_File(dir / "src", "payload");
    Write_File(dir / "victim", "precious");
    fs::create_symlink(dir / "victim", dir / "a.txt");      // existing target
    fs::create_symlink(dir / "created", dir / "a(1).txt");  // dangling: a stat would call it free

    SafeCopyFile(dir / "src", dir / "a.txt");

    EXPECT_EQ(Read_File(dir / "victim"), "precious");
    EXPECT_FALSE(fs::exists(dir / "created"));
    EXPECT_EQ(Read_File(dir / "a(2).txt"), "payload");
    EXPECT_FALSE(fs::is_symlink(dir / "a(2).txt"));
}

TEST(TextHelpers, SameDomainAndTrim) {
    struct Domains {
        const char* a;
        const char* b;
        bool same;
    };
    const Domains domains[] = {
        {"a@example.com", "b@example.com", true},
        {"a@Example.com", "b@example.com", true},  // one domain whatever its letter case
        {"a@EXAMPLE.COM", "b@example.com", true},
        {"a@example.com", "b@exampl.com", false},
        {"a@b\xC3\x84.com", "b@b\xC3\xA4.com", false},  // only ASCII letters fold
        {"a@[.com", "b@{.com", false},                   // nor the signs beside them
        {"a@example.com", "b@example.co", false},
        {"a@x@y.com", "b@x@y.com", true},  // the text after the first "@"
        {"a@x@y.com", "b@y.com", false},
        {"example.com", "example.com", false},
        {"a@", "b@", true},
        {"a@example.com.", "b@example.com", true},  // the absolute form of the name
        {"a@example.com", "B@EXAMPLE.COM.", true},
        {"a@example.com.", "b@example.com.", true},
        {"a@example.com..", "b@example.com", false},  // one dot, not any number
        {"a@example.com.", "b@example.co", false},
        {"a@.example.com", "b@example.com", false},
    };
    for (const Domains& d : domains) EXPECT_EQ(IsSameDomain(d.a, d.b), d.same) << d.a << " " << d.b;

    struct Trim {
        const char* in;
        const char* out;
    };
    const Trim trims[] = {
        {" \t\r\n", ""}, {"", ""}, {"\t a b \r\n", "a b"}, {"x", "x"}, {"\vx ", "\vx"},
    };
    for (const Trim& t : trims) EXPECT_EQ(trim(t.in), t.out) << t.in;
}

// A tree built from descriptors may be deeper than any path: every folder is reached one
// component at a time, joined when it is a real folder, numbered when something else has the name,
// and never entered through a link.
TEST(FolderBelow, BuildsATreeDeeperThanThePathLimitAndNeverFollowsALink) {
    plattest::TempDir dir;
    const FdGuard root{open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    ASSERT_GE(root.fd, 0);
    Folder_Below below;
    std::string rel;
    for (int i = 0; i < 30; ++i) {
        const int parent = below.Open(root.fd, rel);
        ASSERT_GE(parent, 0) << i;
        const std::string made = Make_Or_Join_Folder_At(parent, std::string(200, 'a' + i % 26));
        ASSERT_FALSE(made.empty()) << i;
        rel = rel.empty() ? made : rel + "/" + made;
    }
    ASSERT_GT(rel.size(), static_cast<size_t>(PATH_MAX));
    Write_File(dir / "src", "deep");
    const int bottom = below.Open(root.fd, rel);
    ASSERT_GE(bottom, 0);
    EXPECT_EQ(Link_Or_Copy_Free_At(dir / "src", bottom, "f.txt"), "f.txt");
    EXPECT_EQ(Link_Or_Copy_Free_At(dir / "src", bottom, "f.txt"), "f(1).txt");
    const FdGuard read{openat(bottom, "f(1).txt", O_RDONLY | O_CLOEXEC)};
    char buf[8] = {};
    EXPECT_EQ(::read(read.fd, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "deep");

    // Joined, numbered past a file and a link, and a link in the way is never entered.
    std::filesystem::create_directory(dir / "real");
    Write_File(dir / "file", "x");
    std::filesystem::create_directory_symlink(dir / "real", dir / "link");
    EXPECT_EQ(Make_Or_Join_Folder_At(root.fd, "real"), "real");
    EXPECT_EQ(Make_Or_Join_Folder_At(root.fd, "file"), "file(1)");
    EXPECT_EQ(Make_Or_Join_Folder_At(root.fd, "link"), "link(1)");
    EXPECT_EQ(below.Open(root.fd, "link"), -1);
    EXPECT_EQ(below.Open(root.fd, "real/../link"), -1);
    EXPECT_EQ(below.Open(root.fd, ""), root.fd);
}

TEST(MailAttachment, FirstBase64PartNamingTheFile) {
    plattest::TempDir dir;
    const std::string mail = dir / "m.eml";
    Write_File(mail,
               "From: a@x.com\r\n"
               "Content-Type: multipart/mixed; boundary=\"B\"\r\n"
               "\r\n"
               "--B\r\n"
               "Content-Type: text/plain\r\n"
               "\r\n"
               "hello\r\n"
               "--B\r\n"
               "Content-Type: application/pdf; name=\"plain.pdf\"\r\n"
               "Content-Disposition: attachment; filename=\"plain.pdf\"\r\n"
               "Content-Transfer-Encoding: quoted-printable\r\n"
               "\r\n"
               "not base64\r\n"
               "--B\r\n"
               "Content-Type: application/pdf; name=\"r.pdf\"\r\n"
               "Content-Disposition: attachment;\r\n"
               "  filename=\"r.pdf\"\r\n"
               "Content-Transfer-Encoding: base64\r\n"
               "\r\n"
               "QUFB\r\n"
               "QkJC\r\n"
               "\r\n"
               "--B\r\n"
               "Content-Disposition: attachment; filename=\"r.pdf\"\r\n"
               "Content-Transfer-Encoding: base64\r\n"
               "\r\n"
               "U0VDT05E\r\n"
               "--B\r\n"
               "Content-Type: image/png; name=\"only-name.png\"\r\n"
               "Content-Transfer-Encoding: base64\r\n"
               "\r\n"
               "UE5H\r\n"
               "--B--\r\n"
               "--C\r\n"
               "Content-Disposition: attachment; filename=\"last.txt\"\r\n"
               "Content-Transfer-Encoding: base64\r\n"
               "\r\n"
               "TEFTVA==\r\n");
    struct Case {
        const char* name;
        const char* body;
    };
    const Case cases[] = {
        {"r.pdf", "QUFBQkJC"},          // the first of two parts with that name
        {"plain.pdf", ""},              // not base64
        {"only-name.png", "UE5H"},      // name= without filename=
        {"last.txt", "TEFTVA=="},       // the file ends inside the part
        {"r.pd", ""},
        {"missing.doc", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(extractFirstBase64ByFilename(mail, c.name), c.body) << c.name;
    EXPECT_EQ(extractFirstBase64ByFilename(dir / "none.eml", "r.pdf"), "");
    // All names in one reading find what each finds alone.
    std::set<std::string> all;
    for (const Case& c : cases) all.insert(c.name);
    const Base64_Parts parts = Base64_Parts_By_Filename(mail, all);
    for (const Case& c : cases) {
        const auto it = parts.find(c.name);
        EXPECT_EQ(it == parts.end() ? std::string() : *it->second, c.body) << c.name;
    }
    EXPECT_TRUE(Base64_Parts_By_Filename(dir / "none.eml", all).empty());
}

// A part may carry thousands of names: every one of them gets that part's body, held once.
TEST(MailAttachment, ManyNamesOfOnePartShareOneBody) {
    plattest::TempDir dir;
    const std::string mail = dir / "m.eml";
    std::string text = "Content-Type: multipart/mixed; boundary=\"B\"\r\n\r\n--B\r\n";
    std::set<std::string> names;
    for (int i = 0; i < 3000; ++i) {
        names.insert("n" + std::to_string(i) + ".png");
        text += "Content-Type: image/png; name=\"n" + std::to_string(i) + ".png\"\r\n";
    }
    const std::string body(200000, 'A');
    text += "Content-Transfer-Encoding: base64\r\n\r\n" + body + "\r\n--B\r\n"
            "Content-Type: image/png; name=\"own.png\"\r\nContent-Transfer-Encoding: base64\r\n\r\nQUJD\r\n--B--\r\n";
    Write_File(mail, text);
    names.insert("own.png");
    names.insert("absent.png");
    const Base64_Parts parts = Base64_Parts_By_Filename(mail, names);
    ASSERT_EQ(parts.size(), 3001u);
    const auto first = parts.at("n0.png");
    EXPECT_EQ(*first, body);
    for (int i = 0; i < 3000; ++i) EXPECT_EQ(parts.at("n" + std::to_string(i) + ".png"), first) << i;
    EXPECT_EQ(*parts.at("own.png"), "QUJD");
}

// A test root whose clock stands at a fixed instant, with mission folders to fill.
class MissionName : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::make_unique<plattest::ScopedEnv>("QLM_ROOT", dir_.path());
        fixed_ = std::make_unique<plattest::ScopedEnv>("QLM_FIXED_TIME", "1710059415");  // 2024-03-10T08:30:15Z
        tz_ = std::make_unique<plattest::ScopedEnv>("TZ", "Asia/Taipei");
        tzset();
        fs::create_directories(qlm::Scheduling_Mission_Dir());
        fs::create_directories(qlm::History_Mission_Dir());
    }
    void TearDown() override {
        tz_.reset();
        tzset();
    }
    static void Mission(const std::string& folder, const std::string& file, const std::string& name) {
        Write_File(folder + "/" + file, "{\"mission_name\": \"" + name + "\", \"task_id\": \"t\"}");
    }

    plattest::TempDir dir_;
    std::unique_ptr<plattest::ScopedEnv> root_, fixed_, tz_;
};

TEST_F(MissionName, SmallestNumberFreeAmongScheduledAndRunning) {
    struct Case {
        const char* what;
        Names scheduled, running, history;
        const char* expected;
    };
    const Case cases[] = {
        {"empty", {}, {}, {}, "Task20240310-1"},
        {"gap filled by running", {"Task20240310-1", "Task20240310-3"}, {"Task20240310-2"}, {}, "Task20240310-4"},
        {"history ignored", {}, {}, {"Task20240310-1"}, "Task20240310-1"},
        {"later file frees earlier", {"Task20240310-2"}, {"Task20240310-1"}, {}, "Task20240310-3"},
        {"gap kept", {"Task20240310-2"}, {}, {}, "Task20240310-1"},
        {"other days", {"Task20240309-1", "Task20240310-1x"}, {"task20240310-1"}, {}, "Task20240310-1"},
    };
    for (const Case& c : cases) {
        for (auto folder : {qlm::Scheduling_Mission_Dir(), qlm::Mission_Dir(), qlm::History_Mission_Dir()})
            for (const auto& e : fs::directory_iterator(folder))
                if (e.is_regular_file()) fs::remove(e.path());
        int i = 0;
        for (const auto& n : c.scheduled) Mission(qlm::Scheduling_Mission_Dir(), "s" + std::to_string(i++), n);
        for (const auto& n : c.running) Mission(qlm::Mission_Dir(), "r" + std::to_string(i++), n);
        for (const auto& n : c.history) Mission(qlm::History_Mission_Dir(), "h" + std::to_string(i++), n);
        EXPECT_EQ(Get_New_Mission_Name(), c.expected) << c.what;
    }
}

TEST_F(MissionName, UnreadableRecordsArePassedOverAndTheDateIsLocal) {
    Write_File(qlm::Mission_Dir() + "/broken", "{\"mission_name\": ");
    Write_File(qlm::Mission_Dir() + "/noname", "{\"task_id\": \"t\"}");
    Write_File(qlm::Mission_Dir() + "/list", "[\"Task20240310-1\"]");
    Write_File(qlm::Mission_Dir() + "/number", "{\"mission_name\": 1}");
    Mission(qlm::Scheduling_Mission_Dir(), "s", "Task20240310-1");
    EXPECT_EQ(Get_New_Mission_Name(), "Task20240310-2");

    // 2024-03-09T20:00:00Z is already the 10th in Taipei, still the 9th in New York.
    plattest::ScopedEnv at("QLM_FIXED_TIME", "1710014400");
    EXPECT_EQ(Get_New_Mission_Name(), "Task20240310-2");
    plattest::ScopedEnv ny("TZ", "America/New_York");
    tzset();
    EXPECT_EQ(Get_New_Mission_Name(), "Task20240309-1");
}

}  // namespace
