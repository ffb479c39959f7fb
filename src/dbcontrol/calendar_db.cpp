#include "dbcontrol/calendar_db.h"

#include "dbcontrol/catalog_common.h"

using namespace qlm::catalog;

namespace {

using C = CalendarData;

// The 54 text columns in the order of the insert (not of the table); the two timestamps follow.
// Their JSON keys are unused: a row's JSON is the short form below.
constexpr Text_Column<C> kTextColumns[] = {
    {"calendarId", "", nullptr},  // the map key: the event id
    {"localid", "", &C::strLocalID},
    {"summary", "", &C::strSummary},
    {"log_id", "", &C::strID},
    {"status", "", &C::strStatus},
    {"location", "", &C::strLocation},
    {"created", "", &C::strCreated},
    {"updated", "", &C::strUpdated},
    {"iCalUID", "", &C::strICalUID},
    {"attendees", "", &C::strAttendees},
    {"attendees_0_email", "", &C::strAttendees0Email},
    {"attendees_0_organizer", "", &C::strAttendees0Organizer},
    {"attendees_0_responseStatus", "", &C::strAttendees0ResponseStatus},
    {"attendees_0_self", "", &C::strAttendees0Self},
    {"attendees_1_displayName", "", &C::strAttendees1DisplayName},
    {"attendees_1_responseStatus", "", &C::strAttendees1ResponseStatus},
    {"attendees_2_email", "", &C::strAttendees2Email},
    {"attendees_2_responseStatus", "", &C::strAttendees2ResponseStatus},
    {"attendees_3_email", "", &C::strAttendees3Email},
    {"attendees_3_responseStatus", "", &C::strAttendees3ResponseStatus},
    {"attendees_4_email", "", &C::strAttendees4Email},
    {"attendees_4_responseStatus", "", &C::strAttendees4ResponseStatus},
    {"conferenceData_conferenceId", "", &C::strCDCID},
    {"conferenceData_conferenceSolution_iconUri", "", &C::strCDCSIU},
    {"conferenceData_conferenceSolution_key_type", "", &C::strCDCSKT},
    {"conferenceData_conferenceSolution_name", "", &C::strCDCSN},
    {"conferenceData_entryPoints", "", &C::strCDEP},
    {"conferenceData_entryPoints_0_entryPointType", "", &C::strCDEP0EPT},
    {"conferenceData_entryPoints_0_label", "", &C::strCDEP0L},
    {"conferenceData_entryPoints_0_uri", "", &C::strCDEP0U},
    {"conferenceData_entryPoints_1_entryPointType", "", &C::strCDEP1EPT},
    {"conferenceData_entryPoints_1_pin", "", &C::strCDEP1P},
    {"conferenceData_entryPoints_1_uri", "", &C::strCDEP1U},
    {"conferenceData_entryPoints_2_entryPointType", "", &C::strCDEP2EPT},
    {"conferenceData_entryPoints_2_label", "", &C::strCDE2L},
    {"conferenceData_entryPoints_2_pin", "", &C::strCDEP2P},
    {"conferenceData_entryPoints_2_regionCode", "", &C::strCDEP2R},
    {"conferenceData_entryPoints_2_uri", "", &C::strCDEP2U},
    {"creator_email", "", &C::strCreatorEmail},
    {"creator_self", "", &C::strCreatorSelf},
    {"end_date", "", &C::strEndDate},
    {"end_dateTime", "", &C::strEndDateTime},
    {"end_timeZone", "", &C::strEndTimeZone},
    {"eventType", "", &C::strEventType},
    {"hangoutLink", "", &C::strHangoutLink},
    {"htmlLink", "", &C::strHtmlLink},
    {"organizer_email", "", &C::strOrgEmail},
    {"organizer_self", "", &C::strOrgSelf},
    {"reminders_useDefault", "", &C::strReminders},
    {"sequence", "", &C::strSequence},
    {"start_date", "", &C::strStartDate},
    {"start_dateTime", "", &C::strStartDateTime},
    {"start_timeZone", "", &C::strStartTimeZone},
    {"transparency", "", &C::strTransparency},
};
constexpr int kTextCount = static_cast<int>(std::size(kTextColumns));
static_assert(kTextCount == 54);

constexpr const char* kCreateTable =
    "CREATE TABLE calendar_sql_database(id INTEGER PRIMARY KEY AUTOINCREMENT,summary TEXT NOT NULL,"
    "log_id TEXT NOT NULL,calendarId TEXT NOT NULL,localid TEXT NOT NULL,status TEXT NOT NULL,"
    "location TEXT NOT NULL,created TEXT NOT NULL,updated TEXT NOT NULL,iCalUID TEXT NOT NULL,"
    "attendees TEXT NOT NULL,attendees_0_email TEXT NOT NULL,attendees_0_organizer TEXT NOT NULL,"
    "attendees_0_responseStatus TEXT NOT NULL,attendees_0_self TEXT NOT NULL,attendees_1_displayName TEXT NOT NULL,"
    "attendees_1_responseStatus TEXT NOT NULL,attendees_2_email TEXT NOT NULL,attendees_2_responseStatus TEXT NOT NULL,"
    "attendees_3_email TEXT NOT NULL,attendees_3_responseStatus TEXT NOT NULL,attendees_4_email TEXT NOT NULL,"
    "attendees_4_responseStatus TEXT NOT NULL,conferenceData_conferenceId TEXT NOT NULL,"
    "conferenceData_conferenceSolution_iconUri TEXT NOT NULL,conferenceData_conferenceSolution_key_type TEXT NOT NULL,"
    "conferenceData_conferenceSolution_name TEXT NOT NULL,conferenceData_entryPoints TEXT NOT NULL,"
    "conferenceData_entryPoints_0_entryPointType TEXT NOT NULL,conferenceData_entryPoints_0_label TEXT NOT NULL,"
    "conferenceData_entryPoints_0_uri TEXT NOT NULL,conferenceData_entryPoints_1_entryPointType TEXT NOT NULL,"
    "conferenceData_entryPoints_1_pin TEXT NOT NULL,conferenceData_entryPoints_1_uri TEXT NOT NULL,"
    "conferenceData_entryPoints_2_entryPointType TEXT NOT NULL,conferenceData_entryPoints_2_label TEXT NOT NULL,"
    "conferenceData_entryPoints_2_pin TEXT NOT NULL,conferenceData_entryPoints_2_regionCode TEXT NOT NULL,"
    "conferenceData_entryPoints_2_uri TEXT NOT NULL,creator_email TEXT NOT NULL,creator_self TEXT NOT NULL,"
    "end_date TEXT NOT NULL,end_dateTime TEXT NOT NULL,end_timeZone TEXT NOT NULL,eventType TEXT NOT NULL,"
    "hangoutLink TEXT NOT NULL,htmlLink TEXT NOT NULL,organizer_email TEXT NOT NULL,organizer_self TEXT NOT NULL,"
    "reminders_useDefault TEXT NOT NULL,sequence TEXT NOT NULL,start_date TEXT NOT NULL,"
    "start_dateTime TEXT NOT NULL,start_timeZone TEXT NOT NULL,transparency TEXT NOT NULL,"
    "start_timestamp INTEGER NOT NULL,end_timestamp INTEGER NOT NULL);";

// Joined from the constant column names above, so the binding order cannot drift from the list.
const std::string& Insert_Sql() {
    static const std::string sql = [] {
        std::string cols, marks;
        for (const auto& c : kTextColumns) {
            cols += c.column;
            cols += ",";
            marks += "?, ";
        }
        return "INSERT INTO calendar_sql_database(" + cols + "start_timestamp,end_timestamp) VALUES (" + marks + "?, ?);";
    }();
    return sql;
}

constexpr Json_Column kJsonForm[] = {
    {"summary", "summary", Json_Kind::Text},
    {"localid", "localid", Json_Kind::Text},
    {"location", "location", Json_Kind::Text},
    {"creator_email", "creator.email", Json_Kind::Text},
    {"end_dateTime", "end.dateTime", Json_Kind::Text},
    {"start_dateTime", "start.dateTime", Json_Kind::Text},
    {"calendarId", "calendarId", Json_Kind::Text},
    {"end_date", "end.date", Json_Kind::Text},
    {"start_date", "start.date", Json_Kind::Text},
    {"end_timeZone", "end.timeZone", Json_Kind::Text},
    {"start_timeZone", "start.timeZone", Json_Kind::Text},
};

}  // namespace

int Calendar_SQL_Open_Datebase(sqlite3** ppDb, const char* pszUserEmail, const char* pszTaskID, bool bDelOldDBIfExist) {
    return Open_Catalog_For_Caller(Kind::Calendar, ppDb, pszUserEmail, pszTaskID,
                                   bDelOldDBIfExist ? Open_Mode::Writer_Fresh : Open_Mode::Writer);
}

int Calendar_Write_DB(const std::map<std::string, CalendarData>& mapCalendarData, const char* pszUserEmail,
                      const char* pszTaskID) {
    return Rewrite_Snapshot(Kind::Calendar, pszUserEmail, pszTaskID, "DROP TABLE IF EXISTS calendar_sql_database;",
                            kCreateTable, Insert_Sql().c_str(), [&](sqlite3_stmt* st) {
                                for (const auto& [key, e] : mapCalendarData) {
                                    if (Bind_Texts(st, kTextColumns, &key, e) != 0 ||
                                        sqlite3_bind_int64(st, kTextCount + 1, e.llStartTimeStamp) != SQLITE_OK ||
                                        sqlite3_bind_int64(st, kTextCount + 2, e.llEndTimeStamp) != SQLITE_OK ||
                                        Step_Row(st) != 0)
                                        return -161;
                                }
                                return 0;
                            });
}

int Calendar_Read_Local_Ids(std::vector<std::pair<std::string, std::string>>& vecIds, const char* pszUserEmail, const char* pszTaskID) {
    return Read_Text_Pairs(Kind::Calendar, pszUserEmail, pszTaskID, "calendar_sql_database",
                           "SELECT calendarId,localid FROM calendar_sql_database ORDER BY id;", vecIds);
}

int Calendar_Get_DB_Data(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID) {
    return Reported(Query_Json(Kind::Calendar, pszUserEmail, pszTaskID,
                               "SELECT * from calendar_sql_database ORDER BY ID DESC;", {}, kJsonForm, jsonList));
}

int Calendar_Get_DB_Data_For_Pagination(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID, int iStart,
                                        int iLimit, const char* pszKeyWord) {
    const long long s = iStart, l = iLimit;
    if (pszKeyWord && *pszKeyWord) {
        Query_Json(Kind::Calendar, pszUserEmail, pszTaskID,
                   "SELECT * FROM calendar_sql_database WHERE summary LIKE ?1 OR location LIKE ?1 OR "
                   "creator_email LIKE ?1 OR creator_self LIKE ?1 OR start_date LIKE ?1 OR start_dateTime LIKE ?1 OR "
                   "start_timeZone LIKE ?1 OR end_date LIKE ?1 OR end_dateTime LIKE ?1 OR end_timeZone LIKE ?1 "
                   "ORDER BY ID DESC LIMIT ?2,?3;",
                   {Like_Contains(pszKeyWord), s, l}, kJsonForm, jsonList);
    } else {
        Query_Json(Kind::Calendar, pszUserEmail, pszTaskID,
                   "SELECT * from calendar_sql_database ORDER BY ID DESC LIMIT ?1,?2;", {s, l}, kJsonForm, jsonList);
    }
    return 0;
}

int Calendar_Get_Number_Of_Record(const char* pszUserEmail, const char* pszTaskID) {
    return static_cast<int>(
        Query_Count(Kind::Calendar, pszUserEmail, pszTaskID, "SELECT COUNT(*) FROM calendar_sql_database;", {}));
}

int Calendar_Get_DB_Data_For_Advance_Search(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID,
                                            const char* pszKeyWord, const char* pszLocationKeyWord, int iDateEarly,
                                            int iDateLate) {
    Where w;
    if (pszKeyWord) w.Add("summary LIKE ?", {Like_Contains(pszKeyWord)});
    if (pszLocationKeyWord) w.Add("location LIKE ?", {Like_Contains(pszLocationKeyWord)});
    const long long early = iDateEarly, late = iDateLate;
    if (early > 0 && late > 0)
        w.Add("(start_timestamp <= ? AND end_timestamp >= ?)", {late, early});
    else if (late > 0)
        w.Add("(start_timestamp <= ? OR end_timestamp <= ?)", {late, late});
    else if (early > 0)
        w.Add("(start_timestamp >= ? OR end_timestamp >= ?)", {early, early});
    if (w.empty()) return 0;
    const std::string sql = "SELECT * FROM calendar_sql_database WHERE " + w.sql + " ORDER BY ID DESC;";
    Query_Json(Kind::Calendar, pszUserEmail, pszTaskID, sql.c_str(), w.binds, kJsonForm, jsonList);
    return 0;
}
