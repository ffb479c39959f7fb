// Calendar and Contacts backups against the stand-in tools and a simulated domain of three users,
// under a freshly staged test root per test.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "../staged_root.h"
#include "backup/backup_service.h"
#include "common/timeconv.h"
#include "dbcontrol/calendar_db.h"
#include "dbcontrol/catalog_common.h"
#include "dbcontrol/contact_db.h"
#include "plat_lock.h"

namespace fs = std::filesystem;
using plattest::Read_File;
using plattest::Write_File;

namespace {

constexpr const char* kAlice = "alice@example.test";
constexpr const char* kBob = "bob@example.test";

using Row = std::map<std::string, std::string>;
using Json_Ptr = std::unique_ptr<json_object, decltype(&json_object_put)>;

Json_Ptr Parse(const std::string& text) { return Json_Ptr(json_tokener_parse(text.c_str()), json_object_put); }

std::string Str(json_object* o, const char* key) {
    json_object* v = nullptr;
    return json_object_object_get_ex(o, key, &v) && v ? json_object_get_string(v) : "";
}

std::vector<std::string> Str_List(json_object* o, const char* key) {
    std::vector<std::string> out;
    json_object* a = nullptr;
    if (!json_object_object_get_ex(o, key, &a)) return out;
    for (size_t i = 0; i < json_object_array_length(a); ++i)
        out.push_back(json_object_get_string(json_object_array_get_idx(a, i)));
    return out;
}

// Every row of a catalog table with every column, as texts ("" when there is no file).
std::vector<Row> Table_Rows(const std::string& file, const char* table) {
    std::vector<Row> rows;
    if (!fs::exists(file)) return rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        ADD_FAILURE() << "cannot open " << file;
        return rows;
    }
    sqlite3_stmt* st = nullptr;
    const std::string sql = std::string("SELECT * FROM ") + table + " ORDER BY id;";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            Row r;
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                const unsigned char* v = sqlite3_column_text(st, c);
                r[sqlite3_column_name(st, c)] = v ? reinterpret_cast<const char*>(v) : "";
            }
            rows.push_back(std::move(r));
        }
    } else {
        ADD_FAILURE() << "no table " << table << " in " << file << ": " << sqlite3_errmsg(db);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

// A Google time as GAM prints it: the fraction of a second dropped.
std::string Without_Fraction(const std::string& time) {
    static const std::regex fraction(R"(^(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2})\.\d+)");
    return std::regex_replace(time, fraction, "$1");
}

class SnapshotBackup : public stagedtest::StagedRoot {
protected:
    void SetUp() override { Stage("--users 3 --events 3 --contacts 2 --files 1 --messages 1 --shared-drives 0"); }

    std::string File(qlm::catalog::Kind kind, const std::string& user) const {
        return qlm::catalog::Catalog_File(kind, user.c_str(), task.c_str());
    }
    std::string Calendar_File(const std::string& user) const { return File(qlm::catalog::Kind::Calendar, user); }
    std::string Contact_File(const std::string& user) const { return File(qlm::catalog::Kind::Contact, user); }
    std::string Group_File(const std::string& user) const { return File(qlm::catalog::Kind::GroupContact, user); }
    std::vector<Row> Events(const std::string& user) { return Table_Rows(Calendar_File(user), "calendar_sql_database"); }
    std::vector<Row> Contacts(const std::string& user) { return Table_Rows(Contact_File(user), "contact_sql_database"); }
    std::vector<Row> Groups(const std::string& user) {
        return Table_Rows(Group_File(user), "group_contact_sql_database");
    }

    int Calendar() { return Backup_Calendar(&t, mission, "admin", db); }
    int Contact() { return Backup_Contact(&t, mission, "admin", db); }

    std::vector<Json_Ptr> Dump(const char* what) {
        std::vector<Json_Ptr> out;
        std::istringstream in(stagedtest::Run_Out(Gwssim() + " dump " + sim + " --ids --what " + what));
        for (std::string line; std::getline(in, line);) out.push_back(Parse(line));
        return out;
    }
    std::set<std::string> Users() {
        std::set<std::string> users;
        for (auto& d : Dump("calendar")) users.insert(Str(d.get(), "user"));
        return users;
    }

    // Each user's calendar catalog holds exactly the listed events of the domain, field by field.
    void Expect_Calendars_Match_Domain() {
        std::map<std::string, std::map<std::string, Row>> expected;  // user -> event id -> fields
        for (auto& d : Dump("calendar")) {
            json_object* f = nullptr;
            ASSERT_TRUE(json_object_object_get_ex(d.get(), "fields", &f));
            Row fields;
            json_object_object_foreach(f, k, v) fields[k] = json_object_get_string(v);
            if (fields["status"] == "cancelled") continue;  // Google does not list them
            expected[Str(d.get(), "user")][fields["id"]] = fields;
        }
        ASSERT_FALSE(expected.empty());
        for (const auto& [user, events] : expected) {
            SCOPED_TRACE(user);
            const std::vector<Row> rows = Events(user);
            ASSERT_EQ(rows.size(), events.size());
            for (const Row& r : rows) {
                auto e = events.find(r.at("calendarId"));
                ASSERT_NE(e, events.end()) << r.at("calendarId");
                const Row& fields = e->second;
                EXPECT_EQ(r.at("log_id"), fields.at("id"));
                EXPECT_FALSE(r.at("localid").empty());
                for (const auto& [column, value] : r) {
                    if (column == "id" || column == "localid" || column == "calendarId" || column == "log_id" ||
                        column.find("timestamp") != std::string::npos)
                        continue;
                    std::string key = column;
                    for (char& c : key)
                        if (c == '_') c = '.';
                    auto want = fields.find(key);
                    std::string expected = want == fields.end() ? "" : want->second;
                    if (key == "created" || key == "updated" || key.find("dateTime") != std::string::npos)
                        expected = Without_Fraction(expected);
                    EXPECT_EQ(value, expected) << column;
                }
                auto time = [&](const char* dt, const char* d) {
                    auto f = fields.find(dt);
                    if (f == fields.end()) f = fields.find(d);
                    return f == fields.end() ? 0 : calendar_parse_iso8601(f->second);
                };
                EXPECT_EQ(std::stoll(r.at("start_timestamp")), time("start.dateTime", "start.date"));
                EXPECT_EQ(std::stoll(r.at("end_timestamp")), time("end.dateTime", "end.date"));
            }
        }
    }

    // Each user's group and contact catalogs hold exactly the domain's groups and contacts.
    void Expect_Contacts_Match_Domain() {
        std::map<std::string, std::map<std::string, json_object*>> groups, contacts;
        std::vector<Json_Ptr> dump = Dump("contacts");
        for (auto& d : dump) {
            const std::string what = Str(d.get(), "what");
            if (what == "contact_group") groups[Str(d.get(), "user")][Str(d.get(), "resourceName")] = d.get();
            if (what == "contact") contacts[Str(d.get(), "user")][Str(d.get(), "resourceName")] = d.get();
        }
        ASSERT_FALSE(contacts.empty());
        for (const auto& [user, want] : groups) {
            SCOPED_TRACE(user);
            const std::vector<Row> rows = Groups(user);
            ASSERT_EQ(rows.size(), want.size());
            for (const Row& r : rows) {
                auto g = want.find(r.at("resourceName"));
                ASSERT_NE(g, want.end()) << r.at("resourceName");
                EXPECT_EQ(r.at("User"), user);
                EXPECT_EQ(r.at("name"), Str(g->second, "name"));
                EXPECT_EQ(r.at("formattedName"), Str(g->second, "formattedName"));
                EXPECT_EQ(r.at("groupType"), Str(g->second, "groupType"));
                EXPECT_EQ(r.at("memberCount"), Str(g->second, "memberCount"));
            }
        }
        for (const auto& [user, want] : contacts) {
            SCOPED_TRACE(user);
            const std::vector<Row> rows = Contacts(user);
            ASSERT_EQ(rows.size(), want.size()) << "other contacts are not kept";
            for (const Row& r : rows) {
                auto c = want.find(r.at("resourceName"));
                ASSERT_NE(c, want.end()) << r.at("resourceName");
                json_object* o = c->second;
                EXPECT_EQ(r.at("User"), user);
                EXPECT_EQ(r.at("names_0_givenName"), Str(o, "givenName"));
                EXPECT_EQ(r.at("names_0_familyName"), Str(o, "familyName"));
                if (!Str(o, "displayName").empty()) {
                    EXPECT_EQ(r.at("names_0_displayName"), Str(o, "displayName"));
                }
                for (auto [list, prefix] : {std::pair{"emails", "emailAddresses"}, std::pair{"phones", "phoneNumbers"}}) {
                    const std::vector<std::string> values = Str_List(o, list);
                    EXPECT_EQ(r.at(prefix), values.empty() ? "" : std::to_string(values.size()));
                    const std::string first = values.empty() ? ":" : values[0];
                    EXPECT_EQ(r.at(std::string(prefix) + "_0_type") + ":" + r.at(std::string(prefix) + "_0_value"),
                              first);
                }
                EXPECT_EQ(r.at("organizations_0_name"), Str(o, "organization"));
                EXPECT_EQ(r.at("organizations_0_title"), Str(o, "title"));
                EXPECT_EQ(r.at("organizations_0_department"), Str(o, "department"));
                // Every membership, system groups included, then the group of all contacts.
                std::vector<std::string> names;
                Json_Ptr list = Parse(r.at("MembershipList"));
                for (size_t i = 0; list && i < json_object_array_length(list.get()); ++i)
                    names.push_back(Str(json_object_array_get_idx(list.get(), i), "name"));
                std::vector<std::string> memberships = Str_List(o, "memberships");
                memberships.push_back("all");
                EXPECT_EQ(names, memberships);
            }
        }
    }

    // Rewrites a JSON file of the simulated domain through fn(its object).
    template <typename Fn>
    void Edit_Json(const std::string& path, Fn fn) {
        json_object* o = json_object_from_file(path.c_str());
        ASSERT_NE(o, nullptr) << path;
        fn(o);
        ASSERT_EQ(json_object_to_file_ext(path.c_str(), o, JSON_C_TO_STRING_PLAIN), 0);
        json_object_put(o);
    }
    // The same for a user's calendar.json or contacts.json.
    template <typename Fn>
    void Edit_Sim(const std::string& user, const char* file, Fn fn) {
        Edit_Json(User_File(user, file), fn);
    }
    static json_object* Array(json_object* o, const char* key) {
        json_object* a = nullptr;
        json_object_object_get_ex(o, key, &a);
        return a;
    }
};

TEST_F(SnapshotBackup, EveryEventContactAndGroupOfEveryUserIsInTheCatalogsFieldByField) {
    int64_t events = -1, contacts = -1;
    ASSERT_EQ(Count_Calendar(&t, &events, "admin", db), 0);
    ASSERT_EQ(Count_Contact(&t, &contacts, "admin", db), 0);
    ASSERT_EQ(Calendar(), 0);
    ASSERT_EQ(Contact(), 0);
    Expect_Calendars_Match_Domain();
    Expect_Contacts_Match_Domain();

    size_t stored = 0, storedContacts = 0;
    for (const std::string& u : Users()) stored += Events(u).size(), storedContacts += Contacts(u).size();
    EXPECT_EQ(Users().size(), 3u);
    EXPECT_EQ(events, static_cast<int64_t>(stored)) << "the pre-count counts what the backup stores";
    EXPECT_EQ(contacts, static_cast<int64_t>(storedContacts));
    EXPECT_EQ(Record_Int("calendar_current"), events);
    EXPECT_EQ(Record_Int("contact_current"), contacts);
    EXPECT_EQ(Record_Int("backup_current"), events + contacts);

    // The variety the domain holds really went through.
    bool allDay = false, untitled = false, conference = false;
    std::set<std::string> zones;
    for (const Row& r : Events(kAlice)) {
        allDay |= !r.at("start_date").empty();
        untitled |= r.at("summary").empty();
        conference |= !r.at("conferenceData_entryPoints_2_regionCode").empty() && !r.at("attendees_2_email").empty();
        zones.insert(r.at("start_timeZone"));
    }
    EXPECT_TRUE(allDay && untitled && conference);
    EXPECT_GE(zones.size(), 4u);
    EXPECT_TRUE(Rows().empty()) << "a clean run stores no rows";
    // The store folders stay empty.
    for (const char* svc : {"calendar", "contact"})
        EXPECT_TRUE(fs::is_empty(qlm::Backup_Service_Dir(svc) + "/" + task + "/" + kAlice)) << svc;
}

TEST_F(SnapshotBackup, TheNextRunHoldsExactlyTheNewStateOfTheDomain) {
    ASSERT_EQ(Calendar(), 0);
    ASSERT_EQ(Contact(), 0);
    // Local ids by Google's ids.
    auto locals = [](const std::vector<Row>& rows, const char* key) {
        std::map<std::string, std::string> out;
        for (const Row& r : rows) out[r.at(key)] = r.at("localid");
        return out;
    };
    const auto oldEvents = locals(Events(kAlice), "calendarId");
    const auto oldContacts = locals(Contacts(kAlice), "resourceName");
    Edit_Sim(kAlice, "calendar.json", [](json_object* o) {
        json_object* events = Array(o, "events");
        json_object_array_del_idx(events, 0, 1);  // deleted
        json_object_object_add(json_object_array_get_idx(events, 0), "summary", json_object_new_string("Moved, again"));
        json_object* added = json_object_new_object();
        for (auto [k, v] : {std::pair{"id", "addedevent0001"}, std::pair{"status", "confirmed"},
                            std::pair{"summary", "Added"}, std::pair{"start.date", "2025-01-01"},
                            std::pair{"end.date", "2025-01-02"}})
            json_object_object_add(added, k, json_object_new_string(v));
        json_object_array_add(events, added);
    });
    Edit_Sim(kAlice, "contacts.json", [](json_object* o) {
        json_object* contacts = Array(o, "contacts");
        json_object_array_del_idx(contacts, 0, 1);
        json_object* c = json_object_array_get_idx(contacts, 0);
        json_object_object_add(c, "givenName", json_object_new_string("Renamed"));
        json_object_array_add(Array(c, "groups"), json_object_new_string("contactGroups/starred"));
        json_object_array_del_idx(Array(o, "groups"), json_object_array_length(Array(o, "groups")) - 1, 1);
    });
    Edit_Sim(kBob, "calendar.json", [](json_object* o) { json_object_array_del_idx(Array(o, "events"), 0, 1); });

    ASSERT_EQ(Calendar(), 0);
    ASSERT_EQ(Contact(), 0);
    Expect_Calendars_Match_Domain();
    Expect_Contacts_Match_Domain();
    // What is still there keeps its local id, so a restore selection made before this run still
    // names it; what is new gets a fresh one.
    const auto newEvents = locals(Events(kAlice), "calendarId");
    ASSERT_TRUE(newEvents.count("addedevent0001"));
    EXPECT_EQ(newEvents.size(), oldEvents.size());
    std::set<std::string> oldLocals;
    for (const auto& [id, local] : oldEvents) oldLocals.insert(local);
    for (const auto& [id, local] : newEvents) {
        if (id == "addedevent0001")
            EXPECT_EQ(oldLocals.count(local), 0u);
        else
            EXPECT_EQ(local, oldEvents.at(id)) << id;
    }
    const auto newContacts = locals(Contacts(kAlice), "resourceName");
    EXPECT_EQ(newContacts.size() + 1, oldContacts.size());
    for (const auto& [name, local] : newContacts) EXPECT_EQ(local, oldContacts.at(name)) << name;
}

// GAM doubles a backslash in its event and contact listings, not in its group listing: each is
// catalogued with exactly the backslashes Google holds, one or two in a row.
TEST_F(SnapshotBackup, BackslashesAreCataloguedAsGoogleHoldsThem) {
    Edit_Sim(kAlice, "calendar.json", [](json_object* o) {
        json_object* e = json_object_array_get_idx(Array(o, "events"), 0);
        json_object_object_add(e, "summary", json_object_new_string("C:\\Temp\\\\share, \"x\""));
        json_object_object_add(e, "location", json_object_new_string("\\"));
    });
    Edit_Sim(kAlice, "contacts.json", [](json_object* o) {
        json_object* c = json_object_array_get_idx(Array(o, "contacts"), 0);
        json_object_object_add(c, "givenName", json_object_new_string("Back\\slash"));
        json_object_object_add(c, "familyName", json_object_new_string("Two\\\\"));
        json_object* groups = Array(o, "groups");
        json_object* g = json_object_array_get_idx(groups, json_object_array_length(groups) - 1);
        json_object_object_add(g, "name", json_object_new_string("Dept\\A\\\\B"));
    });
    ASSERT_EQ(Calendar(), 0);
    ASSERT_EQ(Contact(), 0);
    Expect_Calendars_Match_Domain();
    Expect_Contacts_Match_Domain();
    bool summary = false, given = false;
    for (const Row& r : Events(kAlice)) summary |= r.at("summary") == "C:\\Temp\\\\share, \"x\"";
    for (const Row& r : Contacts(kAlice)) given |= r.at("names_0_givenName") == "Back\\slash";
    EXPECT_TRUE(summary && given);
}

TEST_F(SnapshotBackup, AUserWithoutEventsOrContactsGetsTheEmptySnapshot) {
    ASSERT_EQ(Calendar(), 0);
    ASSERT_EQ(Contact(), 0);
    ASSERT_FALSE(Events(kBob).empty());
    ASSERT_FALSE(Contacts(kBob).empty());
    Edit_Sim(kBob, "calendar.json", [](json_object* o) { json_object_object_add(o, "events", json_object_new_array()); });
    Edit_Sim(kBob, "contacts.json", [](json_object* o) {
        json_object_object_add(o, "contacts", json_object_new_array());
        json_object_object_add(o, "other_contacts", json_object_new_array());
    });
    // gam answers with the header alone: exit status 60 for the events, 0 for the contacts.
    ASSERT_EQ(Calendar(), 0);
    ASSERT_EQ(Contact(), 0);
    EXPECT_TRUE(fs::exists(Calendar_File(kBob)));
    EXPECT_TRUE(Events(kBob).empty());
    EXPECT_FALSE(fs::exists(Contact_File(kBob))) << "an account without contacts keeps no contact catalog";
    EXPECT_FALSE(Groups(kBob).empty()) << "its groups are still kept";
    EXPECT_FALSE(Events(kAlice).empty());
    EXPECT_TRUE(Rows().empty());
}

// A listing that fails in any way leaves the user's catalogs as they were; a plain failure leaves
// a FAIL row and the run goes on, a lost connection fails the attempt so the wrapper repeats it.
TEST_F(SnapshotBackup, AFailedListingKeepsThePreviousCatalogs) {
    ASSERT_EQ(Calendar(), 0);
    ASSERT_EQ(Contact(), 0);
    const auto events = Events(kAlice);
    const auto contacts = Contacts(kAlice);
    const auto groups = Groups(kAlice);
    const std::string a = kAlice;
    const std::string calendarFail = "Failed to retrieve Calendar list for user account " + a + ".";
    const std::string contactFail = "Failed to retrieve Contact list for user account " + a + ". ret=0 sys_ret=";
    const std::string groupFail = "Failed to retrieve Contact list for user account " + a + ".";
    // A listing that GAM gave (exit 0) but that is not whole says which one and why.
    const std::string calendarBad = "Calendar event listing of " + a + " is ";
    const std::string contactBad = "Contact listing of " + a + " is ";
    const std::string groupBad = "Contact group listing of " + a + " is ";
    struct Case {
        const char* service;  // "calendar" or "contact"
        const char* match;
        const char* action;
        int result;
        std::string row;  // the FAIL row's text ("" for none); a contact row ends with the exit status
    } cases[] = {
        {"calendar", "print events", "fail --exit 1", 0, calendarFail},
        {"calendar", "print events", "empty", 0, calendarBad + "unreadable: the output is empty."},  // 0 bytes, exit 0
        {"calendar", "print events", "garbage --exit 0", 0,
         calendarBad + "unreadable: its header has no column calendarId."},
        {"calendar", "print events", "truncate", 0, calendarBad + "incomplete: the last row is cut short."},
        {"calendar", "print events", "conn --exit 0", -1, ""},
        {"calendar", "print events", "conn --exit 1", -1, ""},
        {"contact", "print contacts", "fail --exit 1", 0, contactFail + "1"},
        {"contact", "print contacts", "empty", 0, contactBad + "unreadable: the output is empty."},
        {"contact", "print contacts", "truncate", 0, contactBad + "incomplete: the last row is cut short."},
        {"contact", "print contacts", "conn --exit 0", -1, ""},
        {"contact", "print contactgroup", "fail --exit 1", 0, groupFail},  // one user's failure
        {"contact", "print contactgroup", "empty", 0, groupBad + "unreadable: the output is empty."},
        {"contact", "print contactgroup", "truncate", 0, groupBad + "incomplete: the last row is cut short."},
        {"contact", "print contactgroup", "conn --exit 3", -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.match) + " " + c.action);
        Clear_Faults();
        Sql_Log_Delete_Data(task.c_str());
        Fault(std::string("--tool gam --match ") + kAlice + " --match '" + c.match + "' --action " + c.action);
        const bool calendar = std::string(c.service) == "calendar";
        EXPECT_EQ(calendar ? Calendar() : Contact(), c.result);
        EXPECT_EQ(Events(kAlice), events);
        EXPECT_EQ(Contacts(kAlice), contacts);
        EXPECT_EQ(Groups(kAlice), groups);
        const std::vector<stagedtest::LogRow> rows = Rows();
        if (c.row.empty()) {
            EXPECT_TRUE(rows.empty());
        } else {
            ASSERT_EQ(rows.size(), 1u);
            EXPECT_EQ(rows[0].status, "FAIL");
            EXPECT_EQ(rows[0].text, c.row);
        }
    }
    // The other users were backed up past a plain failure of alice's listing.
    Clear_Faults();
    Fault(std::string("--tool gam --match ") + kAlice + " --match 'print events' --action fail");
    fs::remove(Calendar_File(kBob));
    EXPECT_EQ(Calendar(), 0);
    EXPECT_FALSE(Events(kBob).empty());
    // ... and past a failure of alice's group listing.
    Clear_Faults();
    Fault(std::string("--tool gam --match ") + kAlice + " --match 'print contactgroup' --action fail");
    fs::remove(Group_File(kBob));
    EXPECT_EQ(Contact(), 0);
    EXPECT_FALSE(Groups(kBob).empty());
    EXPECT_EQ(Groups(kAlice), groups);
}

TEST_F(SnapshotBackup, APreCountCountsAUserWhoseListingFailsAsZeroWithAWarnRow) {
    struct Case {
        int (*count)(GWSTask*, int64_t*, const char*, sqlite3*);
        const char* match;
        const char* row;
    } cases[] = {
        {Count_Calendar, "print events", "Fail to count Calendar events for alice@example.test."},
        {Count_Contact, "print contacts", "Failed to count Contact entries for alice@example.test."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.match);
        Clear_Faults();
        int64_t all = -1, some = -1, none = 77;
        ASSERT_EQ(c.count(&t, &all, "admin", db), 0);
        Fault(std::string("--tool gam --match ") + kAlice + " --match '" + c.match + "' --action conn");
        ASSERT_EQ(c.count(&t, &some, "admin", db), 0);
        EXPECT_GT(some, 0);
        EXPECT_LT(some, all);
        EXPECT_TRUE(Has_Row("FAIL", c.row));
        Fault("--tool scoutix --match -info --action fail");
        EXPECT_EQ(c.count(&t, &none, "admin", db), -1);
        EXPECT_EQ(none, 77);
    }
}

TEST_F(SnapshotBackup, HostileAccountNamesReachGamAsOneArgumentOrAreSkipped) {
    const std::string quoted = "o'hara $(touch pwned)@example.test";
    const std::string slashed = "../../escape@example.test";
    fs::copy(sim + "/users/" + kAlice, sim + "/users/" + quoted, fs::copy_options::recursive);
    Edit_Json(sim + "/domain.json", [&](json_object* d) {
        for (const std::string& e : {quoted, slashed}) {
            json_object* u = json_object_new_object();
            json_object_object_add(u, "id", json_object_new_string(("9" + std::to_string(e.size())).c_str()));
            json_object_object_add(u, "email", json_object_new_string(e.c_str()));
            json_object_object_add(u, "name", json_object_new_string("Hostile"));
            json_object_object_add(u, "admin", json_object_new_boolean(0));
            json_object_array_add(Array(d, "users"), u);
        }
    });
    ASSERT_EQ(Calendar(), 0);
    ASSERT_EQ(Contact(), 0);
    EXPECT_EQ(Events(quoted).size(), Events(kAlice).size());
    EXPECT_EQ(Contacts(quoted).size(), Contacts(kAlice).size());
    EXPECT_FALSE(fs::exists(root + "/pwned"));
    EXPECT_FALSE(fs::exists("pwned"));
    for (const char* name : {"Calendar", "Contact"})
        EXPECT_TRUE(Has_Row("FAIL", std::string("Skipped ") + name + " backup for user account " + slashed +
                                        ": the account name cannot name a folder."));
    for (const auto& e : fs::recursive_directory_iterator(root))
        EXPECT_EQ(e.path().filename().string().find("escape"), std::string::npos) << e.path();
}

// Holds a lock from a process of its own, so no process forked here shares the lock.
class Lock_Holder {
public:
    explicit Lock_Holder(const std::string& path) {
        int up[2], down[2];
        if (pipe(up) != 0 || pipe(down) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            int fd = -1;
            char c = Get_File_Lock(path.c_str(), 0, fd) == 0 ? 'y' : 'n';
            if (write(up[1], &c, 1) != 1 || read(down[0], &c, 1) != 1) _exit(1);
            _exit(0);
        }
        close(up[1]);
        close(down[0]);
        char c = 'n';
        held_ = read(up[0], &c, 1) == 1 && c == 'y';
        close(up[0]);
        release_ = down[1];
    }
    ~Lock_Holder() { Release(); }
    bool Held() const { return held_; }
    // A byte, not the pipe's end: a process forked meanwhile holds a copy of that end.
    void Release() {
        if (release_ < 0) return;
        if (write(release_, "x", 1) != 1) kill(pid_, SIGKILL);
        close(release_);
        release_ = -1;
        waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool held_ = false;
};

template <typename Pred>
bool Wait_For(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        usleep(10000);
    }
    return true;
}

// A user whose lock another process holds is waited for; the users before it are done meanwhile.
TEST_F(SnapshotBackup, AUserWhoseLockIsHeldIsWaitedForAndThenBackedUp) {
    struct Case {
        int (*backup)(GWSTask*, std::string, const char*, sqlite3*);
        const char* folder;
        qlm::catalog::Kind kind;
    } cases[] = {{Backup_Calendar, "calendar", qlm::catalog::Kind::Calendar},
                 {Backup_Contact, "contact", qlm::catalog::Kind::Contact}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        const std::string dir = qlm::Backup_Service_Dir(c.folder) + "/" + task;
        fs::create_directories(dir);
        Lock_Holder lock(dir + "/" + kAlice + "." + c.folder + "_lck");
        ASSERT_TRUE(lock.Held());
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int rc = Initial_GAM_Conf(auth.c_str(), kAdmin) == 0 ? c.backup(&t, mission, "admin", nullptr) : -9;
            _exit(rc == 0 ? 0 : 1);
        }
        EXPECT_TRUE(Wait_For([&] { return fs::exists(File(c.kind, kAdmin)); }));
        EXPECT_FALSE(fs::exists(File(c.kind, kAlice))) << "alice's catalog is not written under a held lock";
        EXPECT_FALSE(fs::exists(File(c.kind, kBob)));
        lock.Release();
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_TRUE(fs::exists(File(c.kind, kAlice)));
        EXPECT_TRUE(fs::exists(File(c.kind, kBob)));
    }
}

// Another run of the same service holds the task: nothing of this one is backed up, and its row
// says so as a failure.
TEST_F(SnapshotBackup, AServiceWhoseTaskIsBusyElsewhereIsAFailRow) {
    const std::string dir = qlm::Backup_Service_Dir("calendar");
    fs::create_directories(dir);
    Lock_Holder lock(dir + "/" + task + ".calendar_lck");
    ASSERT_TRUE(lock.Held());
    EXPECT_EQ(Calendar(), -1);
    EXPECT_FALSE(fs::exists(Calendar_File(kAlice)));
    bool found = false;
    for (const stagedtest::LogRow& r : Rows())
        if (r.text == "Other Calendar backup process is running.") {
            found = true;
            EXPECT_EQ(r.status, "FAIL");
            EXPECT_EQ(r.type, "warn");
        }
    EXPECT_TRUE(found);
}

// A worker killed while it writes a snapshot leaves the previous catalog whole and readable.
TEST_F(SnapshotBackup, AWorkerKilledWhileItWritesLeavesThePreviousCatalogWhole) {
    ASSERT_EQ(Calendar(), 0);
    const auto first = Events(kAlice);
    // A calendar big enough that writing it takes a while.
    Edit_Sim(kAlice, "calendar.json", [](json_object* o) {
        json_object* events = Array(o, "events");
        for (int i = 0; i < 30000; ++i) {
            json_object* e = json_object_new_object();
            const std::string id = "bulk" + std::to_string(i);
            json_object_object_add(e, "id", json_object_new_string(id.c_str()));
            json_object_object_add(e, "summary", json_object_new_string("Bulk event with a longer title to write"));
            json_object_object_add(e, "start.dateTime", json_object_new_string("2024-05-01T10:00:00Z"));
            json_object_object_add(e, "end.dateTime", json_object_new_string("2024-05-01T11:00:00Z"));
            json_object_array_add(events, e);
        }
    });
    const std::string journal = Calendar_File(kAlice) + "-journal";
    bool killedMidWrite = false;
    for (int attempt = 0; attempt < 3 && !killedMidWrite; ++attempt) {
        const auto before = Events(kAlice);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int rc = Initial_GAM_Conf(auth.c_str(), kAdmin) == 0 ? Backup_Calendar(&t, mission, "admin", nullptr) : -9;
            _exit(rc == 0 ? 0 : 1);
        }
        // The write is under way while its journal exists.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        int status = 0;
        bool ended = false;
        while (!killedMidWrite && !ended && std::chrono::steady_clock::now() < deadline) {
            if (fs::exists(journal)) {
                kill(pid, SIGKILL);
                killedMidWrite = true;
            } else {
                ended = waitpid(pid, &status, WNOHANG) == pid;
            }
        }
        if (!ended) waitpid(pid, &status, 0);
        ASSERT_TRUE(killedMidWrite || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
        if (!killedMidWrite) continue;  // the write was too quick to catch: try again
        EXPECT_EQ(Events(kAlice), before) << "the old snapshot, whole";
        RAIIful_Json list(Json_List_Init());
        EXPECT_EQ(Calendar_Get_DB_Data(list.get(), kAlice, task.c_str()), 0);
        EXPECT_EQ(Json_List_Size(list.get()), static_cast<int>(before.size()));
    }
    ASSERT_TRUE(killedMidWrite) << "the write never overlapped the poll";
    // The next run writes the new snapshot whole.
    ASSERT_EQ(Calendar(), 0);
    EXPECT_EQ(Events(kAlice).size(), first.size() + 30000);
}

}  // namespace
