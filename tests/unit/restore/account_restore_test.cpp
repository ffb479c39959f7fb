// The Calendar and Contacts restores: the command line of one event or contact as the shell reads
// it, the iCalUID of a restored event, and the walk over the accounts' catalogs with its selection,
// its receiving accounts and its resume after a failed attempt.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "common/cmdline.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "dbcontrol/calendar_db.h"
#include "dbcontrol/contact_db.h"
#include "orvenna_task.h"
#include "plat_file.h"
#include "plat_json.h"
#include "restore/account_restore.h"
#include "restore_fixture.h"

namespace {

using restoretest::FakeGam;

// The words a line gives its program, as /bin/sh would pass them; the redirections must be the
// two /dev/null ones.
std::vector<std::string> Words(const std::string& line) {
    qlm::SimpleCommand cmd;
    EXPECT_TRUE(qlm::Parse_Simple_Command(line, cmd)) << line;
    EXPECT_EQ(cmd.redirections.size(), 2u) << line;
    for (const qlm::Redirection& r : cmd.redirections) EXPECT_EQ(r.path, "/dev/null") << line;
    if (cmd.argv.empty()) return {};
    EXPECT_EQ(cmd.argv[0], qlm::Tool_Path("gam"));
    return std::vector<std::string>(cmd.argv.begin() + 1, cmd.argv.end());
}

RAIIful_Json Row(const std::map<std::string, std::string>& fields) {
    RAIIful_Json row(Json_Dict_Init());
    for (const auto& [k, v] : fields) Json_Dict_Add_Str(row.get(), k.c_str(), v.c_str());
    return row;
}

const char kHostile[] = "It's \"final\" $(touch x) `id` 100% ;\nnext | * ~ -x";

TEST(EventUid, IsTheIdFormOfTheRestoreTheAccountAndTheEvent) {
    const std::string m = "3f2a0c1e-0000-4000-8000-000000000001";
    const std::string uid = qlm::Restore_Event_UID(m, "bob@x.org", "L1");
    EXPECT_EQ(uid, "7c7ddbea-99f3-3a71-c647-d7430d149102");  // SHA-1 of "<mission>/<account>/<local id>"
    EXPECT_TRUE(qlm::Is_Id_Form(uid.c_str()));
    EXPECT_EQ(qlm::Restore_Event_UID(m, "bob@x.org", "L1"), uid) << "a repeated attempt imports the same event";
    EXPECT_NE(qlm::Restore_Event_UID("another-mission", "bob@x.org", "L1"), uid) << "a new restore makes new events";
    EXPECT_NE(qlm::Restore_Event_UID(m, "carol@x.org", "L1"), uid);
    EXPECT_NE(qlm::Restore_Event_UID(m, "bob@x.org", "L2"), uid);
}

TEST(EventLine, OptionsFollowTheOrderAndEveryValueIsOneWord) {
    const std::vector<std::string> head = {"calendar", "bob@x.org", "import", "event", "icaluid", "U"};
    struct Case {
        std::map<std::string, std::string> fields;
        std::vector<std::string> options;  // empty: passed over
    } cases[] = {
        {{{"summary", "Team sync"}, {"location", "Room 1"}, {"start.dateTime", "2024-03-11T09:00:00+08:00"},
          {"end.dateTime", "2024-03-11T10:00:00+08:00"}},
         {"summary", "Team sync", "location", "Room 1", "start", "2024-03-11T09:00:00+08:00", "end",
          "2024-03-11T10:00:00+08:00"}},
        // Dates win over date-times; the end date is passed as stored (exclusive).
        {{{"summary", "Holiday"}, {"start.date", "2024-04-04"}, {"end.date", "2024-04-05"},
          {"start.dateTime", "2024-04-04T00:00:00Z"}, {"end.dateTime", "2024-04-05T00:00:00Z"}},
         {"summary", "Holiday", "allday", "2024-04-04", "end", "allday", "2024-04-05"}},
        {{{"start.dateTime", "2024-03-11T09:00:00Z"}, {"end.dateTime", "2024-03-11T09:00:00Z"}},
         {"start", "2024-03-11T09:00:00Z", "end", "2024-03-11T09:00:00Z"}},
        {{{"summary", kHostile}, {"location", "-'q'\n"}, {"start.date", "2024-04-04"}, {"end.date", "2024-04-05"}},
         {"summary", kHostile, "location", "-'q'\n", "allday", "2024-04-04", "end", "allday", "2024-04-05"}},
        // Neither both dates nor both date-times.
        {{{"summary", "Half"}, {"start.dateTime", "2024-03-11T09:00:00Z"}, {"end.date", "2024-03-12"}}, {}},
        {{{"summary", "None"}}, {}},
    };
    for (const Case& c : cases) {
        RAIIful_Json row = Row(c.fields);
        const std::string options = qlm::Calendar_Event_Options(row.get());
        if (c.options.empty()) {
            EXPECT_EQ(options, "");
            continue;
        }
        std::vector<std::string> want = head;
        want.insert(want.end(), c.options.begin(), c.options.end());
        EXPECT_EQ(Words(qlm::Calendar_Import_Line("bob@x.org", "U", options)), want);
    }
}

TEST(ContactLine, OptionsFollowTheOrderAndEveryValueIsOneWord) {
    const std::vector<std::string> head = {"user", "o'brien@x.org", "create", "contacts"};
    struct Case {
        std::map<std::string, std::string> fields;
        std::vector<std::string> options;
    } cases[] = {
        {{{"names.0.givenName", kHostile},
          {"names.0.familyName", "O'Neil"},
          {"phoneNumbers.0.value", "+1 555 0100"},
          {"emailAddresses.0.value", "o'neil&co@example.test"},
          {"organizations.0.name", "Acme; rm -rf /"},
          {"organizations.0.title", "-Boss"},
          {"organizations.0.department", "R&D\nLab"}},
         {"firstname", kHostile, "familyname", "O'Neil", "phone", "work", "+1 555 0100", "primary", "email", "work",
          "o'neil&co@example.test", "primary", "organization", "work", "Acme; rm -rf /", "title", "-Boss",
          "department", "R&D\nLab"}},
        {{{"names.0.givenName", "Ann"}, {"organizations.0.name", "Org"}, {"organizations.0.department", "Dept"}},
         {"firstname", "Ann", "organization", "work", "Org", "department", "Dept"}},
        // A title or department without an organization name is not restored.
        {{{"names.0.familyName", "Lee"}, {"organizations.0.title", "CTO"}, {"organizations.0.department", "D"}},
         {"familyname", "Lee"}},
        // A contact without any of the values is still created, empty.
        {{{"names.0.displayName", "Shown only"}}, {}},
    };
    for (const Case& c : cases) {
        RAIIful_Json row = Row(c.fields);
        std::vector<std::string> want = head;
        want.insert(want.end(), c.options.begin(), c.options.end());
        EXPECT_EQ(Words(qlm::Contact_Create_Line("o'brien@x.org", row.get())), want);
    }
}

// Two accounts' catalogs of a task, and the restore calls of one mission.
struct AccountWalk : FakeGam {
    GWSTask task;
    void SetUp() override {
        FakeGam::SetUp();
        task.Set_Task_ID("t1");
        task.Set_Admin_Email("admin@x.org");
        Write_Record(R"({"calendar_current": 0, "contact_current": 0, "backup_current": 0})");
    }
    static void Contacts(const char* user, const std::vector<std::string>& names) {
        std::map<std::string, ContactData> m;
        for (const std::string& n : names) m["L" + n].strNames_0_GivenName = n;
        for (auto& [id, c] : m) c.strLocalID = id;
        ASSERT_EQ(Contact_Write_DB(m, user, "t1"), 0);
    }
    // Each name an event of one hour; "-" before a name leaves it without an end.
    static void Events(const char* user, const std::vector<std::string>& names) {
        std::map<std::string, CalendarData> m;
        for (const std::string& n : names) {
            CalendarData& e = m["id-" + n];
            e.strLocalID = "L" + n;
            e.strSummary = n;
            e.strStartDateTime = "2024-03-11T09:00:00Z";
            if (n[0] != '-') e.strEndDateTime = "2024-03-11T10:00:00Z";
        }
        ASSERT_EQ(Calendar_Write_DB(m, user, "t1"), 0);
    }
    // (account, given name or summary) of every call since the last Install.
    std::vector<std::pair<std::string, std::string>> Made() {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& call : Calls()) {
            const bool bEvent = call[0] == "calendar";
            out.emplace_back(call[1], call.size() > (bEvent ? 7u : 5u) ? call[bEvent ? 7 : 5] : "");
        }
        return out;
    }
    RAIIful_Json List(const std::vector<std::string>& ids) {
        RAIIful_Json list(Json_List_Init());
        for (const std::string& id : ids) Json_List_Add_Str(list.get(), id.c_str());
        return list;
    }
};

TEST_F(AccountWalk, ContactsMadeBeforeAFailedAttemptAreNotMadeAgain) {
    Contacts("alice@x.org", {"a1", "a2", "a3"});
    Install("n=$(grep -c '^$' '" + dir.path() + "/gam.log'); [ \"$n\" -eq 2 ] && exit 1; exit 0");
    EXPECT_EQ(Restore_Contact(&task, "alice@x.org", "carol@x.org", nullptr, mission, 1, nullptr), -161);
    using Made_t = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(Made(), (Made_t{{"carol@x.org", "a3"}, {"carol@x.org", "a2"}}));  // newest first
    // The wrapper zeroes the counters before the next attempt; the journal raises them again.
    Write_Record(R"({"contact_current": 0, "backup_current": 0})");
    EXPECT_EQ(Restore_Contact(&task, "alice@x.org", "carol@x.org", nullptr, mission, 1, nullptr), 0);
    EXPECT_EQ(Made(), (Made_t{{"carol@x.org", "a3"}, {"carol@x.org", "a2"}, {"carol@x.org", "a2"},
                              {"carol@x.org", "a1"}}));
    EXPECT_EQ(Record_Int(qlm::kKeyContactCurrent), 3);
    EXPECT_EQ(Record_Int(qlm::kKeyBackupCurrent), 3);
}

TEST_F(AccountWalk, ModesChooseTheAccountsRowsAndReceivingAccounts) {
    Contacts("alice@x.org", {"a1", "a2"});
    Contacts("bob@x.org", {"b1"});
    using Made_t = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        const char* source;
        const char* target;
        std::vector<std::string> selection;  // mode 0 only
        int mode;
        Made_t made;
    } cases[] = {
        {"alice@x.org", nullptr, {}, 1, {{"alice@x.org", "a2"}, {"alice@x.org", "a1"}}},
        {"alice@x.org", "", {}, 1, {{"alice@x.org", "a2"}, {"alice@x.org", "a1"}}},
        {"bob@x.org", "carol@x.org", {}, 1, {{"carol@x.org", "b1"}}},
        {"nobody@x.org", "carol@x.org", {}, 1, {}},  // no catalog: nothing, and done
        {"alice@x.org", "carol@x.org", {}, 2, {{"alice@x.org", "a2"}, {"alice@x.org", "a1"}, {"bob@x.org", "b1"}}},
        {"alice@x.org", nullptr, {"La1", "Lb1", "Lnone"}, 0, {{"alice@x.org", "a1"}, {"bob@x.org", "b1"}}},
        {"alice@x.org", "carol@x.org", {"Lb1"}, 0, {{"carol@x.org", "b1"}}},
        {"alice@x.org", nullptr, {}, 0, {}},
        {"alice@x.org", nullptr, {}, 7, {}},
    };
    for (const Case& c : cases) {
        Install("exit 0");
        unlink(log.c_str());
        unlink(qlm::Restore_Journal_Path(mission).c_str());  // each case a new restore
        RAIIful_Json list = List(c.selection);
        EXPECT_EQ(Restore_Contact(&task, c.source, c.target, c.mode == 0 ? list.get() : nullptr, mission, c.mode,
                                  nullptr),
                  0);
        Made_t made = Made();
        std::sort(made.begin(), made.end());
        Made_t want = c.made;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(made, want) << c.source << " mode " << c.mode;
    }
}

TEST_F(AccountWalk, EventsKeepTheirUidAcrossAttemptsAndEventsWithoutAnEndArePassedOver) {
    Events("alice@x.org", {"e1", "-open", "e2"});
    Install("exit 0");
    EXPECT_EQ(Restore_Calendar(&task, "alice@x.org", "bob@x.org", nullptr, mission, 1, nullptr), 0);
    EXPECT_EQ(Restore_Calendar(&task, "alice@x.org", "bob@x.org", nullptr, mission, 1, nullptr), 0);
    auto calls = Calls();
    ASSERT_EQ(calls.size(), 4u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(calls[i][5], calls[i + 2][5]) << "the second attempt imports the same events";
        EXPECT_EQ(calls[i][5], qlm::Restore_Event_UID("m1", "bob@x.org", "L" + calls[i][7]));
    }
    EXPECT_NE(calls[0][5], calls[1][5]);
    EXPECT_EQ(Record_Int(qlm::kKeyCalendarCurrent), 2);
}

TEST_F(AccountWalk, AnUnreadableCatalogFailsASelectionOfContactsButNotOfEvents) {
    Contacts("alice@x.org", {"a1"});
    Events("alice@x.org", {"e1"});
    for (const char* service : {"contact_db", "calendar_db"})
        plattest::Write_File(qlm::Backup_Service_Dir(service) + "/t1/broken@x.org.db",
                             std::string(4096, 'x'));
    Install("exit 0");
    RAIIful_Json contacts = List({"La1"}), events = List({"Le1"});
    const int rc = Restore_Contact(&task, "alice@x.org", nullptr, contacts.get(), mission, 0, nullptr);
    EXPECT_EQ(Restore_Calendar(&task, "alice@x.org", nullptr, events.get(), mission, 0, nullptr), 0);
    EXPECT_EQ(rc, -161);
    // Whole accounts fail on it either way.
    EXPECT_EQ(Restore_Calendar(&task, "broken@x.org", nullptr, nullptr, mission, 1, nullptr), -161);
    EXPECT_EQ(Restore_Calendar(&task, "alice@x.org", nullptr, nullptr, mission, 2, nullptr), -161);
    bool bEvent = false;
    for (const auto& call : Calls()) bEvent = bEvent || (call[0] == "calendar" && call[7] == "e1");
    EXPECT_TRUE(bEvent);
}

}  // namespace
