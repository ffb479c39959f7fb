// The listings and reads the backups run, checked for the columns and rows their callers read.
#include "gam_fixture.h"

#include <gwssim/shares.h>

#include <json-c/json.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>

namespace gamtest {
namespace {

const std::vector<std::string> kFileList = {"print", "filelist", "fields", "id,name,modifiedTime,md5,size",
                                            "excludetrashed"};
const std::vector<std::string> kFileTree = {"print", "filetree", "fields", "id,mimetype,parents", "noindent",
                                            "excludetrashed"};

std::vector<std::string> User(const std::string& u, std::vector<std::string> rest) {
    rest.insert(rest.begin(), {"user", u});
    return rest;
}

std::vector<std::string> Select(std::vector<std::string> listing, const std::string& drive) {
    listing.insert(listing.begin() + 2, {"select", drive});
    return listing;
}

// 2024-03-10T08:30:15Z: GAM prints Google's times without the fraction of a second.
bool Is_Gam_Time(const std::string& s) {
    const char* shape = "dddd-dd-ddTdd:dd:ddZ";
    if (s.size() != strlen(shape)) return false;
    for (size_t i = 0; i < s.size(); ++i)
        if (shape[i] == 'd' ? !isdigit((unsigned char)s[i]) : s[i] != shape[i]) return false;
    return true;
}

// The progress lines "Got N Messages" ("Got 1 Message" for one), whole, in order.
std::vector<std::string> Progress_Lines(const std::string& err) {
    std::vector<std::string> lines;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Got ", 0) == 0) lines.push_back(line);
    return lines;
}

using ReadTest = GamTest;

TEST_F(ReadTest, FileListGivesOwnedLiveItemsWithContentSumsOnlyForBinaries) {
    Result r = Gam(User("alice@example.com", kFileList));
    ASSERT_EQ(r.status, 0) << r.err;
    Table t = Parse_Csv(r.out);
    // GAM's column order: Owner, id, name, then the other fields by name.
    EXPECT_EQ(t.header, (std::vector<std::string>{"Owner", "id", "name", "md5Checksum", "modifiedTime", "size"}));
    std::map<std::string, std::map<std::string, std::string>> by_id;
    for (const auto& row : t.rows) by_id[row.at("id")] = row;
    // Trashed items, and live items below a trashed folder, are left out; the root is not listed.
    for (const char* id : {"iTrashed", "fBin", "iInBin", kAliceRoot}) EXPECT_EQ(by_id.count(id), 0u) << id;
    EXPECT_EQ(by_id.size(), 14u) << "orphans are listed like her other files";
    EXPECT_EQ(by_id["iPlan"]["md5Checksum"], Gwssim_Md5_Hex("plan for 2024\n"));
    EXPECT_EQ(by_id["iPlan"]["size"], "14");
    EXPECT_EQ(by_id["iEmpty"]["size"], "0");
    EXPECT_EQ(by_id["iEmpty"]["md5Checksum"], Gwssim_Md5_Hex(""));
    // An editor file has its storage size and no MD5; other native types and folders neither.
    EXPECT_EQ(by_id["iNotes"]["size"], std::to_string(kNotesStorage));
    EXPECT_EQ(by_id["iNotes"]["md5Checksum"], "");
    for (const char* id : {"fProjects", "iShortcut", "iDrawing", "iScript"}) {
        EXPECT_EQ(by_id[id]["md5Checksum"], "") << id;
        EXPECT_EQ(by_id[id]["size"], "") << id;
    }
    EXPECT_EQ(by_id["iHostile"]["name"], kHostileName);
    EXPECT_EQ(by_id["iPlan"]["Owner"], "alice@example.com");
    for (const auto& [id, row] : by_id) EXPECT_TRUE(Is_Gam_Time(row.at("modifiedTime"))) << id << " " << row.at("modifiedTime");
}

// GAM ends a listing that finds nothing with status 60, after its header line (a count, after
// its row with 0).
TEST_F(ReadTest, EmptyResultsPrintTheirHeaderAndExitSixty) {
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {"user without files", User("carol@example.com", kFileList), "Owner,id,name,md5Checksum,modifiedTime,size\n"},
        {"shared drive without files", User("alice@example.com", Select(kFileList, kEmptyDrive)),
         "Owner,id,name,md5Checksum,modifiedTime,size\n"},
        {"empty calendar", {"calendars", "carol@example.com", "print", "events"}, "calendarId,id\n"},
        {"empty mailbox", User("carol@example.com", {"print", "messages", "includespamtrash", "countsonly"}),
         "User,messages\ncarol@example.com,0\n"},
    };
    for (const auto& c : cases) {
        Result r = Gam(c.args);
        EXPECT_EQ(r.status, kNoEntities) << c.name << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.name;
    }
}

TEST_F(ReadTest, SharedDriveListingsNeedMembership) {
    auto list = Select({"print", "filelist", "fields", "id,name,modifiedTime,createddate,md5,size", "excludetrashed"},
                       kTeam);
    Result r = Gam(User("bob@example.com", list));  // a reader may list
    ASSERT_EQ(r.status, 0) << r.err;
    Table t = Parse_Csv(r.out);
    ASSERT_EQ(t.rows.size(), 2u);
    EXPECT_TRUE(t.Has("createdTime"));
    EXPECT_EQ(t.rows[1]["id"], "iDesign");
    EXPECT_EQ(t.rows[1]["md5Checksum"], Gwssim_Md5_Hex("team design"));

    // Not a member, a group address used as an account, an unknown drive.
    Expect_Refused(Gam(User("carol@example.com", list)), "non-member");
    Expect_Refused(Gam(User("team@example.com", list)), "group address");
    Expect_Refused(Gam(User("alice@example.com", Select(kFileTree, "0ANoSuchDrive"))), "unknown drive");
}

// What the restores rely on: a first line to drop, the root row (depth -1, index 1), then every
// item in pre-order with consecutive indexes and each item's parent among its open ancestors.
void Expect_Tree_Shape(const Table& t, const std::string& root_id, const std::string& root_name,
                       const std::string& user = "alice@example.com") {
    ASSERT_EQ(t.header, (std::vector<std::string>{"User", "index", "depth", "name", "id", "mimeType", "parents"}));
    ASSERT_FALSE(t.rows.empty());
    EXPECT_EQ(t.rows[0].at("id"), root_id);
    EXPECT_EQ(t.rows[0].at("index"), "1");
    EXPECT_EQ(t.rows[0].at("depth"), "-1");
    EXPECT_EQ(t.rows[0].at("name"), root_name);
    EXPECT_EQ(t.rows[0].at("parents"), "");
    EXPECT_EQ(t.rows[0].at("mimeType"), kFolder);
    std::vector<std::string> ancestors{root_id};  // ancestors[d + 1] = the open folder at depth d
    bool in_orphans = false;
    for (size_t i = 0; i < t.rows.size(); ++i) EXPECT_EQ(t.rows[i].at("User"), user) << "row " << i;
    for (size_t i = 1; i < t.rows.size(); ++i) {
        const auto& row = t.rows[i];
        EXPECT_EQ(row.at("index"), std::to_string(i + 1));
        int depth = std::stoi(row.at("depth"));
        if (depth == -1) {
            // The second top row: the made-up "Orphans" folder, once, after the root's whole tree.
            EXPECT_FALSE(in_orphans) << "row " << i;
            in_orphans = true;
            EXPECT_EQ(row.at("name"), "Orphans");
            EXPECT_NE(row.at("id"), root_id);
            EXPECT_EQ(row.at("parents"), "");
            ancestors.assign(1, row.at("id"));
            continue;
        }
        ASSERT_LE((size_t)depth + 1, ancestors.size()) << "row " << i << " jumps a level";
        ancestors.resize(depth + 1);
        // An orphan's own parent is one the user cannot see: GAM shows none.
        EXPECT_EQ(row.at("parents"), in_orphans && depth == 0 ? std::string() : ancestors.back())
            << "row " << i << " is not under its parent";
        ancestors.push_back(row.at("id"));
    }
}

TEST_F(ReadTest, FileTreeIsPreOrderBelowTheRootRow) {
    Result r = Gam(User("alice@example.com", kFileTree));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "User: alice@example.com, Print 2 Drive Files/Folders")
        << "the top rows are counted: the root and Orphans";
    Table t = Parse_Csv(r.out, 1);
    Expect_Tree_Shape(t, kAliceRoot, "My Drive");
    std::vector<std::string> ids;
    for (const auto& row : t.rows) ids.push_back(row.at("id"));
    // Siblings by name: "A form" < "Floor plan" < "Mail merge" < "Projects" < "Q3..." < "Shortcut..." <
    // "empty.bin"; then the orphans.
    ASSERT_EQ(ids.size(), 16u);
    EXPECT_EQ(std::vector<std::string>(ids.begin(), ids.begin() + 13),
              (std::vector<std::string>{kAliceRoot, "iForm", "iDrawing", "iScript", "fProjects", "f2024", "iBudget",
                                        "iPlan", "iNotes", "iHostile", "iShortcut", "iEmpty", ids[12]}));
    EXPECT_EQ(std::vector<std::string>(ids.begin() + 13, ids.end()),
              (std::vector<std::string>{"fLost", "iFound", "iOrphan"}));
}

TEST_F(ReadTest, SharedDriveTreeRootIsTheDrive) {
    Result r = Gam(User("alice@example.com", Select(kFileTree, kTeam)));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "User: alice@example.com, Print 1 Drive File/Folder");
    Table t = Parse_Csv(r.out, 1);
    // The top row of a shared drive is named after the folder GAM files shared drives under.
    Expect_Tree_Shape(t, kTeam, "SharedDrives/Team Drive");
    ASSERT_EQ(t.rows.size(), 3u) << "no Orphans row without orphans";
    EXPECT_EQ(t.rows[2].at("id"), "iDesign");
}

TEST_F(ReadTest, UserWithoutDriveStillHasAStableRoot) {
    Result a = Gam(User("carol@example.com", kFileTree));
    Result b = Gam(User("carol@example.com", kFileTree));
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.out.substr(0, a.out.find('\n')), "User: carol@example.com, Print 1 Drive File/Folder");
    Table t = Parse_Csv(a.out, 1);
    ASSERT_EQ(t.rows.size(), 1u);
    EXPECT_NE(t.rows[0]["id"], "");
    EXPECT_EQ(a.out, b.out);
}

// A file another user shared is in the user's file list (Owner: the acting user, as in every
// row) but never in his tree; the owner's listings are unchanged.
TEST_F(ReadTest, FilesSharedWithTheUserAreListedButNotInHisTree) {
    std::string err;
    ASSERT_EQ(Gwssim_Share_Item(sim, "alice@example.com", "iPlan", "bob@example.com", "reader", err), 0) << err;
    ASSERT_EQ(Gwssim_Share_Item(sim, "alice@example.com", "iTrashed", "bob@example.com", "writer", err), 0) << err;
    ASSERT_EQ(Gwssim_Share_Item(sim, "alice@example.com", "iPlan", "bob@example.com", "commenter", err), 0) << err;
    EXPECT_NE(Gwssim_Share_Item(sim, "alice@example.com", "iNoSuch", "bob@example.com", "reader", err), 0);
    EXPECT_NE(Gwssim_Share_Item(sim, "alice@example.com", "iPlan", "nobody@example.com", "reader", err), 0);

    Result list = Gam(User("bob@example.com", kFileList));
    ASSERT_EQ(list.status, 0) << list.err;
    Table t = Parse_Csv(list.out);
    ASSERT_EQ(t.rows.size(), 1u) << "the trashed share is left out: " << list.out;
    EXPECT_EQ(t.rows[0]["id"], "iPlan");
    EXPECT_EQ(t.rows[0]["Owner"], "bob@example.com") << "the acting user, not the file's owner";
    EXPECT_EQ(t.rows[0]["md5Checksum"], Gwssim_Md5_Hex("plan for 2024\n"));
    Result tree = Gam(User("bob@example.com", kFileTree));
    ASSERT_EQ(tree.status, 0) << tree.err;
    EXPECT_EQ(Parse_Csv(tree.out, 1).rows.size(), 1u) << "only his root: " << tree.out;

    Result own = Gam(User("alice@example.com", kFileList));
    for (const auto& row : Parse_Csv(own.out).rows) EXPECT_EQ(row.at("Owner"), "alice@example.com");
    EXPECT_EQ(Parse_Csv(own.out).rows.size(), 14u);
    Result team = Gam(User("bob@example.com", Select({"print", "filelist", "fields", "id,name", "excludetrashed"}, kTeam)));
    for (const auto& row : Parse_Csv(team.out).rows) EXPECT_EQ(row.at("Owner"), "bob@example.com");

    // One permission entry per user: the later role.
    GwsDrive d = Drive_Of("alice@example.com");
    for (const auto& it : d.items)
        if (it.id == "iPlan") {
            ASSERT_EQ(it.permissions.size(), 1u);
            EXPECT_EQ(it.permissions[0].role, "commenter");
        }
}

// The writer's escape character is a backslash: "\\" in the Drive, event and contact listings,
// one "\" as it stands in the contact-group listing. A backslash alone does not quote a cell.
TEST_F(ReadTest, BackslashesAreEscapedInEveryListingButContactGroups) {
    GwsDrive d = Drive_Of("alice@example.com");
    d.items.push_back(Item("iBs1", "a\\b", "text/plain", kAliceRoot));
    d.items.push_back(Item("iBs2", "c\\\\d, \"q\"", "text/plain", kAliceRoot));
    ASSERT_EQ(Gwssim_Save_Drive(sim, "alice@example.com", d), 0);
    GwsCalendar cal;
    GwsEvent e;
    e.fields = {{"id", "ev1"}, {"iCalUID", "ev1@google.com"}, {"status", "confirmed"}, {"summary", "x\\y"},
                {"start.date", "2024-03-05"}, {"end.date", "2024-03-06"}};
    cal.events.push_back(e);
    ASSERT_EQ(Gwssim_Save_Calendar(sim, "alice@example.com", cal), 0);
    GwsContacts con;
    con.groups.push_back({"contactGroups/g1", "Dept\\A", "Dept\\A", "USER_CONTACT_GROUP"});
    GwsContact p;
    p.resource_name = "people/c1";
    p.given_name = "Back\\";
    p.groups = {"contactGroups/g1"};
    con.contacts.push_back(p);
    ASSERT_EQ(Gwssim_Save_Contacts(sim, "alice@example.com", con), 0);

    const struct {
        std::vector<std::string> args;
        std::vector<std::string> raw;  // texts the output holds as written
    } cases[] = {
        {kFileList, {",a\\\\b,", "\"c\\\\\\\\d, \"\"q\"\"\""}},
        {kFileTree, {",a\\\\b,", "\"c\\\\\\\\d, \"\"q\"\"\""}},
    };
    for (const auto& c : cases) {
        Result r = Gam(User("alice@example.com", c.args));
        ASSERT_EQ(r.status, 0) << r.err;
        for (const std::string& raw : c.raw) EXPECT_NE(r.out.find(raw), std::string::npos) << raw << " in\n" << r.out;
    }
    Result ev = Gam({"calendars", "alice@example.com", "print", "events"});
    EXPECT_NE(ev.out.find(",x\\\\y"), std::string::npos) << ev.out;
    Result people = Gam(User("alice@example.com", {"print", "contacts", "allfields"}));
    EXPECT_NE(people.out.find(",Back\\\\,"), std::string::npos) << people.out;
    Result groups = Gam(User("alice@example.com", {"print", "contactgroup"}));
    EXPECT_NE(groups.out.find(",Dept\\A,"), std::string::npos) << groups.out;
    EXPECT_EQ(groups.out.find("\\\\"), std::string::npos) << groups.out;
}

struct AclCase {
    const char* name;
    const char* user;
    std::vector<std::string> args;
    std::vector<std::string> emails;  // empty entries: permissions without an address
};

TEST_F(ReadTest, DriveFileAcls) {
    const AclCase cases[] = {
        {"admin view of a shared drive", "admin@example.com", {kTeam, "adminaccess", "formatjson"},
         {"admin@example.com", "alice@example.com", "bob@example.com", "team@example.com"}},
        {"admin view of a drive without members", "admin@example.com", {kHidden, "adminaccess", "formatjson"}, {}},
        {"item in a shared drive: members, then its own", "alice@example.com", {"iDesign", "formatjson"},
         {"admin@example.com", "alice@example.com", "bob@example.com", "team@example.com", "carol@example.com"}},
        {"own My Drive file", "alice@example.com", {"iPlan", "formatjson"}, {"alice@example.com"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"show", "drivefileacls"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = Gam(User(c.user, args));
        ASSERT_EQ(r.status, 0) << c.name << ": " << r.err;
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << c.name << ": formatjson is one line";
        json_object* o = json_tokener_parse(r.out.c_str());
        ASSERT_NE(o, nullptr) << c.name;
        // GAM prints the keys sorted: the acting user as Owner, the id, the permissions.
        std::vector<std::string> keys;
        json_object_object_foreach(o, key, val) {
            (void)val;
            keys.emplace_back(key);
        }
        EXPECT_EQ(keys, (std::vector<std::string>{"Owner", "id", "permissions"})) << c.name;
        json_object* owner = nullptr;
        ASSERT_TRUE(json_object_object_get_ex(o, "Owner", &owner)) << c.name;
        EXPECT_STREQ(json_object_get_string(owner), c.user);
        json_object* perms = nullptr;
        ASSERT_TRUE(json_object_object_get_ex(o, "permissions", &perms)) << c.name;
        std::vector<std::string> emails;
        for (size_t i = 0; i < json_object_array_length(perms); ++i) {
            json_object* p = json_object_array_get_idx(perms, i);
            json_object *e = nullptr, *role = nullptr, *dn = nullptr;
            emails.push_back(json_object_object_get_ex(p, "emailAddress", &e) ? json_object_get_string(e) : "");
            EXPECT_TRUE(json_object_object_get_ex(p, "role", &role)) << c.name;
            EXPECT_TRUE(json_object_object_get_ex(p, "displayName", &dn)) << c.name;
            std::vector<std::string> pkeys;
            json_object_object_foreach(p, pk, pv) {
                (void)pv;
                pkeys.emplace_back(pk);
            }
            EXPECT_TRUE(std::is_sorted(pkeys.begin(), pkeys.end())) << c.name;
            for (const char* k : {"deleted", "id", "kind", "pendingOwner", "type"})
                EXPECT_NE(std::find(pkeys.begin(), pkeys.end(), k), pkeys.end()) << c.name << ": " << k;
        }
        EXPECT_EQ(emails, c.emails) << c.name;
        json_object_put(o);
    }
    Expect_Refused(Gam(User("alice@example.com", {"show", "drivefileacls", kTeam, "adminaccess", "formatjson"})),
                   "adminaccess as a non-admin");
    Expect_Refused(Gam(User("carol@example.com", {"show", "drivefileacls", "iDesign", "formatjson"})),
                   "item of a drive the user is not a member of");
}

TEST_F(ReadTest, GetDriveFileWritesContentToStdoutOnly) {
    std::string target = dir + "/target";
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    auto get = [&](const char* user, const char* id) {
        return Gam(User(user, {"get", "drivefile", "id", id, "targetfolder", target + "/", "targetname", "-"}));
    };
    struct {
        const char* user;
        const char* id;
        std::string content;
    } ok[] = {
        {"alice@example.com", "iPlan", "plan for 2024\n"},
        {"alice@example.com", "iHostile", "hostile\n"},
        {"alice@example.com", "iEmpty", ""},
        {"alice@example.com", "iTrashed", "old"},
        {"bob@example.com", "iDesign", "team design"},          // shared drive, as a member
        {"alice@example.com", "iShortcut", "plan for 2024\n"},  // a shortcut gives its target
    };
    GwsDrive d = Drive_Of("alice@example.com");
    d.items.push_back(Item("iDeadShortcut", "Shortcut to nothing", "application/vnd.google-apps.shortcut", kAliceRoot));
    d.items.back().shortcut_target = "iGone";
    ASSERT_EQ(Gwssim_Save_Drive(sim, "alice@example.com", d), 0);
    for (const auto& c : ok) {
        Result r = get(c.user, c.id);
        EXPECT_EQ(r.status, 0) << c.id << ": " << r.err;
        EXPECT_EQ(r.out, c.content) << c.id;
    }
    // Drawings, scripts and forms have no export (not performed); folders, unknown ids and a
    // shortcut whose target is gone fail.
    const struct {
        const char* id;
        int status;
    } refused[] = {{"fProjects", kFailed}, {"iDeadShortcut", kFailed}, {"nosuchid", kFailed},
                   {"iForm", kNotPerformed}, {"iDrawing", kNotPerformed}, {"iScript", kNotPerformed}};
    for (const auto& c : refused) Expect_Refused(get("alice@example.com", c.id), c.id, c.status);
    Expect_Refused(get("carol@example.com", "iDesign"), "not a member");
    Expect_Refused(get("bob@example.com", "iPlan"), "another user's file");
    EXPECT_EQ(Slurp(dir + "/stdout"), "");
    std::string ls = "ls -A '" + target + "' | wc -l";
    FILE* p = popen(ls.c_str(), "r");
    char buf[16] = {};
    ASSERT_NE(fgets(buf, sizeof buf, p), nullptr);
    pclose(p);
    EXPECT_EQ(std::string(buf), "0\n") << "targetfolder must stay untouched";
}

// A zip reader other than ours says what the package holds: "<first entry> <its text>".
std::string Zip_Check(const std::string& path) {
    std::string cmd = "python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                      "assert z.testzip() is None; n = z.namelist(); "
                      "print(n[0], z.read(n[0]).decode(), \"content.xml\" in n, end=\"\")' '" + path + "' 2>&1";
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[512];
    while (p && fgets(buf, sizeof buf, p)) out += buf;
    if (p) pclose(p);
    return out;
}

TEST_F(ReadTest, EditorFilesDownloadAsTheirOpenDocumentExport) {
    GwsDrive d = Drive_Of("alice@example.com");
    for (auto [id, mime] : {std::pair{"iSheet", "application/vnd.google-apps.spreadsheet"},
                            std::pair{"iSlides", "application/vnd.google-apps.presentation"}}) {
        GwsDriveItem it = Item(id, id, mime, kAliceRoot);
        it.has_blob = true;
        it.size = kNotesStorage;
        Put(Gwssim_Drive_Blob_Path(sim, "alice@example.com", id), "a <b> & c\nsecond line\n");
        d.items.push_back(it);
    }
    ASSERT_EQ(Gwssim_Save_Drive(sim, "alice@example.com", d), 0);
    const struct {
        const char* id;
        const char* odf;
        const char* text;
    } cases[] = {
        {"iNotes", "application/vnd.oasis.opendocument.text", "exported notes"},
        {"iSheet", "application/vnd.oasis.opendocument.spreadsheet", "a &lt;b&gt; &amp; c"},
        {"iSlides", "application/vnd.oasis.opendocument.presentation", "second line"},
    };
    for (const auto& c : cases) {
        Result r = Gam(User("alice@example.com", {"get", "drivefile", "id", c.id, "targetfolder", dir, "targetname", "-"}));
        ASSERT_EQ(r.status, 0) << c.id << ": " << r.err;
        EXPECT_NE(r.out.size(), (size_t)kNotesStorage) << c.id << ": the export is not the storage size";
        EXPECT_NE(r.out.find(std::string("<text:p>") + c.text + "</text:p>"), std::string::npos) << c.id;
        std::string file = dir + "/export";
        Put(file, r.out);
        EXPECT_EQ(Zip_Check(file), std::string("mimetype ") + c.odf + " True") << c.id;
        // The same text gives the same bytes, so an unchanged document downloads the same.
        EXPECT_EQ(Gam(User("alice@example.com", {"get", "drivefile", "id", c.id, "targetfolder", dir, "targetname", "-"})).out,
                  r.out) << c.id;
    }
}

TEST_F(ReadTest, MessageCountIsOneRowWithProgressOnStderr) {
    GwsMailbox box;
    for (int i = 0; i < 250; ++i) {
        GwsMessage m;
        m.id = Gwssim_Format_Id("message", i + 1);
        m.labels = {i % 50 == 0 ? "SPAM" : i % 50 == 1 ? "TRASH" : "INBOX"};
        box.messages.push_back(m);
    }
    ASSERT_EQ(Gwssim_Save_Mailbox(sim, "alice@example.com", box), 0);
    Result r = Gam(User("alice@example.com", {"print", "messages", "includespamtrash", "countsonly"}));
    ASSERT_EQ(r.status, 0) << r.err;
    // The counting workers read the second column of the first data row.
    EXPECT_EQ(r.out, "User,messages\nalice@example.com,250\n");
    EXPECT_EQ(Progress_Lines(r.err),
              (std::vector<std::string>{"Got 100 Messages", "Got 200 Messages", "Got 250 Messages"}));

    Result empty = Gam(User("carol@example.com", {"print", "messages", "includespamtrash", "countsonly"}));
    EXPECT_EQ(empty.status, kNoEntities);
    EXPECT_EQ(empty.out, "User,messages\ncarol@example.com,0\n");
    EXPECT_EQ(Progress_Lines(empty.err), (std::vector<std::string>{"Got 0 Messages"}));

    // One message: GAM names it in the singular.
    GwsMailbox one;
    one.messages.resize(1);
    one.messages[0].id = Gwssim_Format_Id("message", 1);
    one.messages[0].labels = {"INBOX"};
    ASSERT_EQ(Gwssim_Save_Mailbox(sim, "carol@example.com", one), 0);
    Result single = Gam(User("carol@example.com", {"print", "messages", "includespamtrash", "countsonly"}));
    EXPECT_EQ(single.status, 0) << single.err;
    EXPECT_EQ(single.out, "User,messages\ncarol@example.com,1\n");
    EXPECT_EQ(Progress_Lines(single.err), (std::vector<std::string>{"Got 1 Message"}));

    Use_Key(kKeyNoMail);
    Expect_Refused(Gam(User("alice@example.com", {"print", "messages", "includespamtrash", "countsonly"})), "no gmail grant",
                   kApiDenied);
}

TEST_F(ReadTest, ExportMessageWritesTheRawBytesAtTheTarget) {
    GwsMailbox box;
    GwsMessage m;
    m.id = "18aaaaaaaaaaaaaa";
    m.labels = {"INBOX"};
    box.messages.push_back(m);
    ASSERT_EQ(Gwssim_Save_Mailbox(sim, "o'brien@example.com", box), 0);
    std::string eml = "From: \"O'Brien, P.\" <o'brien@example.com>\r\nSubject: CON\r\n\r\nbody\r\n";
    Put(Gwssim_Eml_Path(sim, "o'brien@example.com", m.id), eml);
    std::string target = dir + "/store/local-id-1";
    ASSERT_EQ(mkdir((dir + "/store").c_str(), 0700), 0);
    Put(target, "an older, longer copy that must be replaced whole");
    Result r = Gam(User("o'brien@example.com", {"export", "messages", "ids", m.id, "targetname", target}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(target), eml);

    std::string missing = dir + "/store/local-id-2";
    Expect_Refused(Gam(User("o'brien@example.com", {"export", "messages", "ids", "18bbbbbbbbbbbbbb", "targetname", missing})));
    EXPECT_FALSE(Exists(missing)) << "no target on failure";
}

TEST_F(ReadTest, EventListingFlattensEventsWithOptionalColumnsAbsent) {
    GwsCalendar cal;
    cal.events.push_back(GwsEvent{{{"id", "ev1"}, {"iCalUID", "ev1@google.com"}, {"status", "confirmed"},
                           {"summary", "Plan, \"final\""}, {"location", "Room 1\nFloor 2"},
                           {"start.dateTime", "2024-03-05T09:30:00.250+08:00"}, {"start.timeZone", "Asia/Taipei"},
                           {"updated", "2024-03-01T07:08:09.123Z"},
                           {"end.dateTime", "2024-03-05T10:00:00+08:00"}, {"end.timeZone", "Asia/Taipei"},
                           {"attendees", "1"}, {"attendees.0.email", "bob@example.com"}}});
    cal.events.push_back(GwsEvent{{{"id", "ev2"}, {"status", "confirmed"}, {"summary", "Holiday"},
                           {"start.date", "2024-03-08"}, {"end.date", "2024-03-09"}}});
    cal.events.push_back(GwsEvent{{{"id", "ev3"}, {"status", "cancelled"}, {"summary", "Gone"},
                           {"start.date", "2024-03-08"}, {"end.date", "2024-03-09"},
                           {"hangoutLink", "https://meet.example/x"}}});
    ASSERT_EQ(Gwssim_Save_Calendar(sim, "alice@example.com", cal), 0);
    Result r = Gam({"calendars", "alice@example.com", "print", "events"});
    ASSERT_EQ(r.status, 0) << r.err;
    Table t = Parse_Csv(r.out);
    ASSERT_EQ(t.rows.size(), 2u) << "cancelled events are not listed";
    EXPECT_EQ(t.header[0], "calendarId");
    EXPECT_EQ(t.header[1], "id");
    EXPECT_FALSE(t.Has("hangoutLink")) << "a column no listed event has is absent";
    EXPECT_FALSE(t.Has("conferenceData.entryPoints.2.regionCode"));
    EXPECT_EQ(t.rows[0]["calendarId"], "alice@example.com");
    EXPECT_EQ(t.rows[0]["summary"], "Plan, \"final\"");
    EXPECT_EQ(t.rows[0]["location"], "Room 1\nFloor 2") << "a line break stays raw inside its quoted cell";
    EXPECT_NE(r.out.find("\"Room 1\nFloor 2\""), std::string::npos);
    EXPECT_EQ(t.rows[0]["start.dateTime"], "2024-03-05T09:30:00+08:00") << "no fraction, offset kept";
    EXPECT_EQ(t.rows[0]["updated"], "2024-03-01T07:08:09Z");
    EXPECT_EQ(t.rows[0]["attendees.0.email"], "bob@example.com");
    EXPECT_EQ(t.rows[1]["start.date"], "2024-03-08");
    EXPECT_EQ(t.rows[1]["start.dateTime"], "");

    Result none = Gam({"calendars", "carol@example.com", "print", "events"});
    EXPECT_EQ(none.status, kNoEntities);
    EXPECT_TRUE(Parse_Csv(none.out).Has("id")) << "keeps its header line";
    EXPECT_EQ(Parse_Csv(none.out).rows.size(), 0u);
}

class ContactsTest : public GamTest {
protected:
    void SetUp() override {
        GamTest::SetUp();
        GwsContacts c;
        c.groups = {{"contactGroups/myContacts", "myContacts", "My Contacts", "SYSTEM_CONTACT_GROUP"},
                    {"contactGroups/starred", "starred", "Starred", "SYSTEM_CONTACT_GROUP"},
                    {"contactGroups/family", "Family", "Family", "USER_CONTACT_GROUP"}};
        GwsContact a;
        a.resource_name = "people/c1";
        a.given_name = "Mary";
        a.family_name = "Liddell";
        a.emails = {{"home", "mary@family.test"}, {"work", "mary@work.test"}};
        a.groups = {"contactGroups/myContacts", "contactGroups/family"};
        GwsContact b;
        b.resource_name = "people/c2";
        b.phones = {{"work", "+1 555 0100"}};
        b.org_name = "Partner & Sons, Ltd.";
        b.org_title = "Head";
        b.groups = {"contactGroups/myContacts"};
        GwsContact other;
        other.resource_name = "otherContacts/c3";
        other.emails = {{"other", "someone@else.test"}};
        c.contacts = {a, b};
        c.other_contacts = {other};
        ASSERT_EQ(Gwssim_Save_Contacts(sim, "alice@example.com", c), 0);
    }
};

TEST_F(ContactsTest, GroupListingCountsMembers) {
    Result r = Gam(User("alice@example.com", {"print", "contactgroup"}));
    ASSERT_EQ(r.status, 0) << r.err;
    Table t = Parse_Csv(r.out);
    // User and resourceName lead; the other columns follow sorted by name.
    EXPECT_EQ(t.header, (std::vector<std::string>{"User", "resourceName", "formattedName", "groupType", "memberCount",
                                                  "name"}));
    ASSERT_EQ(t.rows.size(), 3u);
    EXPECT_EQ(t.rows[0]["memberCount"], "2");
    EXPECT_EQ(t.rows[1]["memberCount"], "0");
    EXPECT_EQ(t.rows[2]["resourceName"], "contactGroups/family");
    EXPECT_EQ(t.rows[2]["memberCount"], "1");
    EXPECT_EQ(t.rows[2]["User"], "alice@example.com");
}

TEST_F(ContactsTest, ContactListingCarriesFieldsAndMemberships) {
    Result r = Gam(User("alice@example.com", {"print", "contacts", "allfields"}));
    ASSERT_EQ(r.status, 0) << r.err;
    Table t = Parse_Csv(r.out);
    ASSERT_EQ(t.rows.size(), 3u);
    auto& mary = t.rows[0];
    EXPECT_EQ(mary["User"], "alice@example.com");
    EXPECT_EQ(mary["resourceName"], "people/c1");
    EXPECT_EQ(mary["names.0.givenName"], "Mary");
    EXPECT_EQ(mary["names.0.familyName"], "Liddell");
    EXPECT_EQ(mary["names.0.displayName"], "Mary Liddell");
    EXPECT_EQ(mary["emailAddresses"], "2");
    EXPECT_EQ(mary["emailAddresses.0.value"], "mary@family.test");
    EXPECT_EQ(mary["emailAddresses.0.type"], "home");
    EXPECT_EQ(mary["memberships.1.contactGroupMembership.contactGroupId"], "family");
    EXPECT_EQ(mary["memberships.1.contactGroupMembership.contactGroupResourceName"], "contactGroups/family");
    auto& partner = t.rows[1];
    EXPECT_EQ(partner["phoneNumbers.0.value"], "+1 555 0100");
    EXPECT_EQ(partner["organizations.0.name"], "Partner & Sons, Ltd.");
    EXPECT_EQ(partner["organizations.0.title"], "Head");
    EXPECT_EQ(partner["organizations.0.department"], "");
    EXPECT_EQ(partner["names.0.givenName"], "");
    EXPECT_EQ(partner["memberships.1.contactGroupMembership.contactGroupId"], "");
    EXPECT_EQ(t.rows[2]["resourceName"], "otherContacts/c3") << "other contacts are listed too";
    for (const char* col : {"emailAddresses.0.formattedType", "names", "phoneNumbers", "phoneNumbers.0.type",
                            "memberships.0.contactGroupMembership.contactGroupId"})
        EXPECT_TRUE(t.Has(col)) << col;
}

// Groups end as "no entities"; contacts, unlike every other listing, end 0 with the header alone.
TEST_F(ContactsTest, AnEmptyListingPrintsItsHeader) {
    GwsContacts none;
    ASSERT_EQ(Gwssim_Save_Contacts(sim, "carol@example.com", none), 0);
    const struct {
        std::vector<std::string> args;
        const char* column;
        int status;
    } cases[] = {{{"print", "contactgroup"}, "resourceName", kNoEntities},
                 {{"print", "contacts", "allfields"}, "resourceName", 0}};
    for (const auto& [args, column, status] : cases) {
        Result r = Gam(User("carol@example.com", args));
        EXPECT_EQ(r.status, status) << args.back();
        Table t = Parse_Csv(r.out);
        EXPECT_TRUE(t.Has("User") && t.Has(column)) << args.back() << ": " << r.out;
        EXPECT_TRUE(t.rows.empty());
    }
}

}  // namespace
}  // namespace gamtest
