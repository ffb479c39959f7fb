// The restore engine's pieces: the journal that makes a restore resumable, the tree walk's
// selection and folder runs, and the GAM command lines of folder creation and upload.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/atomicfile.h"
#include "common/cmdrun.h"
#include "common/filehelpers.h"
#include "common/paths.h"
#include "mission/mission_record.h"
#include "plat_file.h"
#include "plat_json.h"
#include "restore/restore_cmd.h"
#include "restore/restore_state.h"
#include "restore/restore_tree.h"
#include "restore/tree_restore.h"
#include "restore_fixture.h"

namespace {

using restoretest::FakeGam;
using restoretest::Read;
using restoretest::Rooted;

// ---- the journal ----

TEST_F(Rooted, JournalReadsBackWhatWasPutAndRaisesTheCountersToItsSize) {
    Write_Record(R"({"drive_current": 0, "backup_current": 0})");
    {
        qlm::RestoreState st;
        ASSERT_EQ(qlm::Restore_State_Begin(st, mission, qlm::kKeyDriveCurrent), 0);
        EXPECT_EQ(qlm::Restore_State_Put(st, "root", "new-root"), 0);
        EXPECT_EQ(qlm::Restore_State_Put(st, "f1", "1"), 0);
        EXPECT_EQ(qlm::Restore_State_Put(st, "root", "other"), 0);  // a later line wins
        EXPECT_EQ(qlm::Restore_State_Put(st, "bad\nkey", "1"), -22);
        EXPECT_EQ(qlm::Restore_State_Put(st, "k", "bad\nvalue"), -22);
    }
    // A crash in the middle of a line leaves a line without its end: never read.
    std::ofstream(qlm::Restore_Journal_Path(mission), std::ios::app) << "no-tab-line\nhalf\tdone";
    qlm::RestoreState st;
    ASSERT_EQ(qlm::Restore_State_Begin(st, mission, qlm::kKeyDriveCurrent), 0);
    EXPECT_EQ(st.mapResume.size(), 2u);
    EXPECT_EQ(qlm::Restore_State_Get(st, "root"), "other");
    EXPECT_TRUE(qlm::Restore_State_Has(st, "f1"));
    EXPECT_FALSE(qlm::Restore_State_Has(st, "half"));
    EXPECT_EQ(qlm::Restore_State_Get(st, "absent"), "");
    // The counters start from what earlier attempts finished, written at once.
    EXPECT_EQ(Record_Int(qlm::kKeyDriveCurrent), 2);
    EXPECT_EQ(Record_Int(qlm::kKeyBackupCurrent), 2);
}

TEST_F(Rooted, ItemsFinishedJustBeforeASlowCommandReachTheRecordWhileItRuns) {
    Write_Record(R"({"drive_current": 0, "backup_current": 0})");
    const std::string seen = dir.path() + "/seen";
    {
        qlm::RestoreState st;
        ASSERT_EQ(qlm::Restore_State_Begin(st, mission, qlm::kKeyDriveCurrent), 0);
        qlm::Restore_State_Count(st);  // within a second of the last write: pending
        qlm::Restore_State_Count(st);
        EXPECT_EQ(Record_Int(qlm::kKeyDriveCurrent), 0);
        // The command itself looks at the record halfway through its run.
        int status = -1;
        ASSERT_EQ(Execute_Command_Line_Timeout(status, 30, "sleep 1.5; cp '%s' '%s'; sleep 0.2", mission.c_str(),
                                               seen.c_str()),
                  0);
        EXPECT_EQ(status, 0);
    }
    RAIIful_Json during(qlm::Json_Read_Object_File(seen));
    ASSERT_TRUE(during);
    EXPECT_EQ(qlm::Mission_Int(during.get(), qlm::kKeyDriveCurrent), 2);
    EXPECT_EQ(qlm::Mission_Int(during.get(), qlm::kKeyBackupCurrent), 2);
    // Once the restore's state is gone, a command runs without touching the record.
    Write_Record(R"({"drive_current": 7})");
    int status = -1;
    ASSERT_EQ(Execute_Command_Line_Timeout(status, 30, "sleep 1.2"), 0);
    EXPECT_EQ(Record_Int(qlm::kKeyDriveCurrent), 7);
}

TEST_F(Rooted, TheStampIsMadeOnceAndKeptInTheRecord) {
    Write_Record(R"({"drive_current": 0})");
    plattest::ScopedEnv clock{"QLM_FIXED_TIME", "1700000000"};
    const std::string first = qlm::Restore_Stamp(mission, qlm::kKeyRestoreStampDrive);
    EXPECT_EQ(first.rfind("Quillmere_Restore_2023111", 0), 0u) << first;
    plattest::ScopedEnv later{"QLM_FIXED_TIME", "1800000000"};
    EXPECT_EQ(qlm::Restore_Stamp(mission, qlm::kKeyRestoreStampDrive), first);
}

// ---- the tree ----

// A catalog of rows (name, index, depth, folder?), in a shuffled order as the catalog gives them.
PT_JSON Rows(std::initializer_list<std::tuple<const char*, int, int, bool>> rows) {
    PT_JSON list = Json_List_Init();
    for (const auto& [name, index, depth, folder] : rows) {
        PT_JSON o = Json_Dict_Init();
        Json_Dict_Add_Str(o, "id", (std::string("id-") + name).c_str());
        Json_Dict_Add_Str(o, "name", name);
        Json_Dict_Add_Int64(o, "index", index);
        Json_Dict_Add_Int64(o, "depth", depth);
        Json_Dict_Add_Str(o, "mimeType", folder ? qlm::kRestoreFolderMime : "text/plain");
        Json_Dict_Add_Str(o, "localid", folder ? "" : name);
        Json_List_Add_Dict(list, o);
    }
    return list;
}

// My Drive (1) > A (2) > A1 (3) > a.txt (4); A > b.txt (5); B (6) > c.txt (7); top.txt (8).
RAIIful_Json Sample() {
    return RAIIful_Json(Rows({{"top.txt", 8, 0, false}, {"A1", 3, 1, true}, {"My Drive", 1, -1, true},
                              {"b.txt", 5, 1, false}, {"A", 2, 0, true}, {"a.txt", 4, 2, false},
                              {"c.txt", 7, 1, false}, {"B", 6, 0, true}, {"", 9, 0, false},
                              {"no index", 0, 0, false}, {"bad depth", 10, -2, false}}));
}

std::vector<std::string> Names(const qlm::RestoreTree& tree, const std::vector<size_t>& pos) {
    std::vector<std::string> out;
    for (size_t p : pos) out.push_back(tree.entries[p].name);
    return out;
}

TEST(RestoreTree, KeepsUsableRowsInDepthOrderAndFindsEachFoldersRun) {
    RAIIful_Json rows = Sample();
    qlm::RestoreTree tree;
    qlm::Build_Restore_Tree(rows.get(), tree);
    std::vector<size_t> all;
    for (size_t i = 0; i < tree.entries.size(); ++i) all.push_back(i);
    // A nameless item is no reason to lose it: it comes back as "Untitled", as Google shows it.
    EXPECT_EQ(Names(tree, all), (std::vector<std::string>{"My Drive", "A", "B", "top.txt", "Untitled", "A1", "b.txt",
                                                          "c.txt", "a.txt"}));
    ASSERT_EQ(tree.rootPos, 0);
    // A run ends at the first row in index order that is not deeper; parents come first.
    EXPECT_EQ(Names(tree, qlm::Folder_Run(tree, tree.byId.at("id-A"))),
              (std::vector<std::string>{"A1", "b.txt", "a.txt"}));
    EXPECT_EQ(Names(tree, qlm::Folder_Run(tree, tree.byId.at("id-A1"))), (std::vector<std::string>{"a.txt"}));
    EXPECT_EQ(Names(tree, qlm::Folder_Run(tree, tree.byId.at("id-B"))), (std::vector<std::string>{"c.txt"}));
}

TEST(RestoreTree, SelectionCounts) {
    RAIIful_Json rows = Sample();
    struct Case {
        const char* list;
        bool bCountFolder;
        int64_t expected;
    } cases[] = {
        {R"(["8"])", false, 1},       {R"(["2"])", false, 3},      {R"(["2"])", true, 4},
        {R"(["2", "3", "7"])", false, 5}, {R"([])", false, 0},      {R"(["99", "x"])", false, 0},
    };
    for (const Case& c : cases) {
        RAIIful_Json list(Json_From_String(c.list));
        EXPECT_EQ(qlm::Selection_Count(rows.get(), list.get(), c.bCountFolder), c.expected) << c.list;
    }
}

// ---- the walk ----

// Ops that make folders "new-<name>" and record every command; names in failNames fail.
struct FakeOps {
    std::vector<std::string> done, rows;
    std::set<std::string> failNames;
    std::string storeDir;
    qlm::TreeRestoreOps ops;
    explicit FakeOps(qlm::RestoreState& st, std::string store) : storeDir(std::move(store)) {
        ops.pState = &st;
        ops.createFolder = [this](const std::string& name, const std::string& parent) {
            done.push_back("mkdir " + name + " in " + parent);
            return failNames.count(name) ? std::string() : "new-" + name;
        };
        ops.upload = [this](const qlm::RestoreEntry& e, const std::string& parent) {
            done.push_back("upload " + e.name + " in " + parent);
            return failNames.count(e.name) ? -161 : 0;
        };
        ops.storedCopy = [this](const qlm::RestoreEntry& e) { return storeDir + "/" + e.localid; };
        ops.failRow = [this](const qlm::RestoreEntry& e, const std::string&, qlm::RestorePlace) {
            rows.push_back("fail " + e.name);
        };
        ops.skipRow = [this](const qlm::RestoreEntry& e) { rows.push_back("skip " + e.name); };
        ops.orphanRow = [this](const qlm::RestoreEntry& e) { rows.push_back("orphan " + e.name); };
    }
};

TEST_F(Rooted, TheWalkPassesOverWhatCannotBeRestoredAndResumesWhereItStopped) {
    Write_Record(R"({"drive_current": 0, "backup_current": 0})");
    const std::string store = dir.path() + "/store";
    smbbackup::Create_Path(store.c_str(), 0700);
    for (const char* f : {"top.txt", "b.txt", "a.txt", "lost.txt"}) plattest::Write_File(store + "/" + f, f);
    // c.txt has no stored copy; "shortcut" has no local id; lost.txt's folder was never backed up.
    RAIIful_Json rows(Rows({{"My Drive", 1, -1, true}, {"A", 2, 0, true}, {"A1", 3, 1, true},
                            {"a.txt", 4, 2, false}, {"b.txt", 5, 1, false}, {"B", 6, 0, true},
                            {"c.txt", 7, 1, false}, {"top.txt", 8, 0, false}, {"lost.txt", 9, 3, false}}));
    PT_JSON shortcut = Json_Dict_Init();
    Json_Dict_Add_Str(shortcut, "id", "id-sc");
    Json_Dict_Add_Str(shortcut, "name", "shortcut");
    Json_Dict_Add_Int64(shortcut, "index", 10);
    Json_Dict_Add_Int64(shortcut, "depth", 0);
    Json_Dict_Add_Str(shortcut, "mimeType", "application/vnd.google-apps.shortcut");
    Json_List_Add_Dict(rows.get(), shortcut);
    for (int i = 0; i < Json_List_Size(rows.get()); ++i) {
        PT_JSON row = Json_List_Child(rows.get(), i);
        const char* name = nullptr;
        Json_Dict_Find_Str(row, "name", name);
        std::string n = name;
        const char* parent = n == "A" || n == "B" || n == "top.txt" || n == "shortcut" ? "id-My Drive"
                             : n == "A1" || n == "b.txt"                             ? "id-A"
                             : n == "a.txt"                                          ? "id-A1"
                             : n == "c.txt"                                          ? "id-B"
                                                                                     : "id-gone";
        Json_Dict_Add_Str(row, "parents", parent);
    }

    {  // First attempt: folder A fails, so A1, a.txt and b.txt wait for it.
        qlm::RestoreState st;
        ASSERT_EQ(qlm::Restore_State_Begin(st, mission, qlm::kKeyDriveCurrent), 0);
        FakeOps fake(st, store);
        fake.failNames = {"A"};
        qlm::RestoreTree tree;
        qlm::Build_Restore_Tree(rows.get(), tree);
        qlm::Set_Restore_Root(tree, "R");
        EXPECT_EQ(qlm::Restore_Whole_Tree(fake.ops, tree, "R"), -161);
        EXPECT_EQ(fake.done, (std::vector<std::string>{"mkdir A in R", "mkdir B in R", "upload top.txt in R",
                                                       "upload lost.txt in R"}));
        EXPECT_EQ(fake.rows, (std::vector<std::string>{"fail A", "skip shortcut", "skip c.txt", "orphan lost.txt"}));
        qlm::Restore_State_Flush(st);
    }
    EXPECT_EQ(Record_Int(qlm::kKeyDriveCurrent), 3);
    {  // Second attempt: only what waited is done; B keeps the folder the first attempt made.
        qlm::RestoreState st;
        ASSERT_EQ(qlm::Restore_State_Begin(st, mission, qlm::kKeyDriveCurrent), 0);
        FakeOps fake(st, store);
        qlm::RestoreTree tree;
        qlm::Build_Restore_Tree(rows.get(), tree);
        qlm::Seed_From_Resume(fake.ops, tree);
        qlm::Set_Restore_Root(tree, "R");
        EXPECT_EQ(qlm::Restore_Whole_Tree(fake.ops, tree, "R"), 0);
        EXPECT_EQ(fake.done, (std::vector<std::string>{"mkdir A in R", "mkdir A1 in new-A", "upload b.txt in new-A",
                                                       "upload a.txt in new-A1"}));
        qlm::Restore_State_Flush(st);
    }
    EXPECT_EQ(Record_Int(qlm::kKeyDriveCurrent), 7);
}

// ---- the command lines ----

TEST_F(FakeGam, UploadsActAsTheRightAccountAndReadTheSourcesStore) {
    Install("exit 0");
    const std::string store = qlm::Backup_Service_Dir("drive") + "/t1/alice@x.org/L1";
    struct Case {
        int (*upload)();
        const char* account;
        const char* mimetype;  // the line's "mimetype" value; null: the line names none
    } cases[] = {
        {[] { return Upload_Drive_File("t1", "alice@x.org", "a.txt", "L1", "P", "bob@x.org", "text/plain"); },
         "bob@x.org", "text/plain"},
        {[] { return Upload_Drive_File("t1", "alice@x.org", "a.txt", "L1", "P", nullptr, nullptr); }, "alice@x.org",
         nullptr},
        {[] { return Upload_Drive_File("t1", "alice@x.org", "a.txt", "L1", "P", "", "Image/PNG"); }, "alice@x.org",
         "image/png"},
        {[] {
             return Upload_Drive_File_Specify("t1", "alice@x.org", "bob@x.org", "a.txt", "L1", "P",
                                              "application/vnd.google-apps.document");
         },
         "bob@x.org", "application/vnd.oasis.opendocument.text"},
        {[] { return Upload_Drive_File_Specify("t1", "alice@x.org", nullptr, "a.txt", "L1", "P", "x-world/x-vrml"); },
         "alice@x.org", nullptr},
    };
    for (const Case& c : cases) EXPECT_EQ(c.upload(), 0);
    auto calls = Calls();
    ASSERT_EQ(calls.size(), std::size(cases));
    for (size_t i = 0; i < calls.size(); ++i) {
        std::vector<std::string> want{"user", cases[i].account, "create", "drivefile", "drivefilename", "a.txt",
                                      "localfile", store};
        if (cases[i].mimetype) want.insert(want.end(), {"mimetype", cases[i].mimetype});
        want.insert(want.end(), {"parentid", "P", "returnidonly"});
        EXPECT_EQ(calls[i], want) << i;
    }
}

// The type an upload names: what GAM's check takes, lower-cased; editor files as the OpenDocument
// export the store holds; nothing for a type GAM would refuse (the whole line would fail).
TEST(UploadMimeType, NamesWhatGamTakesAndLeavesOutWhatItWouldRefuse) {
    const std::pair<const char*, const char*> cases[] = {
        {"text/plain", "text/plain"},
        {"application/pdf", "application/pdf"},
        {"IMAGE/JPEG", "image/jpeg"},
        {"font/woff2", "font/woff2"},
        {"model/gltf+json", "model/gltf+json"},
        {"message/rfc822", "message/rfc822"},
        {"multipart/mixed", "multipart/mixed"},
        {"application/vnd.google-apps.document", "application/vnd.oasis.opendocument.text"},
        {"application/vnd.google-apps.spreadsheet", "application/vnd.oasis.opendocument.spreadsheet"},
        {"application/vnd.google-apps.presentation", "application/vnd.oasis.opendocument.presentation"},
        {"application/vnd.google-apps.drawing", ""},
        {"application/vnd.google-apps.folder", ""},
        {"x-world/x-vrml", ""},
        {"chemical/x-pdb", ""},
        {"text/", ""},
        {"text", ""},
        {"/plain", ""},
        {"", ""},
    };
    for (const auto& [catalogued, named] : cases) EXPECT_EQ(qlm::Upload_Mime_Type(catalogued), named) << catalogued;
}

TEST_F(FakeGam, HostileNamesArriveAsOneArgumentAndEmptyArgumentsRunNothing) {
    Install("echo new-id; echo second-line");
    const char* name = "it's \"$(touch x)\" 100% ; rm -rf /";
    EXPECT_EQ(Create_Drive_Folder("a@x.org", name, "P1"), "new-id");
    EXPECT_EQ(Create_Drive_Folder_Without_ParentID(name, "a@x.org"), "new-id");
    EXPECT_EQ(Create_Drive_Folder("a@x.org", "n", ""), "");
    EXPECT_EQ(Create_Shared_Drive_Folder("", "n", "P"), "");
    EXPECT_EQ(Upload_Shared_Drive_File("t1", "o@x.org", "u1", "n", "L", "", "text/plain"), -161);
    EXPECT_EQ(Upload_Drive_File("t1", "a@x.org", "n", "", "P", nullptr, "text/plain"), -161);
    auto calls = Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], (std::vector<std::string>{"user", "a@x.org", "create", "drivefile", "drivefilename", name,
                                                   "mimetype", "gfolder", "parentid", "P1", "returnidonly"}));
    EXPECT_EQ(calls[1], (std::vector<std::string>{"user", "a@x.org", "create", "drivefile", "drivefilename", name,
                                                   "mimetype", "gfolder", "returnidonly"}));
    std::vector<std::string> left;
    GetFolderList(left, qlm::Tmp_Dir().c_str());
    EXPECT_EQ(left, std::vector<std::string>{});
}

TEST_F(FakeGam, TheRunnerRetriesFailuresAndStopsAtALostConnection) {
    struct Case {
        const char* body;
        const char* id;
        size_t runs;
        bool bLost;
    } cases[] = {
        // Fails twice, then works: three runs.
        {"n=$(grep -c '^$' \"$LOG\"); [ \"$n\" -ge 3 ] && { echo id; exit 0; }; exit 1", "id", 3, false},
        {"exit 1", "", 5, false},
        // A lost connection ends the operation at once, whatever the exit status says.
        {"echo 'ERROR: Connection error: gone' >&2; echo id; exit 0", "", 1, true},
        {"exit 0", "", 1, false},  // exits 0 but prints no id
    };
    for (const Case& c : cases) {
        Install(std::string("LOG='") + dir.path() + "/gam.log'\n" + c.body);
        unlink(log.c_str());
        std::string id = Create_Drive_Folder("a@x.org", "n", "P");
        EXPECT_EQ(Calls().size(), c.runs) << c.body;
        EXPECT_EQ(g_bGwsRestoreConnAbort, c.bLost) << c.body;
        EXPECT_EQ(id, c.id) << c.body;
    }
}

}  // namespace
