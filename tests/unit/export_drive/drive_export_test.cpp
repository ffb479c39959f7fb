#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../catalog_testutil.h"
#include "dbcontrol/drive_db.h"
#include "dbcontrol/drive_tree.h"
#include "dbcontrol/shared_drive_db.h"
#include "export/drive_export.h"

namespace {

using cattest::kTask;
using qlm::Drive_Export_Walk;
using qlm::catalog::Kind;

constexpr const char* kFolder = "application/vnd.google-apps.folder";
constexpr const char* kUuid = "5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d";

// One catalog row of the fixture: id, parent, name, MIME type, index, depth, local id.
struct Item {
    const char *id, *parent, *name, *mime;
    long long index, depth;
    const char* localid;
};

// A drive with a nested folder, hostile names, a Google document without content, a file whose
// parent was never catalogued, two same-named files and local ids that must not be followed.
// Longer than a file system takes as one name.
const std::string kLongName = std::string(300, 'n') + ".txt";

const Item kItems[] = {
    {"R", "", "My Drive", kFolder, 0, -1, ""},
    {"F", "R", "Docs", kFolder, 1, 0, ""},
    {"A", "F", "a.txt", "text/plain", 2, 1, "L-a"},
    {"S", "F", "Sub", kFolder, 3, 1, ""},
    {"D", "S", "deep.bin", "application/octet-stream", 4, 2, "L-deep"},
    {"DOT", "R", "..", "text/plain", 5, 0, "L-dots"},
    {"SL", "R", "a/b", "text/plain", 6, 0, "L-slash"},
    {"G", "R", "Notes", "application/vnd.google-apps.document", 7, 0, ""},
    {"X", "GHOST", "lost.txt", "text/plain", 8, 0, "L-lost"},
    {"S1", "R", "same.txt", "text/plain", 9, 0, "L-s1"},
    {"S2", "R", "same.txt", "text/plain", 10, 0, "L-s2"},
    {"T", "R", "escape.txt", "text/plain", 11, 0, "../../../escape"},
    {"K", "R", "link.txt", "text/plain", 12, 0, "L-link"},
    // Google names may hold control bytes and be long: they are kept, or cut to fit.
    {"TB", "R", "tab\there", kFolder, 13, 0, ""},
    {"NL", "TB", "a\nb.txt", "text/plain", 14, 1, "L-nl"},
    {"LN", "R", kLongName.c_str(), "text/plain", 15, 0, "L-long"},
};

template <typename Record>
std::map<std::string, Record> Catalog() {
    std::map<std::string, Record> items;
    for (const Item& it : kItems) {
        Record d;
        d.strName = it.name;
        d.strParentDriveID = it.parent;
        d.strMimeType = it.mime;
        d.llIndex = it.index;
        d.llDepth = it.depth;
        d.strLocalID = it.localid;
        items[it.id] = d;
    }
    return items;
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A backed-up drive of either kind under a private root, and a walk over it into a fresh export
// folder that records what its hooks heard.
class DriveExport : public ::testing::TestWithParam<Kind> {
protected:
    cattest::Root root;
    std::string key, store, share, exportDir, outside;
    Drive_Export_Walk w;
    FdGuard exportFd;
    std::vector<std::string> copiedNames, failedNames;

    void SetUp() override {
        const bool shared = GetParam() == Kind::SharedDrive;
        key = shared ? kUuid : cattest::kUser;
        if (shared)
            ASSERT_EQ(Shared_Drive_Write_DB(Catalog<SharedDriveData>(), kUuid, kTask), 0);
        else
            ASSERT_EQ(Drive_Write_DB(Catalog<DriveData>(), cattest::kUser, kTask), 0);
        store = root.Backup(std::string(shared ? "shared_drive/" : "drive/") + kTask + "/" + key);
        std::filesystem::create_directories(store);
        for (const Item& it : kItems)
            if (*it.localid && std::string(it.localid).find('/') == std::string::npos && it.id != std::string("K"))
                Write(store + "/" + it.localid, std::string("content of ") + it.name);
        // A store entry that is a link is never followed, and the escape target is never read.
        outside = root.dir / "outside";
        std::filesystem::create_directories(outside);
        Write(root.dir / "escape", "secret");
        Write(outside + "/target", "secret");
        ASSERT_EQ(symlink((outside + "/target").c_str(), (store + "/L-link").c_str()), 0);

        share = root.dir / "share";
        exportDir = share + "/Quillmere_Export_20261210_120000";
        w.kind = GetParam();
        w.key = key;
        w.task = kTask;
        w.store = store;
        ASSERT_EQ(qlm::catalog::Read_Drive_Tree(w.kind, key.c_str(), kTask, w.nodes), 0);
        Open_Export();
        w.copied = [this](const std::string& name) { copiedNames.push_back(name); };
        w.failed = [this](const std::string& name) { failedNames.push_back(name); };
        qlm::Drive_Walk_Begin(w);
    }

    // A fresh export folder, opened as the worker has it.
    void Open_Export() {
        exportFd.Reset();
        std::filesystem::remove_all(exportDir);
        std::filesystem::create_directories(exportDir);
        exportFd.Reset(open(exportDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        ASSERT_GE(exportFd.fd, 0);
        w.exportFd = exportFd.fd;
        copiedNames.clear();
        failedNames.clear();
    }

    // Every node of the whole drive, as the worker's items; each result must be 0.
    void Whole() {
        for (size_t i = 0; i < w.nodes.size(); ++i) EXPECT_EQ(qlm::Export_Drive_Node(w, i), 0) << i;
    }
    void Picked(const std::vector<std::string>& entries) {
        w.entries = entries;
        for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(qlm::Export_Drive_Entry(w, i), 0) << entries[i];
    }

    // What the export folder holds, with each file's content ("/" for a folder).
    std::map<std::string, std::string> Exported() const {
        std::map<std::string, std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(exportDir)) {
            // Lexically: a link is named where it lies, not where it points.
            const std::string rel = e.path().lexically_relative(exportDir).string();
            out[rel] = e.is_symlink() ? "->" : e.is_directory() ? "/" : Read(e.path());
        }
        return out;
    }

    // Nothing was written beside the export folder nor through a link out of it.
    void Expect_Nothing_Outside() const {
        std::set<std::string> inShare = {"Quillmere_Export_20261210_120000"};
        for (const auto& [rel, _] : Exported()) inShare.insert("Quillmere_Export_20261210_120000/" + rel);
        std::set<std::string> got;
        for (const auto& e : std::filesystem::recursive_directory_iterator(share))
            got.insert(e.path().lexically_relative(share).string());
        EXPECT_EQ(got, inShare);
        EXPECT_EQ(cattest::Tree(outside), (std::set<std::string>{"target"}));
        EXPECT_EQ(Read(outside + "/target"), "secret");
    }
};

TEST_P(DriveExport, TheWholeDriveIsRebuiltUnderItsTopFolderWithSafeNamesAndOnlyStoredFiles) {
    Whole();
    const std::map<std::string, std::string> want = {
        {"My Drive", "/"},
        {"My Drive/Docs", "/"},
        {"My Drive/Docs/a.txt", "content of a.txt"},
        {"My Drive/Docs/Sub", "/"},
        {"My Drive/Docs/Sub/deep.bin", "content of deep.bin"},
        {"My Drive/Untitled", "content of .."},
        {"My Drive/a_b", "content of a/b"},
        {"My Drive/same.txt", "content of same.txt"},
        {"My Drive/same(1).txt", "content of same.txt"},
        {"My Drive/tab\there", "/"},
        {"My Drive/tab\there/a\nb.txt", "content of a\nb.txt"},
        {"My Drive/" + std::string(236, 'n') + ".txt", "content of " + kLongName},
    };
    EXPECT_EQ(Exported(), want);
    // One log name per copied file, in tree order.
    EXPECT_EQ(copiedNames,
              (std::vector<std::string>{"..", "a/b", "same.txt", "same.txt", kLongName, "a.txt", "a\nb.txt", "deep.bin"}));
    Expect_Nothing_Outside();
}

// Picked entries: each lands at the top of the export folder.
TEST_P(DriveExport, PickedFoldersCarryTheirSubtreeAndPickedFilesComeAlone) {
    struct Case {
        std::vector<std::string> entries;
        std::map<std::string, std::string> want;
        std::vector<std::string> copied;
    };
    const Case cases[] = {
        {{"1"},
         {{"Docs", "/"}, {"Docs/a.txt", "content of a.txt"}, {"Docs/Sub", "/"}, {"Docs/Sub/deep.bin", "content of deep.bin"}},
         {"a.txt", "deep.bin"}},
        // Not numbers, no row, a document without content, a link and an escaping local id: counted only.
        {{"x7", " 2", "999", "7", "12", "11", "2"}, {{"a.txt", "content of a.txt"}}, {"a.txt"}},
        // The inner folder picked too is exported twice; a picked file beside its copy gets a counter.
        {{"1", "3", "2"},
         {{"Docs", "/"},
          {"Docs/a.txt", "content of a.txt"},
          {"Docs/Sub", "/"},
          {"Docs/Sub/deep.bin", "content of deep.bin"},
          {"Sub", "/"},
          {"Sub/deep.bin", "content of deep.bin"},
          {"a.txt", "content of a.txt"}},
         {"a.txt", "deep.bin", "deep.bin", "a.txt"}},
        {{"5", "6", "8"}, {{"Untitled", "content of .."}, {"a_b", "content of a/b"}, {"lost.txt", "content of lost.txt"}},
         {"..", "a/b", "lost.txt"}},
    };
    for (const Case& c : cases) {
        Open_Export();
        Picked(c.entries);
        EXPECT_EQ(Exported(), c.want) << c.entries[0];
        EXPECT_EQ(copiedNames, c.copied) << c.entries[0];
        Expect_Nothing_Outside();
    }
}

TEST_P(DriveExport, LinksPlantedInTheExportFolderAreNeverEntered) {
    Open_Export();
    // Under the names the export is about to use: the top folder, a file, and a dangling one.
    ASSERT_EQ(symlink(outside.c_str(), (exportDir + "/My Drive").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (exportDir + "/Docs").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/target").c_str(), (exportDir + "/a.txt").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/new").c_str(), (exportDir + "/a_b").c_str()), 0);
    Whole();
    Picked({"1", "2", "6"});
    const auto got = Exported();
    EXPECT_EQ(got.at("My Drive"), "->");
    EXPECT_EQ(got.at("My Drive(1)/Docs/Sub/deep.bin"), "content of deep.bin");
    EXPECT_EQ(got.at("Docs(1)/a.txt"), "content of a.txt");
    EXPECT_EQ(got.at("a(1).txt"), "content of a.txt");
    EXPECT_EQ(got.at("a_b(1)"), "content of a/b");
    EXPECT_FALSE(std::filesystem::exists(outside + "/new"));
    Expect_Nothing_Outside();
}

TEST_P(DriveExport, AFolderThatCannotBeMadeFailsEveryFileBelowItAndNothingBelowItIsWritten) {
    Open_Export();
    // Every name the folder "Docs" could take is a file already.
    for (int n = 0; n < 1000; ++n) Write(exportDir + (n ? "/Docs(" + std::to_string(n) + ")" : "/Docs"), "");
    w.entries = {"1", "2"};
    EXPECT_EQ(qlm::Export_Drive_Entry(w, 0), 1);
    EXPECT_EQ(qlm::Export_Drive_Entry(w, 1), 0);
    EXPECT_EQ(copiedNames, (std::vector<std::string>{"a.txt"}));
    // The files below it could not be copied: each has its failed row, also the one in "Sub".
    EXPECT_EQ(failedNames, (std::vector<std::string>{"a.txt", "deep.bin"}));
    EXPECT_EQ(Exported().size(), 1001u);
    // The same for the top of a whole drive: it fails, and so does every file below it that has
    // content; documents without content, links and nodes outside the tree are still passed over.
    Open_Export();
    for (int n = 0; n < 1000; ++n) Write(exportDir + (n ? "/My Drive(" + std::to_string(n) + ")" : "/My Drive"), "");
    ASSERT_EQ(w.nodes[0].depth, -1);
    int failed = 0;
    for (size_t i = 0; i < w.nodes.size(); ++i) failed += qlm::Export_Drive_Node(w, i);
    EXPECT_TRUE(copiedNames.empty());
    const std::multiset<std::string> expected = {"a.txt", "deep.bin", "..", "a/b", "same.txt", "same.txt",
                                                 "a\nb.txt", kLongName};
    EXPECT_EQ(std::multiset<std::string>(failedNames.begin(), failedNames.end()), expected);
    EXPECT_EQ(failed, 1 + static_cast<int>(expected.size()));
    EXPECT_EQ(Exported().size(), 1000u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DriveExport, ::testing::Values(Kind::Drive, Kind::SharedDrive),
                         [](const auto& info) { return info.param == Kind::Drive ? "Drive" : "SharedDrive"; });

}  // namespace
