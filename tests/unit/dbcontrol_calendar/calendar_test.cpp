// The calendar catalog: stored form, which record field lands in which column, rewrites, pages
// and the date-range search.
#include "dbcontrol/calendar_db.h"

#include <gtest/gtest.h>

#include "../catalog_testutil.h"

namespace {

using cattest::kTask;
using cattest::kUser;
using cattest::List;
using Ids = std::vector<std::string>;

// The table's columns in stored order, after the id.
const char* const kTextColumns[] = {
    "summary", "log_id", "calendarId", "localid", "status", "location", "created", "updated", "iCalUID", "attendees",
    "attendees_0_email", "attendees_0_organizer", "attendees_0_responseStatus", "attendees_0_self",
    "attendees_1_displayName", "attendees_1_responseStatus", "attendees_2_email", "attendees_2_responseStatus",
    "attendees_3_email", "attendees_3_responseStatus", "attendees_4_email", "attendees_4_responseStatus",
    "conferenceData_conferenceId", "conferenceData_conferenceSolution_iconUri",
    "conferenceData_conferenceSolution_key_type", "conferenceData_conferenceSolution_name",
    "conferenceData_entryPoints", "conferenceData_entryPoints_0_entryPointType", "conferenceData_entryPoints_0_label",
    "conferenceData_entryPoints_0_uri", "conferenceData_entryPoints_1_entryPointType", "conferenceData_entryPoints_1_pin",
    "conferenceData_entryPoints_1_uri", "conferenceData_entryPoints_2_entryPointType", "conferenceData_entryPoints_2_label",
    "conferenceData_entryPoints_2_pin", "conferenceData_entryPoints_2_regionCode", "conferenceData_entryPoints_2_uri",
    "creator_email", "creator_self", "end_date", "end_dateTime", "end_timeZone", "eventType", "hangoutLink", "htmlLink",
    "organizer_email", "organizer_self", "reminders_useDefault", "sequence", "start_date", "start_dateTime",
    "start_timeZone", "transparency"};

CalendarData Event(const char* summary, const char* location, long long start, long long end) {
    CalendarData e;
    e.strSummary = summary;
    e.strLocation = location;
    e.llStartTimeStamp = start;
    e.llEndTimeStamp = end;
    e.strLocalID = std::string("local-") + summary;
    return e;
}

// e1 10:00-11:00, e2 12:00-13:00, e3 from 13:53 with no end, e4 05:33-08:20 (seconds of one day).
std::map<std::string, CalendarData> Fixture() {
    std::map<std::string, CalendarData> m{{"e1", Event("Standup", "Room 1", 36000, 39600)},
                                          {"e2", Event("Lunch", "Cafe", 43200, 46800)},
                                          {"e3", Event("Holiday", "", 50000, 0)},
                                          {"e4", Event("Early call", "Room 2", 20000, 30000)}};
    m["e1"].strStartTimeZone = "Europe/Paris";
    m["e2"].strCreatorEmail = "boss@x.org";
    m["e3"].strEndDate = "2024-05-01";
    m["e4"].strICalUID = "hidden-ical";
    m["e4"].strCreatorSelf = "true";
    return m;
}

struct CalendarCatalog : ::testing::Test {
    cattest::Root root;
    std::string file = root.Backup(std::string("calendar_db/") + kTask + "/" + kUser + ".db");
};

TEST_F(CalendarCatalog, StoredFileShowsTheTableToTheCli) {
    ASSERT_EQ(Calendar_Write_DB({}, kUser, kTask), 0);
    std::vector<std::pair<std::string, std::string>> cols;
    std::string create = "CREATE TABLE calendar_sql_database(id INTEGER PRIMARY KEY AUTOINCREMENT";
    for (const char* c : kTextColumns) {
        cols.emplace_back(c, "TEXT");
        create += std::string(",") + c + " TEXT NOT NULL";
    }
    cols.emplace_back("start_timestamp", "INTEGER");
    cols.emplace_back("end_timestamp", "INTEGER");
    create += ",start_timestamp INTEGER NOT NULL,end_timestamp INTEGER NOT NULL)\n";
    EXPECT_EQ(cattest::Cli_Columns(file, "calendar_sql_database"), cattest::Expected_Columns("id", cols));
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT sql FROM sqlite_master WHERE name='calendar_sql_database';"), create);
}

TEST_F(CalendarCatalog, EveryFieldLandsInItsColumn) {
    // Each text field holds its own name, so a swapped binding shows as a wrong column value.
    CalendarData e;
    const std::pair<std::string CalendarData::*, const char*> fields[] = {
        {&CalendarData::strLocalID, "localid"},
        {&CalendarData::strCalendarID, nullptr},  // not stored
        {&CalendarData::strID, "log_id"},
        {&CalendarData::strStatus, "status"},
        {&CalendarData::strLocation, "location"},
        {&CalendarData::strSummary, "summary"},
        {&CalendarData::strCreated, "created"},
        {&CalendarData::strUpdated, "updated"},
        {&CalendarData::strICalUID, "iCalUID"},
        {&CalendarData::strAttendees, "attendees"},
        {&CalendarData::strAttendees0Email, "attendees_0_email"},
        {&CalendarData::strAttendees0Organizer, "attendees_0_organizer"},
        {&CalendarData::strAttendees0ResponseStatus, "attendees_0_responseStatus"},
        {&CalendarData::strAttendees0Self, "attendees_0_self"},
        {&CalendarData::strAttendees1DisplayName, "attendees_1_displayName"},
        {&CalendarData::strAttendees1ResponseStatus, "attendees_1_responseStatus"},
        {&CalendarData::strAttendees2Email, "attendees_2_email"},
        {&CalendarData::strAttendees2ResponseStatus, "attendees_2_responseStatus"},
        {&CalendarData::strAttendees3Email, "attendees_3_email"},
        {&CalendarData::strAttendees3ResponseStatus, "attendees_3_responseStatus"},
        {&CalendarData::strAttendees4Email, "attendees_4_email"},
        {&CalendarData::strAttendees4ResponseStatus, "attendees_4_responseStatus"},
        {&CalendarData::strCDCID, "conferenceData_conferenceId"},
        {&CalendarData::strCDCSIU, "conferenceData_conferenceSolution_iconUri"},
        {&CalendarData::strCDCSKT, "conferenceData_conferenceSolution_key_type"},
        {&CalendarData::strCDCSN, "conferenceData_conferenceSolution_name"},
        {&CalendarData::strCDEP, "conferenceData_entryPoints"},
        {&CalendarData::strCDEP0EPT, "conferenceData_entryPoints_0_entryPointType"},
        {&CalendarData::strCDEP0L, "conferenceData_entryPoints_0_label"},
        {&CalendarData::strCDEP0U, "conferenceData_entryPoints_0_uri"},
        {&CalendarData::strCDEP1EPT, "conferenceData_entryPoints_1_entryPointType"},
        {&CalendarData::strCDEP1P, "conferenceData_entryPoints_1_pin"},
        {&CalendarData::strCDEP1U, "conferenceData_entryPoints_1_uri"},
        {&CalendarData::strCDEP2EPT, "conferenceData_entryPoints_2_entryPointType"},
        {&CalendarData::strCDE2L, "conferenceData_entryPoints_2_label"},
        {&CalendarData::strCDEP2P, "conferenceData_entryPoints_2_pin"},
        {&CalendarData::strCDEP2R, "conferenceData_entryPoints_2_regionCode"},
        {&CalendarData::strCDEP2U, "conferenceData_entryPoints_2_uri"},
        {&CalendarData::strCreatorEmail, "creator_email"},
        {&CalendarData::strCreatorSelf, "creator_self"},
        {&CalendarData::strEndDate, "end_date"},
        {&CalendarData::strEndDateTime, "end_dateTime"},
        {&CalendarData::strEndTimeZone, "end_timeZone"},
        {&CalendarData::strEventType, "eventType"},
        {&CalendarData::strHangoutLink, "hangoutLink"},
        {&CalendarData::strHtmlLink, "htmlLink"},
        {&CalendarData::strOrgEmail, "organizer_email"},
        {&CalendarData::strOrgSelf, "organizer_self"},
        {&CalendarData::strReminders, "reminders_useDefault"},
        {&CalendarData::strSequence, "sequence"},
        {&CalendarData::strStartDate, "start_date"},
        {&CalendarData::strStartDateTime, "start_dateTime"},
        {&CalendarData::strStartTimeZone, "start_timeZone"},
        {&CalendarData::strTransparency, "transparency"},
    };
    for (const auto& [field, column] : fields) e.*field = column ? std::string("v:") + column : "calendar-id";
    e.llStartTimeStamp = 1700000000;
    e.llEndTimeStamp = 1700003600;
    ASSERT_EQ(Calendar_Write_DB({{"event-id-as-key", e}}, kUser, kTask), 0);

    std::string select = "SELECT calendarId";
    std::string expected = "event-id-as-key";  // the map key, not the record's calendar id
    for (const auto& [field, column] : fields) {
        if (!column) continue;
        select += std::string("||'|'||") + column;
        expected += std::string("|v:") + column;
    }
    select += "||'|'||start_timestamp||'|'||end_timestamp FROM calendar_sql_database;";
    EXPECT_EQ(cattest::Sqlite_Cli(file, select), expected + "|1700000000|1700003600\n");

    List rows;
    ASSERT_EQ(Calendar_Get_DB_Data(rows.get(), kUser, kTask), 0);
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(cattest::Keys(rows.at(0)),
              (std::set<std::string>{"summary", "localid", "location", "creator.email", "end.dateTime", "start.dateTime",
                                     "calendarId", "end.date", "start.date", "end.timeZone", "start.timeZone"}));
    EXPECT_EQ(rows.Strings("calendarId")[0], "event-id-as-key");
    EXPECT_EQ(rows.Strings("start.timeZone")[0], "v:start_timeZone");
}

TEST_F(CalendarCatalog, RewritesReplaceTheSnapshotOrKeepItWhole) {
    ASSERT_EQ(Calendar_Write_DB(Fixture(), kUser, kTask), 0);
    ASSERT_EQ(Calendar_Write_DB({{"e9", Event("Review", "", 1, 2)}}, kUser, kTask), 0);
    EXPECT_EQ(cattest::Sqlite_Cli(file, "SELECT id,calendarId FROM calendar_sql_database;"), "1|e9\n");

    std::map<std::string, CalendarData> big;
    for (int i = 0; i < 2000; ++i) big["k" + std::to_string(i)] = Event(std::string(600, 's').c_str(), "", 1, 2);
    EXPECT_EQ(cattest::Run_With_File_Limit(64 * 1024, [&] { return Calendar_Write_DB(big, kUser, kTask); }), -161);
    EXPECT_EQ(Calendar_Get_Number_Of_Record(kUser, kTask), 1);

    ASSERT_EQ(Calendar_Write_DB({}, kUser, kTask), 0);
    EXPECT_EQ(Calendar_Get_Number_Of_Record(kUser, kTask), 0);
}

TEST_F(CalendarCatalog, PagesSearchTheTenEventColumnsAndTheCountStaysTheTotal) {
    ASSERT_EQ(Calendar_Write_DB(Fixture(), kUser, kTask), 0);
    struct Case {
        const char* keyword;
        Ids page;
    } cases[] = {
        {nullptr, {"e4", "e3", "e2", "e1"}},
        {"", {"e4", "e3", "e2", "e1"}},
        {"ROOM", {"e4", "e1"}},      // location
        {"boss@", {"e2"}},           // creator_email
        {"true", {"e4"}},            // creator_self
        {"paris", {"e1"}},           // start_timeZone
        {"2024-05", {"e3"}},         // end_date
        {"hidden", {}},              // iCalUID is not searched
        {"L%ch", {"e2"}},            // '%' keeps its wildcard meaning
        {"x' OR 'a'='a", {}},
    };
    for (const Case& c : cases) {
        List page;
        EXPECT_EQ(Calendar_Get_DB_Data_For_Pagination(page.get(), kUser, kTask, 0, 50, c.keyword), 0);
        EXPECT_EQ(page.Strings("calendarId"), c.page) << (c.keyword ? c.keyword : "NULL");
    }
    List page;
    Calendar_Get_DB_Data_For_Pagination(page.get(), kUser, kTask, 1, 2, "");
    EXPECT_EQ(page.Strings("calendarId"), (Ids{"e3", "e2"}));
    EXPECT_EQ(Calendar_Get_Number_Of_Record(kUser, kTask), 4);
}

TEST_F(CalendarCatalog, AdvancedSearchByKeywordsAndDateRanges) {
    ASSERT_EQ(Calendar_Write_DB(Fixture(), kUser, kTask), 0);
    struct Case {
        const char* what;
        const char* keyword;
        const char* location;
        int early, late;
        Ids found;
    } cases[] = {
        {"10:00-11:00 overlaps 10:30-12:00", nullptr, nullptr, 37800, 43200, {"e2", "e1"}},
        {"but not 11:30-12:00", nullptr, nullptr, 41400, 43200, {"e2"}},
        // Only late: starts or ends at or before it; an event without an end (0) always matches.
        {"only late", nullptr, nullptr, 0, 39600, {"e4", "e3", "e1"}},
        {"only early: starts or ends at or after it", nullptr, nullptr, 45000, -1, {"e3", "e2"}},
        {"summary keyword", "l", nullptr, 0, 0, {"e4", "e3", "e2"}},
        {"location keyword", nullptr, "ROOM", 0, 0, {"e4", "e1"}},
        {"empty keyword matches every row", "", nullptr, 0, 0, {"e4", "e3", "e2", "e1"}},
        {"together", "a", "room", 10000, 32000, {"e4"}},
        {"nothing set", nullptr, nullptr, 0, -1, {}},
        {"a quote stays data", "'; DROP TABLE calendar_sql_database; --", nullptr, 0, 0, {}},
    };
    for (const Case& c : cases) {
        List found;
        EXPECT_EQ(Calendar_Get_DB_Data_For_Advance_Search(found.get(), kUser, kTask, c.keyword, c.location, c.early, c.late),
                  0);
        EXPECT_EQ(found.Strings("calendarId"), c.found) << c.what;
    }
    EXPECT_EQ(Calendar_Get_Number_Of_Record(kUser, kTask), 4);
}

}  // namespace
