// The configuration gam needs, its usage errors, and the writes the restores make: each write
// must land in the simulated domain exactly as given, hostile names included.
#include "gam_fixture.h"

#include <json-c/json.h>

#include <algorithm>

namespace gamtest {
namespace {

const std::vector<std::string> kList = {"user", "alice@example.com", "print", "filelist", "fields",
                                        "id,name,modifiedTime,md5,size", "excludetrashed"};

using ConfigTest = GamTest;

TEST_F(ConfigTest, BareRunCreatesTheDefaultConfiguration) {
    std::string fresh = dir + "/fresh/.gam";
    ASSERT_EQ(mkdir((dir + "/fresh").c_str(), 0700), 0);
    setenv("GAMCFGDIR", fresh.c_str(), 1);
    Result r = Gam({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    struct stat st;
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::string text = Slurp(fresh + "/gam.cfg");
    for (const char* want : {"[DEFAULT]", "admin_email", "customer_id", "domain", "enable_dasa = false", "config_dir"})
        EXPECT_NE(text.find(want), std::string::npos) << want;
    EXPECT_NE(text.find('#'), std::string::npos) << "a comment";
    EXPECT_GE(std::count(text.begin(), text.end(), '['), 2) << "another section beside DEFAULT";
    // Defaults refuse to act: delegation is off and no domain is named.
    Expect_Refused(Gam(kList), "default configuration", kConfig);

    // A second bare run keeps what is there.
    Put(fresh + "/gam.cfg", "[DEFAULT]\ndomain = kept\n");
    ASSERT_EQ(Gam({}).status, 0);
    EXPECT_EQ(Slurp(fresh + "/gam.cfg"), "[DEFAULT]\ndomain = kept\n");
}

TEST_F(ConfigTest, FolderComesFromTheRootWithoutGamCfgDir) {
    unsetenv("GAMCFGDIR");
    setenv("QLM_ROOT", dir.c_str(), 1);
    Result r = Gam({});  // $QLM_ROOT/root is made too
    unsetenv("QLM_ROOT");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Exists(dir + "/root/.gam/gam.cfg"));
}

TEST_F(ConfigTest, RefusesUnlessConfigurationKeyAndAccountFit) {
    struct Case {
        const char* name;
        std::string domain, admin, customer, dasa;
        const char* key;
        std::string user;
        int status;
    };
    const Case cases[] = {
        {"delegation off", "example.com", "admin@example.com", "C01sim123", "false", kKeyFull, "alice@example.com",
         kConfig},
        {"wrong domain", "example.net", "admin@example.com", "C01sim123", "true", kKeyFull, "alice@example.com", kHttp},
        {"secondary domain", "example.org", "admin@example.com", "C01sim123", "true", kKeyFull, "alice@example.com",
         kHttp},
        {"wrong customer", "example.com", "admin@example.com", "C99", "true", kKeyFull, "alice@example.com", kHttp},
        {"admin is no admin", "example.com", "alice@example.com", "C01sim123", "true", kKeyFull, "alice@example.com",
         kHttp},
        {"no domain", "", "admin@example.com", "C01sim123", "true", kKeyFull, "alice@example.com", kConfig},
        {"revoked key", "example.com", "admin@example.com", "C01sim123", "true", kKeyOff, "alice@example.com",
         kKeyInvalid},
        {"key of another domain", "example.com", "admin@example.com", "C01sim123", "true", kKeyOther,
         "alice@example.com", kApiDenied},
        {"unregistered key", "example.com", "admin@example.com", "C01sim123", "true",
         "9999999999999999999999999999999999999999", "alice@example.com", kKeyInvalid},
        // An account Google does not know fails the action on that entity.
        {"user outside the domain", "example.com", "admin@example.com", "C01sim123", "true", kKeyFull,
         "alice@example.net", kFailed},
        {"unknown user", "example.com", "admin@example.com", "C01sim123", "true", kKeyFull, "nobody@example.com",
         kFailed},
    };
    for (const Case& c : cases) {
        Write_Cfg(c.domain, c.admin, c.customer, c.dasa);
        Use_Key(c.key);
        std::vector<std::string> args = kList;
        args[1] = c.user;
        Expect_Refused(Gam(args), c.name, c.status);
    }
    Write_Cfg("example.com", "admin@example.com", "C01sim123", "yes");
    Use_Key(kKeyFull);
    EXPECT_EQ(Gam(kList).status, 0) << "enable_dasa = yes reads as true";
    ASSERT_EQ(unlink((cfg + "/oauth2service.json").c_str()), 0);
    Expect_Refused(Gam(kList), "no key file", kKeyInvalid);
    Use_Key(kKeyFull);
    ASSERT_EQ(unlink((cfg + "/gam.cfg").c_str()), 0);
    Expect_Refused(Gam(kList), "no gam.cfg", kConfig);
}

TEST_F(ConfigTest, GrantsAreCheckedPerService) {
    Use_Key(kKeyNoMail);
    Expect_Refused(Gam({"user", "alice@example.com", "print", "messages", "includespamtrash", "countsonly"}), "gmail",
                   kApiDenied);
    EXPECT_EQ(Gam({"calendars", "alice@example.com", "print", "events"}).status, kNoEntities) << "allowed; nothing to list";
    EXPECT_EQ(Gam(kList).status, 0);
}

TEST_F(ConfigTest, UsageErrorsExitTwoWithNothingOnStdout) {
    const std::vector<std::vector<std::string>> cases = {
        {"user", "alice@example.com", "print", "filelist", "fields", "id,name,md5", "excludetrashed", "extra"},
        {"user", "alice@example.com", "print", "filelist", "fields"},
        {"user", "alice@example.com", "print", "filelist", "fields", "id,nosuchfield"},
        {"user", "alice@example.com", "print", "filetree", "fields", "id,mimetype,parents", "excludetrashed"},
        {"user", "alice@example.com", "get", "drivefile", "id", "iPlan", "targetname", "out.bin"},
        {"user", "alice@example.com", "frobnicate", "drivefile"},
        {"user", "alice@example.com", "create", "drivefile", "drivefilename", "x", "returnidonly"},
        // Unquoted insertion splits a phone number into several items: that must not pass.
        {"user", "alice@example.com", "create", "contacts", "phone", "work", "+1", "555", "0100", "primary"},
        {"calendar", "alice@example.com", "import", "event", "summary", "x"},
        {"user", "bob@example.com", "insert", "messages", "emlfile", "m.eml", "charset", "klingon"},
        {"user"},
    };
    for (const auto& args : cases) {
        Result r = Gam(args);
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(r.status, kUsage) << joined << r.err;
        EXPECT_EQ(r.out, "") << joined;
    }
}

using WriteTest = GamTest;

const GwsDriveItem* Find(const GwsDrive& d, const std::string& id) {
    for (const auto& it : d.items)
        if (it.id == id) return &it;
    return nullptr;
}

std::vector<std::string> Create_Folder(const std::string& user, const std::string& name, const char* parent) {
    std::vector<std::string> a{"user", user, "create", "drivefile", "drivefilename", name, "mimetype", "gfolder"};
    if (parent) a.insert(a.end(), {"parentid", parent});
    a.push_back("returnidonly");
    return a;
}

// The id on the first line of stdout, and nothing else there.
std::string New_Id(const Result& r) {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(r.out.empty());
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    return r.out.substr(0, r.out.find('\n'));
}

TEST_F(WriteTest, FoldersLandWhereTheParentSaysWithTheNameUnchanged) {
    const std::string hostile[] = {
        kHostileName, "-leading dash", "it's", "$(rm -rf ~)", "100% `x` %s %n", "two\nlines", "a/b", "Ünïcødé 文件",
        "; echo pwned |", "   ", "returnidonly", "parentid", "--help",
    };
    for (const std::string& name : hostile) {
        std::string id = New_Id(Gam(Create_Folder("alice@example.com", name, "f2024")));
        const GwsDrive d = Drive_Of("alice@example.com");
        const GwsDriveItem* it = Find(d, id);
        ASSERT_NE(it, nullptr) << name;
        EXPECT_EQ(it->name, name);
        EXPECT_EQ(it->parent, "f2024");
        EXPECT_EQ(it->mime_type, kFolder);
        EXPECT_EQ(it->owner, "alice@example.com");
        EXPECT_EQ(id.size(), 33u);
    }
    // Without parentid, and with the root id itself: the top of My Drive.
    for (const char* parent : {(const char*)nullptr, kAliceRoot}) {
        std::string id = New_Id(Gam(Create_Folder("alice@example.com", "Quillmere_Restore_20240310_083015", parent)));
        const GwsDrive d = Drive_Of("alice@example.com");
        ASSERT_NE(Find(d, id), nullptr);
        EXPECT_EQ(Find(d, id)->parent, kAliceRoot);
    }
}

TEST_F(WriteTest, FolderInASharedDriveNeedsAWritingMember) {
    std::string id = New_Id(Gam(Create_Folder("alice@example.com", "Restore", kTeam)));  // writer, top of the drive
    GwsDrive team;
    ASSERT_EQ(Gwssim_Load_Shared_Drive(sim, kTeam, team), 0);
    ASSERT_NE(Find(team, id), nullptr);
    EXPECT_EQ(Find(team, id)->parent, kTeam);
    EXPECT_NE(Find(team, "iDesign"), nullptr) << "the drive's other items stay";
    EXPECT_EQ(New_Id(Gam(Create_Folder("alice@example.com", "Sub", id.c_str()))).size(), 33u);

    Expect_Refused(Gam(Create_Folder("bob@example.com", "Restore", kTeam)), "reader");
    Expect_Refused(Gam(Create_Folder("carol@example.com", "Restore", kTeam)), "not a member");
    Expect_Refused(Gam(Create_Folder("bob@example.com", "Restore", "f2024")), "another user's folder");
    Expect_Refused(Gam(Create_Folder("alice@example.com", "Restore", "iPlan")), "a file as parent");
    ASSERT_EQ(Gwssim_Load_Shared_Drive(sim, kTeam, team), 0);
    EXPECT_EQ(team.items.size(), 4u) << "refused calls store nothing";
}

TEST_F(WriteTest, UploadStoresContentWithItsSumAndType) {
    std::string src = dir + "/local-id-7";
    Put(src, "restored bytes\n");
    std::string name = "it's \"100%\".txt";
    Result r = Gam({"user", "alice@example.com", "create", "drivefile", "drivefilename", name, "localfile", src,
                    "parentid", "fProjects", "returnidonly"});
    std::string id = New_Id(r);
    const GwsDrive d = Drive_Of("alice@example.com");
    const GwsDriveItem* it = Find(d, id);
    ASSERT_NE(it, nullptr);
    EXPECT_EQ(it->name, name);
    EXPECT_EQ(it->parent, "fProjects");
    // The type comes from the local file's name, which has no extension; never from drivefilename.
    EXPECT_EQ(it->mime_type, "application/octet-stream");
    EXPECT_EQ(it->md5, Gwssim_Md5_Hex("restored bytes\n"));
    EXPECT_EQ(it->size, 15);
    EXPECT_EQ(Slurp(Gwssim_Drive_Blob_Path(sim, "alice@example.com", id)), "restored bytes\n");
    // It reads back through the listings and the download like any other file.
    Result get = Gam({"user", "alice@example.com", "get", "drivefile", "id", id, "targetfolder", dir, "targetname", "-"});
    EXPECT_EQ(get.out, "restored bytes\n");

    size_t before = Drive_Of("alice@example.com").items.size();
    Result missing = Gam({"user", "alice@example.com", "create", "drivefile", "drivefilename", "x", "localfile",
                          dir + "/missing", "parentid", "fProjects", "returnidonly"});
    Expect_Refused(missing, "missing local file", kUsage);
    EXPECT_EQ(missing.err, "ERROR: " + dir + "/missing: [Errno 2] No such file or directory\n");
    EXPECT_EQ(Drive_Of("alice@example.com").items.size(), before);
}

// Without mimetype the type is guessed from the local path's extension; with it, the argument
// sets the type after GAM's check, and a type that fails the check refuses the whole line.
TEST_F(WriteTest, UploadTypeComesFromTheLocalPathOrTheMimetypeArgument) {
    const struct {
        const char* local;
        std::vector<std::string> mimetype;
        int status;
        const char* type;
    } cases[] = {
        {"store/0123abcd", {}, 0, "application/octet-stream"},
        {"store/report.PDF", {}, 0, "application/pdf"},
        {"store/.hidden", {}, 0, "application/octet-stream"},
        {"store.d/noext", {}, 0, "application/octet-stream"},
        {"store/0123abcd", {"mimetype", "text/plain"}, 0, "text/plain"},
        {"store/0123abcd", {"mimetype", "Image/PNG"}, 0, "image/png"},
        {"store/0123abcd", {"mimetype", "application/vnd.oasis.opendocument.text"}, 0,
         "application/vnd.oasis.opendocument.text"},
        {"store/0123abcd", {"mimetype", "font/woff2"}, 0, "font/woff2"},
        {"store/0123abcd", {"mimetype", "x-world/x-vrml"}, kUsage, nullptr},
        {"store/0123abcd", {"mimetype", "text/"}, kUsage, nullptr},
        {"store/0123abcd", {"mimetype", "plain"}, kUsage, nullptr},
        {"store/0123abcd", {"mimetype", ""}, kUsage, nullptr},
    };
    for (const auto& c : cases) {
        std::string src = dir + "/" + c.local;
        Put(src, "bytes");
        std::vector<std::string> args{"user", "alice@example.com", "create", "drivefile", "drivefilename", "n.txt",
                                      "localfile", src};
        args.insert(args.end(), c.mimetype.begin(), c.mimetype.end());
        args.insert(args.end(), {"parentid", "fProjects", "returnidonly"});
        size_t before = Drive_Of("alice@example.com").items.size();
        Result r = Gam(args);
        std::string what = std::string(c.local) + " " + (c.mimetype.empty() ? "" : c.mimetype[1]);
        if (c.status != 0) {
            Expect_Refused(r, what.c_str(), c.status);
            EXPECT_EQ(Drive_Of("alice@example.com").items.size(), before) << what;
            continue;
        }
        std::string id = New_Id(r);
        const GwsDrive d = Drive_Of("alice@example.com");
        const GwsDriveItem* it = Find(d, id);
        ASSERT_NE(it, nullptr) << what;
        EXPECT_EQ(it->mime_type, c.type) << what;
    }
}

TEST_F(WriteTest, InsertedMessagesCarryTheRestoreLabel) {
    std::string eml = "From: a@b.test\r\nSubject: restored\r\n\r\nbody\r\n";
    std::string src = dir + "/msg.eml";
    Put(src, eml);
    const std::string label = "Quillmere_Restore_20240310_083015";
    for (int i = 0; i < 2; ++i) {
        Result r = Gam({"user", "bob@example.com", "insert", "messages", "emlfile", src, "deleted", "false", "addlabel",
                        label});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    GwsMailbox box;
    ASSERT_EQ(Gwssim_Load_Mailbox(sim, "bob@example.com", box), 0);
    ASSERT_EQ(box.labels.size(), 1u) << "the label is made once";
    EXPECT_EQ(box.labels[0].name, label);
    ASSERT_EQ(box.messages.size(), 2u);
    EXPECT_NE(box.messages[0].id, box.messages[1].id);
    for (const auto& m : box.messages) {
        EXPECT_EQ(m.labels, (std::vector<std::string>{box.labels[0].id}));
        // Read in text mode: the CRLF line ends arrive as LF.
        EXPECT_EQ(Slurp(Gwssim_Eml_Path(sim, "bob@example.com", m.id)), "From: a@b.test\nSubject: restored\n\nbody\n");
    }
    Expect_Refused(Gam({"user", "bob@example.com", "insert", "messages", "emlfile", dir + "/none.eml", "deleted",
                        "false", "addlabel", label}),
                   "missing file", kFileError);
}

// GAM reads an EML file as ASCII unless told otherwise: a byte above 127 refuses the file before
// anything is sent; with charset latin1 every byte passes unchanged.
TEST_F(WriteTest, InsertReadsTheFileInTheCharsetNamed) {
    const std::string eight_bit = "From: a@b.test\r\nSubject: R\xe9sum\xc3\xa9 \xff\r\n\r\nna\xefve\r\n";
    const std::string utf8 = "From: a@b.test\r\nSubject: R\xc3\xa9sum\xc3\xa9\r\n\r\nbody\r\n";
    const struct {
        const char* name;
        std::string eml;
        std::vector<std::string> charset;
        int status;
    } cases[] = {
        {"8-bit bytes, no charset", eight_bit, {}, kFileError},
        {"8-bit bytes, ascii", eight_bit, {"charset", "ascii"}, kFileError},
        {"8-bit bytes, latin1", eight_bit, {"charset", "latin1"}, 0},
        {"8-bit bytes, ISO-8859-1", eight_bit, {"charset", "ISO-8859-1"}, 0},
        {"not UTF-8, utf-8", eight_bit, {"charset", "utf-8"}, kFileError},
        {"UTF-8, utf-8", utf8, {"charset", "utf-8"}, 0},
        {"plain ASCII, no charset", "From: a@b.test\r\n\r\nbody\r\n", {}, 0},
    };
    for (const auto& c : cases) {
        std::string src = dir + "/msg.eml";
        Put(src, c.eml);
        GwsMailbox before;
        ASSERT_EQ(Gwssim_Load_Mailbox(sim, "bob@example.com", before), 0);
        std::vector<std::string> args{"user", "bob@example.com", "insert", "messages", "emlfile", src};
        args.insert(args.end(), c.charset.begin(), c.charset.end());
        args.insert(args.end(), {"deleted", "false", "addlabel", "Restored"});
        Result r = Gam(args);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
        GwsMailbox after;
        ASSERT_EQ(Gwssim_Load_Mailbox(sim, "bob@example.com", after), 0);
        if (c.status != 0) {
            EXPECT_EQ(after.messages.size(), before.messages.size()) << c.name << ": nothing inserted";
            EXPECT_NE(r.err.find("ERROR"), std::string::npos) << c.name;
            continue;
        }
        ASSERT_EQ(after.messages.size(), before.messages.size() + 1) << c.name;
        std::string lf = c.eml;
        for (size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
        EXPECT_EQ(Slurp(Gwssim_Eml_Path(sim, "bob@example.com", after.messages.back().id)), lf)
            << c.name << ": stored as read, every other byte unchanged";
    }
}

// Universal newlines: CRLF and a lone CR both become LF, LF stays; the message is dated by its
// Date header, or received now when it has none that parses.
TEST_F(WriteTest, InsertTurnsLineEndsIntoLfAndDatesByTheDateHeader) {
    const long long kNow = -1;
    const struct {
        const char* name;
        std::string eml, stored;
        long long date_ms;
    } cases[] = {
        {"CRLF", "Date: Tue, 5 Mar 2024 10:20:30 +0000\r\nSubject: a\r\n\r\nx\r\ny\r\n",
         "Date: Tue, 5 Mar 2024 10:20:30 +0000\nSubject: a\n\nx\ny\n", 1709634030000LL},
        {"lone CR and mixed", "Date: 5 Mar 2024 11:20:30 +0100\rSubject: b\r\n\nx\r\r\ny\rz",
         "Date: 5 Mar 2024 11:20:30 +0100\nSubject: b\n\nx\n\ny\nz", 1709634030000LL},
        {"LF, zone name, folded", "Subject: c\nDate: Mon, 4 Mar 2024\n 21:20:30 EST\n\nbody\n",
         "Subject: c\nDate: Mon, 4 Mar 2024\n 21:20:30 EST\n\nbody\n", 1709605230000LL},
        {"two-digit year", "Date: 05 Mar 99 10:20 GMT\n\nx\n", "Date: 05 Mar 99 10:20 GMT\n\nx\n", 920629200000LL},
        {"no Date header", "Subject: d\r\n\r\nDate: 1 Jan 2001 00:00:00 +0000\r\n",
         "Subject: d\n\nDate: 1 Jan 2001 00:00:00 +0000\n", kNow},
        {"malformed Date", "Date: yesterday\r\n\r\nx\r\n", "Date: yesterday\n\nx\n", kNow},
    };
    for (const auto& c : cases) {
        std::string src = dir + "/msg.eml";
        Put(src, c.eml);
        long long before = (long long)time(nullptr) * 1000;
        Result r = Gam({"user", "bob@example.com", "insert", "messages", "emlfile", src, "charset", "latin1", "deleted",
                        "false", "addlabel", "Restored"});
        ASSERT_EQ(r.status, 0) << c.name << ": " << r.err;
        GwsMailbox box;
        ASSERT_EQ(Gwssim_Load_Mailbox(sim, "bob@example.com", box), 0);
        const GwsMessage& m = box.messages.back();
        EXPECT_EQ(Slurp(Gwssim_Eml_Path(sim, "bob@example.com", m.id)), c.stored) << c.name;
        if (c.date_ms == kNow) EXPECT_GE(m.internal_date, before) << c.name;
        else EXPECT_EQ(m.internal_date, c.date_ms) << c.name;
    }
}

std::vector<std::pair<std::string, std::string>> Fields_Of(const std::string& sim, const std::string& user,
                                                           const std::string& uid) {
    GwsCalendar cal;
    EXPECT_EQ(Gwssim_Load_Calendar(sim, user, cal), 0);
    for (const auto& e : cal.events) {
        const std::string* u = Gwssim_Event_Field(e, "iCalUID");
        if (u && *u == uid) return e.fields;
    }
    return {};
}

TEST_F(WriteTest, ImportedEventsKeepTheirTextsAndReplaceBySameUid) {
    const std::string uid = "0f8e4c1a-2b3d-4e5f-8a9b-0c1d2e3f4a5b";
    Result r = Gam({"calendar", "alice@example.com", "import", "event", "icaluid", uid, "summary",
                    "it's $(x) 100%, \"q\"", "location", "-Room\nB", "start", "2024-03-05T09:30:00+08:00", "end",
                    "2024-03-05T10:00:00+08:00"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto f = Fields_Of(sim, "alice@example.com", uid);
    std::map<std::string, std::string> m(f.begin(), f.end());
    EXPECT_EQ(m["summary"], "it's $(x) 100%, \"q\"");
    EXPECT_EQ(m["location"], "-Room\nB");
    EXPECT_EQ(m["start.dateTime"], "2024-03-05T09:30:00+08:00");
    EXPECT_EQ(m["end.dateTime"], "2024-03-05T10:00:00+08:00");
    EXPECT_EQ(m["status"], "confirmed");

    r = Gam({"calendar", "alice@example.com", "import", "event", "icaluid", uid, "allday", "2024-03-08", "end",
             "allday", "2024-03-09"});
    ASSERT_EQ(r.status, 0) << r.err;
    GwsCalendar cal;
    ASSERT_EQ(Gwssim_Load_Calendar(sim, "alice@example.com", cal), 0);
    EXPECT_EQ(cal.events.size(), 1u) << "an import with the same iCalUID replaces the event";
    f = Fields_Of(sim, "alice@example.com", uid);
    m = std::map<std::string, std::string>(f.begin(), f.end());
    EXPECT_EQ(m["start.date"], "2024-03-08");
    EXPECT_EQ(m["end.date"], "2024-03-09");
    EXPECT_EQ(m.count("start.dateTime"), 0u);
    EXPECT_EQ(m.count("summary"), 0u);

    // The listing shows it to the backup as it would any event.
    Table t = Parse_Csv(Gam({"calendars", "alice@example.com", "print", "events"}).out);
    ASSERT_EQ(t.rows.size(), 1u);
    EXPECT_EQ(t.rows[0]["iCalUID"], uid);

    const std::vector<std::vector<std::string>> bad = {
        {"summary", "no times"},
        {"start", "2024-03-05T09:30:00Z"},
        {"start", "yesterday", "end", "today"},
        {"allday", "2024-03-08", "end", "2024-03-09T00:00:00Z"},
        // An end before the start: the same instant written in two offsets is not.
        {"start", "2024-03-05T09:30:00+08:00", "end", "2024-03-05T09:29:59+08:00"},
        {"start", "2024-03-05T09:30:00Z", "end", "2024-03-05T10:00:00+01:00"},
        {"allday", "2024-03-08", "end", "allday", "2024-03-07"},
    };
    for (const auto& tail : bad) {
        std::vector<std::string> a{"calendar", "alice@example.com", "import", "event", "icaluid", "other-uid"};
        a.insert(a.end(), tail.begin(), tail.end());
        Expect_Refused(Gam(a), tail[0].c_str());
    }
    EXPECT_TRUE(Fields_Of(sim, "alice@example.com", "other-uid").empty());
    r = Gam({"calendar", "alice@example.com", "import", "event", "icaluid", "other-uid", "start",
             "2024-03-05T09:30:00Z", "end", "2024-03-05T10:30:00+01:00"});
    EXPECT_EQ(r.status, 0) << "an event of no length ends when it starts: " << r.err;
}

TEST_F(WriteTest, CreatedContactsHoldEveryGivenValue) {
    Result r = Gam({"user", "alice@example.com", "create", "contacts", "firstname", "-Mary 'M'", "familyname",
                    "O'Hara $(x)", "phone", "work", "+1 555 0100", "primary", "email", "work", "m@x.test", "primary",
                    "organization", "work", "Partner & Sons, 100%", "title", "Head", "department", "R&D\nLab"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(Gam({"user", "alice@example.com", "create", "contacts"}).status, 0) << "an empty option text";
    GwsContacts c;
    ASSERT_EQ(Gwssim_Load_Contacts(sim, "alice@example.com", c), 0);
    ASSERT_EQ(c.contacts.size(), 2u);
    const GwsContact& p = c.contacts[0];
    EXPECT_EQ(p.given_name, "-Mary 'M'");
    EXPECT_EQ(p.family_name, "O'Hara $(x)");
    ASSERT_EQ(p.phones.size(), 1u);
    EXPECT_EQ(p.phones[0].value, "+1 555 0100");
    EXPECT_EQ(p.phones[0].type, "work");
    ASSERT_EQ(p.emails.size(), 1u);
    EXPECT_EQ(p.emails[0].value, "m@x.test");
    EXPECT_EQ(p.org_name, "Partner & Sons, 100%");
    EXPECT_EQ(p.org_title, "Head");
    EXPECT_EQ(p.org_department, "R&D\nLab");
    EXPECT_EQ(p.resource_name.rfind("people/", 0), 0u);
    EXPECT_TRUE(c.contacts[1].given_name.empty() && c.contacts[1].phones.empty());
    EXPECT_NE(c.contacts[0].resource_name, c.contacts[1].resource_name);
}

// The call log holds the exact argv, so a test of the system can tell a name arrived as one item.
TEST_F(WriteTest, CallLogHoldsTheHostileNameAsOneArgument) {
    New_Id(Gam(Create_Folder("alice@example.com", kHostileName, "f2024")));
    std::string log = Slurp(sim + "/calls.jsonl");
    ASSERT_FALSE(log.empty());
    std::string first = log.substr(0, log.find('\n'));
    json_object* o = json_tokener_parse(first.c_str());
    ASSERT_NE(o, nullptr);
    json_object* argv = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(o, "argv", &argv));
    std::vector<std::string> got;
    for (size_t i = 0; i < json_object_array_length(argv); ++i)
        got.emplace_back(json_object_get_string(json_object_array_get_idx(argv, i)));
    EXPECT_EQ(got, Create_Folder("alice@example.com", kHostileName, "f2024"));
    json_object_put(o);
}

}  // namespace
}  // namespace gamtest
