// gwssim init, key and dump: determinism, the demo domain's content, ids.
#include "gwssim_fixture.h"

#include <algorithm>
#include <map>
#include <regex>
#include <set>

using gwstest::DomainTest;
using gwstest::Read;
using gwstest::Result;

namespace {

// Every file under dir by its relative path, with its bytes.
std::map<std::string, std::string> Tree(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.is_regular_file()) files[e.path().string().substr(dir.size())] = Read(e.path().string());
    return files;
}

class NoDomain : public DomainTest {
    bool WithDomain() const override { return false; }
};

}  // namespace

TEST_F(NoDomain, SameSeedGivesTheSameBytesAndAnotherSeedDoesNot) {
    std::vector<std::string> sizes = {"--users", "6", "--files", "25", "--messages", "4", "--events", "3",
                                      "--contacts", "3", "--shared-drives", "4"};
    auto init = [&](const std::string& where, const std::string& seed) {
        std::vector<std::string> argv = {GWSSIM_CLI, "init", where, "--seed", seed};
        argv.insert(argv.end(), sizes.begin(), sizes.end());
        Result r = Run(argv);
        ASSERT_EQ(r.status, 0) << r.err;
    };
    init(dir + "/a", "42");
    init(dir + "/b", "42");
    init(dir + "/c", "43");
    auto a = Tree(dir + "/a"), b = Tree(dir + "/b"), c = Tree(dir + "/c");
    EXPECT_GT(a.size(), 6u * 25u);
    EXPECT_TRUE(a == b);
    EXPECT_NE(a["/domain.json"], c["/domain.json"]);

    // A second init into a domain folder is refused and leaves it as it was.
    Result again = Run({GWSSIM_CLI, "init", dir + "/a"});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(Tree(dir + "/a") == a);
}

TEST_F(NoDomain, BadSizesAreUsageErrors) {
    for (const char* bad : {"-1", "ten", "", "9999999999"}) {
        Result r = Run({GWSSIM_CLI, "init", dir + "/x", "--users", bad});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_FALSE(gwstest::Exists(dir + "/x/domain.json"));
    }
    EXPECT_EQ(Run({GWSSIM_CLI, "init", dir + "/x", "--users"}).status, 2);
    EXPECT_EQ(Run({GWSSIM_CLI, "init", dir + "/x", "--colour", "red"}).status, 2);
}

TEST_F(NoDomain, SizesGiveThatManyItems) {
    ASSERT_EQ(Run({GWSSIM_CLI, "init", root, "--users", "9", "--files", "40", "--messages", "7", "--events", "5",
                   "--contacts", "6", "--shared-drives", "5"})
                  .status,
              0);
    GwsDomain dom;
    ASSERT_EQ(Gwssim_Load_Domain(root, dom), 0);
    ASSERT_EQ(dom.users.size(), 9u);
    EXPECT_EQ(dom.shared_drives.size(), 6u);  // five with members and the member-less one
    const std::string last = dom.users.back().email;  // a generated user: no demo items
    GwsDrive d;
    ASSERT_EQ(Gwssim_Load_Drive(root, last, d), 0);
    EXPECT_EQ(std::count_if(d.items.begin(), d.items.end(),
                            [](const GwsDriveItem& it) { return it.mime_type != "application/vnd.google-apps.folder"; }),
              40);
    GwsMailbox m;
    ASSERT_EQ(Gwssim_Load_Mailbox(root, last, m), 0);
    EXPECT_EQ(m.messages.size(), 7u);
    GwsCalendar c;
    ASSERT_EQ(Gwssim_Load_Calendar(root, last, c), 0);
    EXPECT_EQ(c.events.size(), 5u);
    GwsContacts k;
    ASSERT_EQ(Gwssim_Load_Contacts(root, last, k), 0);
    EXPECT_EQ(k.contacts.size(), 6u);
}

// What the backup and restore tests rely on in the default domain.
TEST_F(DomainTest, DemoDomainHoldsTheCasesTheSystemMustHandle) {
    GwsDomain dom;
    ASSERT_EQ(Gwssim_Load_Domain(root, dom), 0);
    ASSERT_GE(dom.domains.size(), 2u);
    EXPECT_EQ(dom.domains[0], "example.test");
    EXPECT_EQ(dom.customer_id.substr(0, 2), "C0");
    ASSERT_EQ(dom.users.size(), 4u);
    EXPECT_TRUE(dom.users[0].admin);
    std::set<std::string> ids;
    for (const auto& u : dom.users) {
        EXPECT_TRUE(std::regex_match(u.id, std::regex("[1-9][0-9]{20}"))) << u.id;
        ids.insert(u.id);
    }
    EXPECT_EQ(ids.size(), dom.users.size());
    EXPECT_NE(Gwssim_Find_User(dom, "o'brien@example.test"), nullptr);
    int with_members = 0;
    for (const auto& sd : dom.shared_drives) with_members += !sd.members.empty();
    EXPECT_EQ(with_members, 2);

    // Drive: every stored MD5 and size is the blob's; editor files carry their text and a storage
    // size of their own, other native items nothing; some items are orphans.
    GwsDrive d;
    ASSERT_EQ(Gwssim_Load_Drive(root, "alice@example.test", d), 0);
    std::set<std::string> names;
    int editors = 0, nested = 0, orphans = 0;
    std::set<std::string> types;
    std::map<std::string, std::string> parent_of;
    for (const auto& it : d.items) parent_of[it.id] = it.parent;
    for (const auto& it : d.items) {
        names.insert(it.name);
        if (it.parent != d.root_id && parent_of.count(it.parent) && parent_of[it.parent] != d.root_id) ++nested;
        orphans += it.parent != d.root_id && !parent_of.count(it.parent);
        types.insert(it.mime_type);
        EXPECT_TRUE(std::regex_match(it.id, std::regex("[A-Za-z0-9_-]{33}"))) << it.id;
        EXPECT_TRUE(std::regex_match(it.modified_time, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
        std::string blob;
        int rc = Gwssim_Read_File(Gwssim_Drive_Blob_Path(root, "alice@example.test", it.id), blob);
        EXPECT_EQ(rc == 0, it.has_blob) << it.name;
        if (Gwssim_Is_Editor_Type(it.mime_type)) {
            EXPECT_TRUE(it.md5.empty()) << it.name;
            EXPECT_TRUE(it.has_blob) << it.name;
            EXPECT_GT(it.size, 0) << it.name;
            EXPECT_NE(it.size, (long long)Gwssim_Odf_Export(it.mime_type, blob).size()) << it.name;
            ++editors;
        } else if (it.mime_type.rfind("application/vnd.google-apps.", 0) == 0) {
            EXPECT_TRUE(it.md5.empty());
            EXPECT_EQ(it.size, -1);
            EXPECT_FALSE(it.has_blob) << it.name;
        } else {
            EXPECT_EQ(it.md5, Gwssim_Md5_Hex(blob)) << it.name;
            EXPECT_EQ(it.size, (long long)blob.size()) << it.name;
        }
    }
    EXPECT_EQ(editors, 3);
    for (const char* t : {"application/vnd.google-apps.drawing", "application/vnd.google-apps.script"})
        EXPECT_TRUE(types.count(t)) << t;
    EXPECT_EQ(orphans, 2);
    EXPECT_GE(nested, 1);
    EXPECT_TRUE(names.count("Q3 report's \"final\" $(touch gwssim-pwned) 100%.txt"));
    EXPECT_TRUE(names.count("empty.bin"));

    // Gmail: every flag the backup reads is on some message; the RFC 2231 name is in an EML.
    GwsMailbox m;
    ASSERT_EQ(Gwssim_Load_Mailbox(root, "alice@example.test", m), 0);
    bool rfc2231 = false;
    for (const char* flag : {"STARRED", "IMPORTANT", "SENT", "DRAFT", "TRASH", "SPAM"}) {
        EXPECT_TRUE(std::any_of(m.messages.begin(), m.messages.end(),
                                [&](const GwsMessage& msg) { return Gwssim_Has_Label(msg, flag); }))
            << flag;
    }
    for (const auto& msg : m.messages) {
        std::string eml = Read(Gwssim_Eml_Path(root, "alice@example.test", msg.id));
        EXPECT_NE(eml.find("\r\nMessage-ID: <"), std::string::npos);
        rfc2231 |= eml.find("filename*=UTF-8''") != std::string::npos;
    }
    EXPECT_TRUE(rfc2231);

    // Calendar: an all-day event and one in a named time zone.
    GwsCalendar c;
    ASSERT_EQ(Gwssim_Load_Calendar(root, "alice@example.test", c), 0);
    bool allday = false, zoned = false;
    for (const auto& e : c.events) {
        allday |= Gwssim_Event_Field(e, "start.date") != nullptr;
        const std::string* tz = Gwssim_Event_Field(e, "start.timeZone");
        zoned |= tz && *tz == "Asia/Taipei";
    }
    EXPECT_TRUE(allday);
    EXPECT_TRUE(zoned);

    // Contacts: a contact in two user groups; the groups exist.
    GwsContacts k;
    ASSERT_EQ(Gwssim_Load_Contacts(root, "alice@example.test", k), 0);
    std::set<std::string> user_groups;
    for (const auto& g : k.groups)
        if (g.group_type == "USER_CONTACT_GROUP") user_groups.insert(g.resource_name);
    EXPECT_TRUE(std::any_of(k.contacts.begin(), k.contacts.end(), [&](const GwsContact& ct) {
        return std::count_if(ct.groups.begin(), ct.groups.end(), [&](const std::string& g) { return user_groups.count(g); }) >= 2;
    }));
    EXPECT_FALSE(k.other_contacts.empty());
}

TEST_F(DomainTest, DumpIsStableAndShowsChangesOfContent) {
    Result first = Run({GWSSIM_CLI, "dump", root});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(Run({GWSSIM_CLI, "dump", root}).out, first.out);
    Result drive = Run({GWSSIM_CLI, "dump", root, "--what", "drive"});
    EXPECT_NE(drive.out.find("\"path\":[\"Projects\",\"2024\",\"plan.txt\"]"), std::string::npos);
    EXPECT_EQ(drive.out.find("\"what\":\"gmail\""), std::string::npos);

    // A write through the library (as a restore does) shows in the dump; ids do not.
    {
        GwsLock lock;
        ASSERT_EQ(Gwssim_Lock_State(root, lock), 0);
        GwsDrive d;
        ASSERT_EQ(Gwssim_Load_Drive(root, "bob@example.test", d), 0);
        GwsDriveItem it;
        ASSERT_EQ(Gwssim_New_Id(root, "file", it.id), 0);
        it.name = "restored.txt";
        it.mime_type = "text/plain";
        it.parent = d.root_id;
        it.owner = "bob@example.test";
        ASSERT_EQ(Gwssim_Write_File(Gwssim_Drive_Blob_Path(root, "bob@example.test", it.id), "new\n"), 0);
        it.md5 = Gwssim_Md5_Hex("new\n");
        it.size = 4;
        it.has_blob = true;
        d.items.push_back(it);
        ASSERT_EQ(Gwssim_Save_Drive(root, "bob@example.test", d), 0);
    }
    Result after = Run({GWSSIM_CLI, "dump", root, "--what", "drive"});
    EXPECT_NE(after.out.find("\"path\":[\"restored.txt\"],\"mimeType\":\"text/plain\",\"md5\":\"" +
                             Gwssim_Md5_Hex("new\n") + "\""),
              std::string::npos);
    EXPECT_EQ(Run({GWSSIM_CLI, "dump", root, "--what", "mail"}).status, 1);
}

TEST(GwssimIds, EachKindHasItsForm) {
    struct {
        const char* kind;
        const char* pattern;
    } cases[] = {{"file", "[A-Za-z0-9_-]{33}"}, {"message", "[0-9a-f]{16}"},  {"event", "[0-9a-v]{26}"},
                 {"contact", "c[0-9]{19}"},     {"group", "[0-9a-f]{12}"},    {"label", "Label_[0-9]+"}};
    for (const auto& c : cases) {
        std::set<std::string> seen;
        for (unsigned long long n = 1; n <= 2000; ++n) {
            std::string id = Gwssim_Format_Id(c.kind, n);
            EXPECT_TRUE(std::regex_match(id, std::regex(c.pattern))) << c.kind << " " << id;
            seen.insert(id);
        }
        EXPECT_EQ(seen.size(), 2000u) << c.kind;
    }
}

// Writers in several processes each add to one file under the lock; none of the additions is lost
// and no reader ever sees a torn file.
TEST_F(DomainTest, LockedWritesFromManyProcessesAllLand) {
    const int kProcs = 6, kEach = 40;
    std::string counter = root + "/test-counter";
    ASSERT_EQ(Gwssim_Write_File(counter, "0"), 0);
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < kEach; ++i) {
                GwsLock lock;
                std::string text;
                if (Gwssim_Lock_State(root, lock) != 0 || Gwssim_Read_File(counter, text) != 0 || text.empty())
                    _exit(1);
                if (Gwssim_Write_File(counter, std::to_string(std::stoi(text) + 1)) != 0) _exit(1);
            }
            _exit(0);
        }
        pids.push_back(pid);
    }
    // Meanwhile, unlocked reads always find a whole number.
    for (int i = 0; i < 200; ++i) {
        std::string text = Read(counter);
        ASSERT_FALSE(text.empty());
        ASSERT_TRUE(std::all_of(text.begin(), text.end(), ::isdigit)) << text;
    }
    for (pid_t pid : pids) {
        int st = 0;
        waitpid(pid, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    EXPECT_EQ(Read(counter), std::to_string(kProcs * kEach));
    for (const auto& e : std::filesystem::directory_iterator(root))
        EXPECT_EQ(e.path().filename().string().rfind(".gwssim-tmp", 0), std::string::npos) << e.path();
}

TEST_F(DomainTest, RecreateGivesTheAccountAnEmptyMyDriveUnderANewRoot) {
    GwsDrive before, bob;
    ASSERT_EQ(Gwssim_Load_Drive(root, "alice@example.test", before), 0);
    ASSERT_FALSE(before.items.empty());
    ASSERT_EQ(Gwssim_Load_Drive(root, "bob@example.test", bob), 0);
    Result r = Run({GWSSIM_CLI, "recreate", root, "--user", "alice@example.test"});
    ASSERT_EQ(r.status, 0) << r.err;
    GwsDrive after;
    ASSERT_EQ(Gwssim_Load_Drive(root, "alice@example.test", after), 0);
    EXPECT_TRUE(after.items.empty());
    EXPECT_FALSE(after.root_id.empty());
    EXPECT_NE(after.root_id, before.root_id);
    GwsDrive bobAfter;
    ASSERT_EQ(Gwssim_Load_Drive(root, "bob@example.test", bobAfter), 0);
    EXPECT_EQ((std::pair{bobAfter.root_id, bobAfter.items.size()}), (std::pair{bob.root_id, bob.items.size()}));
    // Each recreation is another account again.
    ASSERT_EQ(Run({GWSSIM_CLI, "recreate", root, "--user", "alice@example.test"}).status, 0);
    GwsDrive again;
    ASSERT_EQ(Gwssim_Load_Drive(root, "alice@example.test", again), 0);
    EXPECT_NE(again.root_id, after.root_id);
    EXPECT_EQ(Run({GWSSIM_CLI, "recreate", root, "--user", "nobody@example.test"}).status, 1);
    EXPECT_EQ(Run({GWSSIM_CLI, "recreate", root}).status, 2);
}
