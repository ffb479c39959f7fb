// The per-item reads and writes beside the whole-state JSON files: what tools add shows in every
// whole load, hand edits of the JSON are seen, whole saves win, a damaged index hides nothing.
#include "gwssim_fixture.h"

#include <gwssim/json_util.h>

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

using gwstest::DomainTest;
using gwstest::Read;

namespace {

const char kUser[] = "alice@example.test";

class IndexTest : public DomainTest {
protected:
    std::string User_Dir() { return Gwssim_User_Dir(root, kUser); }
    std::string Drive_File() { return User_Dir() + "/drive.json"; }

    GwsDriveItem New_Item(const std::string& name, const std::string& parent) {
        GwsDriveItem it;
        EXPECT_EQ(Gwssim_New_Id(root, "file", it.id), 0);
        it.name = name;
        it.mime_type = "text/plain";
        it.parent = parent;
        it.owner = kUser;
        it.created_time = it.modified_time = "2024-03-05T10:20:30.123Z";
        it.md5 = Gwssim_Md5_Hex("x");
        it.size = 1;
        it.has_blob = true;
        it.permissions.push_back({"bob@example.test", "Bob", "reader", "user"});
        return it;
    }

    void Add(const GwsDriveItem& it) {
        GwsLock lock;
        ASSERT_EQ(Gwssim_Lock_State(root, lock), 0);
        ASSERT_EQ(Gwssim_Add_Drive_Item(root, kUser, it), 0);
    }

    GwsDrive Load() {
        GwsDrive d;
        EXPECT_EQ(Gwssim_Load_Drive(root, kUser, d), 0);
        return d;
    }

    static int Count(const GwsDrive& d, const std::string& id) {
        int n = 0;
        for (const auto& it : d.items) n += it.id == id;
        return n;
    }

    static void Expect_Same(const GwsDriveItem& a, const GwsDriveItem& b) {
        EXPECT_EQ(a.id, b.id);
        EXPECT_EQ(a.name, b.name);
        EXPECT_EQ(a.parent, b.parent);
        EXPECT_EQ(a.owner, b.owner);
        EXPECT_EQ(a.md5, b.md5);
        EXPECT_EQ(a.size, b.size);
        EXPECT_EQ(a.has_blob, b.has_blob);
        ASSERT_EQ(a.permissions.size(), b.permissions.size());
        EXPECT_EQ(a.permissions[0].email, b.permissions[0].email);
    }
};

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);  // in place, as a script edits a file
    f << bytes;
}

}  // namespace

TEST_F(IndexTest, AnAddedItemIsFoundAndFollowsTheStoredItemsWithoutRewritingTheJson) {
    GwsDrive before = Load();
    ASSERT_FALSE(before.items.empty());
    std::string json = Read(Drive_File());
    GwsDriveItem it = New_Item("a \"quoted\"\nname $(x)", before.root_id);
    Add(it);

    EXPECT_EQ(Read(Drive_File()), json);
    GwsDrive after = Load();
    ASSERT_EQ(after.items.size(), before.items.size() + 1);
    EXPECT_EQ(after.root_id, before.root_id);
    for (size_t i = 0; i < before.items.size(); ++i) EXPECT_EQ(after.items[i].id, before.items[i].id);
    Expect_Same(after.items.back(), it);

    GwsDriveItem found;
    std::string root_id;
    ASSERT_EQ(Gwssim_Find_Drive_Item(root, kUser, it.id, found, &root_id), 0);
    Expect_Same(found, it);
    EXPECT_EQ(root_id, before.root_id);
    ASSERT_EQ(Gwssim_Find_Drive_Item(root, kUser, before.items[0].id, found), 0);
    EXPECT_EQ(found.name, before.items[0].name);
    EXPECT_EQ(Gwssim_Find_Drive_Item(root, kUser, "no-such-id", found), -2);
}

// A backup only reads: the index one read builds must be there for the next, or every call would
// read the whole Drive again.
TEST_F(IndexTest, AReadLeavesTheIndexBuiltForTheNextCall) {
    GwsDrive d = Load();
    ASSERT_FALSE(d.items.empty());
    std::filesystem::remove(User_Dir() + "/drive.idx");
    GwsDriveItem found;
    ASSERT_EQ(Gwssim_Find_Drive_Item(root, kUser, d.items.back().id, found), 0);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2((User_Dir() + "/drive.idx").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM rows WHERE list='items'", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ((size_t)sqlite3_column_int64(st, 0), d.items.size());
    sqlite3_finalize(st);
    sqlite3_close(db);
}

// Tests and scripts edit drive.json by hand, in place and within the same second as the index was
// read: the next read sees the edit, and what tools added before it is still there, once.
TEST_F(IndexTest, HandEditsOfTheJsonAreSeenAndAddedItemsSurviveThem) {
    struct Case {
        const char* what;
        std::function<void(std::string& json, const GwsDrive& d, const GwsDriveItem& added)> edit;
        std::function<void(const GwsDrive& d, const GwsDrive& before, const GwsDriveItem& added)> check;
    } cases[] = {
        {"one letter of a name, same size",
         [](std::string& json, const GwsDrive& d, const GwsDriveItem&) {
             size_t at = json.find("\"" + d.items[0].name + "\"");
             ASSERT_NE(at, std::string::npos);
             json[at + 1] = json[at + 1] == 'Z' ? 'Y' : 'Z';
         },
         [](const GwsDrive& d, const GwsDrive& before, const GwsDriveItem&) {
             EXPECT_NE(d.items[0].name, before.items[0].name);
             EXPECT_EQ(d.items[0].name.substr(1), before.items[0].name.substr(1));
         }},
        {"an item removed",
         [](std::string& json, const GwsDrive&, const GwsDriveItem&) {
             GwsJson o = Gwssim_Json_Parse(json);
             ASSERT_TRUE(o);
             json_object_array_del_idx(Gwssim_Json_Array(o.get(), "items"), 0, 1);
             json = Gwssim_Json_Text(o.get());
         },
         [](const GwsDrive& d, const GwsDrive& before, const GwsDriveItem&) {
             EXPECT_EQ(Count(d, before.items[0].id), 0);
             EXPECT_EQ(Count(d, before.items[1].id), 1);
         }},
        {"the added item written into the JSON as well",
         [](std::string& json, const GwsDrive&, const GwsDriveItem& added) {
             size_t end = json.rfind(']');
             json.insert(end, ",{\"id\":\"" + added.id + "\",\"name\":\"hand\",\"mimeType\":\"text/plain\",\"parent\":\"x\"}");
         },
         [](const GwsDrive& d, const GwsDrive&, const GwsDriveItem& added) {
             EXPECT_EQ(Count(d, added.id), 1);
             for (const auto& it : d.items)
                 if (it.id == added.id) {
                     EXPECT_EQ(it.name, "hand");
                 }
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        GwsDrive before = Load();
        GwsDriveItem added = New_Item("added.txt", before.root_id);
        Add(added);
        ASSERT_EQ(Count(Load(), added.id), 1);  // the index is now built and current
        std::string json = Read(Drive_File());
        c.edit(json, before, added);
        Write(Drive_File(), json);
        GwsDrive d = Load();
        c.check(d, before, added);
        EXPECT_GE(Count(d, added.id), 1) << "what a tool added before the edit is lost";
        GwsDriveItem found;
        EXPECT_EQ(Gwssim_Find_Drive_Item(root, kUser, added.id, found), 0);
    }
}

TEST_F(IndexTest, AWholeSaveReplacesWhatToolsAdded) {
    GwsDrive before = Load();
    GwsDriveItem a = New_Item("a.txt", before.root_id), b = New_Item("b.txt", before.root_id);
    Add(a);
    Add(b);
    GwsDrive d = Load();
    ASSERT_EQ(d.items.size(), before.items.size() + 2);
    d.items.erase(d.items.end() - 2);  // a goes, b stays
    d.items.erase(d.items.begin());    // and so does a stored item
    ASSERT_EQ(Gwssim_Save_Drive(root, kUser, d), 0);

    GwsDrive after = Load();
    ASSERT_EQ(after.items.size(), before.items.size());
    EXPECT_EQ(Count(after, a.id), 0);
    EXPECT_EQ(Count(after, b.id), 1);
    EXPECT_EQ(Count(after, before.items[0].id), 0);
    GwsDriveItem found;
    EXPECT_EQ(Gwssim_Find_Drive_Item(root, kUser, a.id, found), -2);
    EXPECT_EQ(Gwssim_Find_Drive_Item(root, kUser, before.items[0].id, found), -2);
}

TEST_F(IndexTest, ADamagedIndexNeitherHidesTheJsonNorStopsWrites) {
    GwsDrive before = Load();
    Write(User_Dir() + "/drive.idx", "not a database at all, only text that a crash left behind\n");
    GwsDrive d = Load();
    ASSERT_EQ(d.items.size(), before.items.size());
    GwsDriveItem it = New_Item("after.txt", before.root_id);
    Add(it);
    GwsDrive after = Load();
    ASSERT_EQ(after.items.size(), before.items.size() + 1);
    Expect_Same(after.items.back(), it);
    GwsDriveItem found;
    EXPECT_EQ(Gwssim_Find_Drive_Item(root, kUser, it.id, found), 0);
}

TEST_F(IndexTest, AnInsertedMessageAndItsNewLabelFollowTheMailbox) {
    GwsMailbox before;
    ASSERT_EQ(Gwssim_Load_Mailbox(root, kUser, before), 0);
    ASSERT_FALSE(before.messages.empty());
    GwsMessage m;
    ASSERT_EQ(Gwssim_New_Id(root, "message", m.id), 0);
    m.thread_id = m.id;
    m.internal_date = 1700000000123LL;
    m.labels = {"INBOX", "Label_new"};
    {
        GwsLock lock;
        ASSERT_EQ(Gwssim_Lock_State(root, lock), 0);
        ASSERT_EQ(Gwssim_Add_Message(root, kUser, {{"Label_new", "Restored/Old"}}, m), 0);
    }
    GwsMailbox after;
    ASSERT_EQ(Gwssim_Load_Mailbox(root, kUser, after), 0);
    ASSERT_EQ(after.messages.size(), before.messages.size() + 1);
    EXPECT_EQ(after.messages.back().id, m.id);
    EXPECT_EQ(after.messages.back().internal_date, m.internal_date);
    EXPECT_EQ(after.messages.back().labels, m.labels);
    ASSERT_EQ(after.labels.size(), before.labels.size() + 1);
    EXPECT_EQ(after.labels.back().name, "Restored/Old");

    std::vector<GwsLabel> labels;
    ASSERT_EQ(Gwssim_Load_Labels(root, kUser, labels), 0);
    EXPECT_EQ(labels.size(), after.labels.size());
    GwsMessage found;
    ASSERT_EQ(Gwssim_Find_Message(root, kUser, m.id, found), 0);
    EXPECT_EQ(found.labels, m.labels);
    ASSERT_EQ(Gwssim_Find_Message(root, kUser, before.messages[0].id, found), 0);
    EXPECT_EQ(Gwssim_Find_Message(root, kUser, "0000000000000000", found), -2);
}

// A reader never sees the Drive shrink or fail while another process adds to it.
TEST_F(IndexTest, ReadersBesideAWriterSeeEveryStepWhole) {
    const size_t base = Load().items.size();
    const int adds = 150;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int i = 0; i < adds; ++i) {
            GwsLock lock;
            GwsDriveItem it;
            if (Gwssim_Lock_State(root, lock) != 0 || Gwssim_New_Id(root, "file", it.id) != 0) _exit(1);
            it.name = "n" + std::to_string(i);
            it.parent = "p";
            if (Gwssim_Add_Drive_Item(root, kUser, it) != 0) _exit(1);
        }
        _exit(0);
    }
    size_t seen = base;
    for (;;) {
        GwsDrive d;
        ASSERT_EQ(Gwssim_Load_Drive(root, kUser, d), 0);
        ASSERT_GE(d.items.size(), seen);
        seen = d.items.size();
        if (seen == base + adds) break;
        int st;
        if (waitpid(child, &st, WNOHANG) == child) {
            ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
            child = -1;
        }
    }
    if (child > 0) {
        int st;
        waitpid(child, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    EXPECT_EQ(Load().items.size(), base + adds);
}
