// scoutix, lettrix and tallyx as the system calls them, on the demo domain.
#include "gwssim_fixture.h"

#include <algorithm>
#include <functional>

using gwstest::DomainTest;
using gwstest::Exists;
using gwstest::Read;
using gwstest::Result;

namespace {

GwsJson Parse(const std::string& text) { return Gwssim_Json_Parse(text); }

bool Pass_Of(const Result& r) {
    GwsJson o = Parse(r.out);
    return o && Gwssim_Json_Bool(o.get(), "is_pass", false);
}

}  // namespace

TEST_F(DomainTest, ScoutixChecksFollowTheKeysGrants) {
    std::string partial = Key("drive,gmail");
    std::string none = Key("");
    struct {
        const char* option;
        bool partial;
    } cases[] = {{"-check_drive", true}, {"-check_gmail", true}, {"-check_contacts", false}, {"-check_calendar", false}};
    for (const auto& c : cases) {
        Result r = Run({SCOUTIX_BIN, c.option, partial, "admin@example.test"});
        EXPECT_EQ(r.status, 0) << c.option << r.err;
        ASSERT_TRUE(Parse(r.out)) << r.out;
        EXPECT_EQ(Pass_Of(r), c.partial) << c.option;
        // Checks act as any user of the domain, not only an administrator.
        EXPECT_EQ(Pass_Of(Run({SCOUTIX_BIN, c.option, partial, "alice@example.test"})), c.partial);
        Result n = Run({SCOUTIX_BIN, c.option, none, "admin@example.test"});
        EXPECT_EQ(n.status, 0);
        EXPECT_FALSE(Pass_Of(n));
        EXPECT_TRUE(Parse(n.out));
    }
}

TEST_F(DomainTest, ScoutixRefusesKeysAndAccountsItCannotUse) {
    std::string good = Key("drive,gmail,calendar,contacts");
    std::string revoked = Key("drive,gmail,calendar,contacts", {"--disabled"});
    std::string foreign = Key("drive,gmail,calendar,contacts", {"--domain", "elsewhere.test"});
    std::string not_a_key = dir + "/plain.json";
    ASSERT_EQ(Gwssim_Write_File(not_a_key, "{\"hello\": \"world\"}\n"), 0);
    std::string unknown = dir + "/unknown.json";
    ASSERT_EQ(Gwssim_Write_File(unknown, "{\"type\": \"service_account\", \"private_key_id\": \"0123456789\"}"), 0);
    // The copy the system hands over carries members of its own; the key stays the same key.
    std::string copy = dir + "/copy.json";
    GwsJson k = Gwssim_Json_Parse(Read(good));
    json_object_object_add(k.get(), "us_scopes", json_object_new_object());
    ASSERT_EQ(Gwssim_Write_File(copy, Gwssim_Json_Text(k.get())), 0);

    struct {
        std::string key, admin;
        int status;
    } cases[] = {
        {revoked, "admin@example.test", 1},        {foreign, "admin@example.test", 1},
        {not_a_key, "admin@example.test", 1},      {unknown, "admin@example.test", 1},
        {dir + "/missing.json", "admin@example.test", 1},
        {good, "admin@elsewhere.test", 1},         {good, "-admin@example.test", 1},
        {copy, "admin@example.test", 0},
    };
    for (const auto& c : cases) {
        for (const char* option : {"-check_drive", "-info", "-shared"}) {
            Result r = Run({SCOUTIX_BIN, option, c.key, c.admin});
            EXPECT_EQ(r.status, c.status) << option << " " << c.key << " " << c.admin;
            if (c.status != 0) {
                EXPECT_EQ(r.out, "") << option << " " << c.key;
                EXPECT_NE(r.err.find("ERROR: "), std::string::npos);
            }
        }
    }
    // The listings are an administrator's; a user's own check is not.
    EXPECT_EQ(Run({SCOUTIX_BIN, "-info", good, "alice@example.test"}).out, "");
    EXPECT_EQ(Run({SCOUTIX_BIN, "-info", good, "alice@example.test"}).status, 1);
    EXPECT_EQ(Run({SCOUTIX_BIN, "-shared", Key("gmail"), "admin@example.test"}).status, 1);

    for (std::vector<std::string> bad : {std::vector<std::string>{SCOUTIX_BIN, "-check_drive", good},
                                         {SCOUTIX_BIN, "-check_everything", good, "admin@example.test"},
                                         {SCOUTIX_BIN, "-info", good, "admin@example.test", "extra"}}) {
        Result r = Run(bad);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(DomainTest, ASecondDomainBesideTheFirstAnswersItsOwnKeys) {
    const std::string second = root + "/domains/second.test";
    Result init = Run({GWSSIM_CLI, "init", second, "--domain", "second.test", "--seed", "7"});
    ASSERT_EQ(init.status, 0) << init.err;
    const std::string first_key = Key("drive,gmail,calendar,contacts");
    const std::string second_key = dir + "/second.json";
    ASSERT_EQ(Run({GWSSIM_CLI, "key", second, "--grant", "drive", "--out", second_key}).status, 0);

    EXPECT_EQ(Gwssim_Key_Root(root, first_key), root);
    EXPECT_EQ(Gwssim_Key_Root(root, second_key), second);
    EXPECT_EQ(Gwssim_Key_Root(root, dir + "/missing.json"), root);
    // Each key lists its own domain's people; neither key acts in the other's domain.
    auto info = [&](const std::string& key, const std::string& admin) {
        Result r = Run({SCOUTIX_BIN, "-info", key, admin});
        GwsJson o = Parse(r.out);
        return std::make_pair(r.status, o ? Gwssim_Json_Text(o.get()) : r.err);
    };
    auto [status_b, text_b] = info(second_key, "admin@second.test");
    EXPECT_EQ(status_b, 0) << text_b;
    EXPECT_NE(text_b.find("alice@second.test"), std::string::npos);
    EXPECT_EQ(text_b.find("@example.test"), std::string::npos);
    auto [status_a, text_a] = info(first_key, "admin@example.test");
    EXPECT_EQ(status_a, 0) << text_a;
    EXPECT_EQ(text_a.find("@second.test"), std::string::npos);
    EXPECT_EQ(info(second_key, "admin@example.test").first, 1);
    EXPECT_EQ(info(first_key, "admin@second.test").first, 1);
    // A domain name is one path component.
    EXPECT_EQ(Run({GWSSIM_CLI, "init", dir + "/x", "--domain", "a/b"}).status, 2);
}

TEST_F(DomainTest, ScoutixListingsHaveTheKeysTheCallersRead) {
    std::string key = Key("drive,gmail,calendar,contacts");
    GwsDomain dom;
    ASSERT_EQ(Gwssim_Load_Domain(root, dom), 0);

    Result info = Run({SCOUTIX_BIN, "-info", key, "admin@example.test"});
    ASSERT_EQ(info.status, 0) << info.err;
    GwsJson o = Parse(info.out);
    ASSERT_TRUE(o);
    json_object* users = Gwssim_Json_Array(o.get(), "user_list");
    ASSERT_NE(users, nullptr);
    ASSERT_EQ(json_object_array_length(users), dom.users.size());
    for (size_t i = 0; i < dom.users.size(); ++i) {
        json_object* e = json_object_array_get_idx(users, i);
        EXPECT_EQ(Gwssim_Json_Str(e, "iD"), dom.users[i].id);
        EXPECT_EQ(Gwssim_Json_Str(e, "Email"), dom.users[i].email);
        EXPECT_EQ(json_object_object_length(e), 2);
    }
    EXPECT_EQ(Gwssim_Json_Str_List(o.get(), "domain_list"), dom.domains);
    EXPECT_EQ(Gwssim_Json_Str(o.get(), "customer_id"), dom.customer_id);

    Result shared = Run({SCOUTIX_BIN, "-shared", key, "admin@example.test"});
    ASSERT_EQ(shared.status, 0) << shared.err;
    GwsJson s = Parse(shared.out);
    json_object* list = Gwssim_Json_Array(s.get(), "shared_drive_list");
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(json_object_array_length(list), dom.shared_drives.size());
    for (size_t i = 0; i < dom.shared_drives.size(); ++i) {
        json_object* e = json_object_array_get_idx(list, i);
        EXPECT_EQ(Gwssim_Json_Str(e, "id"), dom.shared_drives[i].id);
        EXPECT_EQ(Gwssim_Json_Str(e, "shared_drive_name"), dom.shared_drives[i].name);
    }
}

class LettrixTest : public DomainTest {
protected:
    void SetUp() override {
        DomainTest::SetUp();
        key = Key("gmail");
        output = dir + "/listing.csv";
        ASSERT_EQ(Gwssim_Load_Mailbox(root, "alice@example.test", box), 0);
    }
    Result List(const std::string& user, const std::vector<std::string>& more) {
        std::vector<std::string> argv = {LETTRIX_BIN, "--service-account-file", key, "--impersonate-user", user,
                                         "--output", output};
        argv.insert(argv.end(), more.begin(), more.end());
        return Run(argv);
    }
    // The ids that pass, newest first, as the listing must give them.
    std::string Expected(const std::function<bool(const GwsMessage&)>& pass) {
        std::vector<const GwsMessage*> v;
        for (const auto& m : box.messages)
            if (pass(m)) v.push_back(&m);
        std::sort(v.begin(), v.end(), [](const GwsMessage* a, const GwsMessage* b) {
            return a->internal_date != b->internal_date ? a->internal_date > b->internal_date : a->id < b->id;
        });
        std::string csv = "id,threadId\n";
        for (const auto* m : v) csv += m->id + "," + m->thread_id + "\n";
        return csv;
    }
    std::string key, output;
    GwsMailbox box;
};

TEST_F(LettrixTest, ListsWhatTheQueryAsksInAStableOrder) {
    auto has = [](const char* l) { return [l](const GwsMessage& m) { return Gwssim_Has_Label(m, l); }; };
    auto clean = [](const GwsMessage& m) { return !Gwssim_Has_Label(m, "SPAM") && !Gwssim_Has_Label(m, "TRASH"); };
    std::vector<long long> dates;
    for (const auto& m : box.messages) dates.push_back(m.internal_date);
    std::sort(dates.begin(), dates.end());
    long long mid = dates[dates.size() / 2];
    time_t mid_day_s = (time_t)(mid / 1000) / 86400 * 86400;
    struct tm tmv;
    gmtime_r(&mid_day_s, &tmv);
    char day[16];
    strftime(day, sizeof day, "%Y/%m/%d", &tmv);
    long long day_ms = (long long)mid_day_s * 1000;

    struct Case {
        std::vector<std::string> args;
        std::function<bool(const GwsMessage&)> pass;
    };
    std::vector<Case> cases = {
        {{"--include-spam-trash"}, [](const GwsMessage&) { return true; }},
        {{}, clean},
        {{"--include-spam-trash", "--query", "is:starred"}, has("STARRED")},
        {{"--include-spam-trash", "--query", "is:important"}, has("IMPORTANT")},
        {{"--include-spam-trash", "--query", "in:sent"}, has("SENT")},
        {{"--include-spam-trash", "--query", "in:draft"}, has("DRAFT")},
        {{"--include-spam-trash", "--query", "in:trash"}, has("TRASH")},
        {{"--query", "in:spam"}, has("SPAM")},
        {{"--include-spam-trash", "--query", "label:Receipts"},
         [&](const GwsMessage& m) { return Gwssim_Has_Label(m, box.labels[0].id); }},
        {{"--include-spam-trash", "--query", std::string("after:") + day},
         [&](const GwsMessage& m) { return m.internal_date >= day_ms; }},
        {{"--include-spam-trash", "--query", std::string("before:") + day + " -in:sent"},
         [&](const GwsMessage& m) { return m.internal_date < day_ms && !Gwssim_Has_Label(m, "SENT"); }},
    };
    for (const auto& c : cases) {
        std::string what = c.args.empty() ? "(none)" : c.args.back();
        Result r = List("alice@example.test", c.args);
        EXPECT_EQ(r.status, 0) << what << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(Read(output), Expected(c.pass)) << what;
    }
    // Every label query finds something in the demo mailbox, or the cases above prove little.
    for (const char* q : {"is:starred", "is:important", "in:sent", "in:draft", "in:trash"}) {
        List("alice@example.test", {"--include-spam-trash", "--query", q});
        std::string listing = Read(output);
        EXPECT_GT(std::count(listing.begin(), listing.end(), '\n'), 1) << q;
    }
}

TEST_F(LettrixTest, FailuresLeaveNoListingBehind) {
    struct {
        std::string user;
        std::vector<std::string> args;
        std::string key;
        int status;
    } cases[] = {
        {"alice@example.test", {"--query", "has:attachment"}, "", 2},   // outside the subset
        {"alice@example.test", {"--query", "after:2024/13/01"}, "", 2},
        {"nobody@example.test", {}, "", 1},
        {"--output", {}, "", 1},                                        // a value, not an option
        {"alice@example.test", {}, "drive", 1},                         // no gmail grant
        {"alice@example.test", {"--query"}, "", 2},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Gwssim_Write_File(output, "id\nstale\n"), 0);
        std::string saved = key;
        if (!c.key.empty()) key = Key(c.key);
        Result r = List(c.user, c.args);
        key = saved;
        EXPECT_EQ(r.status, c.status) << c.user;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(Exists(output)) << c.user;
    }
}

class TallyxTest : public DomainTest {
protected:
    long long Usage(const std::string& email) {
        GwsDrive d;
        Gwssim_Load_Drive(root, email, d);
        long long total = 0;
        for (const auto& it : d.items)
            if (!it.trashed && it.size > 0) total += it.size;
        return total;
    }
};

TEST_F(TallyxTest, OrdersEntriesBySmallestDriveFirstAndKeepsThemWhole) {
    std::string key = Key("drive");
    std::string in = dir + "/in.json", out = dir + "/out.json";
    // Two entries of one user tie, as do the two unknown ones; ties keep the input order.
    std::string input =
        "[{\"iD\":\"1\",\"Email\":\"alice@example.test\",\"extra\":[1,2]},"
        "{\"iD\":\"2\",\"Email\":\"bob@example.test\"},"
        "{\"Email\":\"ghost@example.test\",\"n\":1},"
        "{\"iD\":\"3\",\"Email\":\"admin@example.test\"},"
        "{\"email\":\"o'brien@example.test\"},"
        "{\"iD\":\"4\",\"Email\":\"bob@example.test\",\"second\":true},"
        "{\"Email\":\"ghost@example.test\",\"n\":2}]";
    ASSERT_EQ(Gwssim_Write_File(in, input), 0);
    Result r = Run({TALLYX_BIN, "-k", key, "-f", in, "-o", out, "--asc"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    GwsJson src = Gwssim_Json_Parse(input), got = Gwssim_Json_Parse(Read(out));
    ASSERT_TRUE(got);
    ASSERT_TRUE(json_object_is_type(got.get(), json_type_array));
    ASSERT_EQ(json_object_array_length(got.get()), json_object_array_length(src.get()));
    std::vector<std::pair<long long, std::string>> expected;
    for (size_t i = 0; i < json_object_array_length(src.get()); ++i) {
        json_object* e = json_object_array_get_idx(src.get(), i);
        std::string email = Gwssim_Json_Str(e, "Email");
        if (email.empty()) email = Gwssim_Json_Str(e, "email");
        expected.emplace_back(email == "ghost@example.test" ? 0 : Usage(email), Gwssim_Json_Text(e));
    }
    std::stable_sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(Gwssim_Json_Text(json_object_array_get_idx(got.get(), i)), expected[i].second) << i;
    // The unknown users come first: the sort happened, and kept their order.
    EXPECT_EQ(Gwssim_Json_Int(json_object_array_get_idx(got.get(), 0), "n", 0), 1);
    EXPECT_EQ(Gwssim_Json_Int(json_object_array_get_idx(got.get(), 1), "n", 0), 2);
    EXPECT_NE(Usage("alice@example.test"), Usage("bob@example.test"));
}

TEST_F(TallyxTest, FailuresLeaveNoOutput) {
    std::string key = Key("drive");
    std::string out = dir + "/out.json";
    std::string not_list = dir + "/obj.json", broken = dir + "/broken.json", good = dir + "/good.json";
    ASSERT_EQ(Gwssim_Write_File(not_list, "{\"user_list\": []}"), 0);
    ASSERT_EQ(Gwssim_Write_File(broken, "[{\"Email\": "), 0);
    ASSERT_EQ(Gwssim_Write_File(good, "[]"), 0);
    std::string gmail_only = Key("gmail");
    struct {
        std::vector<std::string> argv;
        int status;
    } cases[] = {
        {{TALLYX_BIN, "-k", key, "-f", not_list, "-o", out, "--asc"}, 1},
        {{TALLYX_BIN, "-k", key, "-f", broken, "-o", out, "--asc"}, 1},
        {{TALLYX_BIN, "-k", key, "-f", dir + "/missing", "-o", out, "--asc"}, 1},
        {{TALLYX_BIN, "-k", gmail_only, "-f", good, "-o", out, "--asc"}, 1},
        {{TALLYX_BIN, "-k", key, "-f", good, "-o", out, "--sideways"}, 2},
        {{TALLYX_BIN, "-k", key, "-f", good, "-o", out, "--asc", "--desc"}, 2},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Gwssim_Write_File(out, "[\"stale\"]"), 0);
        Result r = Run(c.argv);
        EXPECT_EQ(r.status, c.status) << c.argv.back();
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(Exists(out)) << c.argv.back();
    }
    Result ok = Run({TALLYX_BIN, "-k", key, "-f", good, "-o", out, "--asc"});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(Read(out), "[]\n");
}
