#include "backup/calendar_backup.h"

#include <set>

#include "backup/snapshot_service.h"
#include "common/paths.h"
#include "common/shellquote.h"
#include "common/timeconv.h"
#include "dbcontrol/calendar_db.h"
#include "plat_string.h"

using namespace qlm::drivebk;
using namespace qlm::snapshot;

namespace {

using C = CalendarData;

// The listing's column of each field.
struct Event_Column {
    const char* column;
    std::string C::*field;
};
constexpr Event_Column kEventColumns[] = {
    {"calendarId", &C::strCalendarID},
    {"id", &C::strID},
    {"status", &C::strStatus},
    {"location", &C::strLocation},
    {"summary", &C::strSummary},
    {"created", &C::strCreated},
    {"updated", &C::strUpdated},
    {"iCalUID", &C::strICalUID},
    {"attendees", &C::strAttendees},
    {"attendees.0.email", &C::strAttendees0Email},
    {"attendees.0.organizer", &C::strAttendees0Organizer},
    {"attendees.0.responseStatus", &C::strAttendees0ResponseStatus},
    {"attendees.0.self", &C::strAttendees0Self},
    {"attendees.1.displayName", &C::strAttendees1DisplayName},
    {"attendees.1.responseStatus", &C::strAttendees1ResponseStatus},
    {"attendees.2.email", &C::strAttendees2Email},
    {"attendees.2.responseStatus", &C::strAttendees2ResponseStatus},
    {"attendees.3.email", &C::strAttendees3Email},
    {"attendees.3.responseStatus", &C::strAttendees3ResponseStatus},
    {"attendees.4.email", &C::strAttendees4Email},
    {"attendees.4.responseStatus", &C::strAttendees4ResponseStatus},
    {"conferenceData.conferenceId", &C::strCDCID},
    {"conferenceData.conferenceSolution.iconUri", &C::strCDCSIU},
    {"conferenceData.conferenceSolution.key.type", &C::strCDCSKT},
    {"conferenceData.conferenceSolution.name", &C::strCDCSN},
    {"conferenceData.entryPoints", &C::strCDEP},
    {"conferenceData.entryPoints.0.entryPointType", &C::strCDEP0EPT},
    {"conferenceData.entryPoints.0.label", &C::strCDEP0L},
    {"conferenceData.entryPoints.0.uri", &C::strCDEP0U},
    {"conferenceData.entryPoints.1.entryPointType", &C::strCDEP1EPT},
    {"conferenceData.entryPoints.1.pin", &C::strCDEP1P},
    {"conferenceData.entryPoints.1.uri", &C::strCDEP1U},
    {"conferenceData.entryPoints.2.entryPointType", &C::strCDEP2EPT},
    {"conferenceData.entryPoints.2.label", &C::strCDE2L},
    {"conferenceData.entryPoints.2.pin", &C::strCDEP2P},
    {"conferenceData.entryPoints.2.regionCode", &C::strCDEP2R},
    {"conferenceData.entryPoints.2.uri", &C::strCDEP2U},
    {"creator.email", &C::strCreatorEmail},
    {"creator.self", &C::strCreatorSelf},
    {"end.date", &C::strEndDate},
    {"end.dateTime", &C::strEndDateTime},
    {"end.timeZone", &C::strEndTimeZone},
    {"eventType", &C::strEventType},
    {"hangoutLink", &C::strHangoutLink},
    {"htmlLink", &C::strHtmlLink},
    {"organizer.email", &C::strOrgEmail},
    {"organizer.self", &C::strOrgSelf},
    {"reminders.useDefault", &C::strReminders},
    {"sequence", &C::strSequence},
    {"start.date", &C::strStartDate},
    {"start.dateTime", &C::strStartDateTime},
    {"start.timeZone", &C::strStartTimeZone},
    {"transparency", &C::strTransparency},
};
static_assert(std::size(kEventColumns) == 53);

// The columns without which a listing is not an event listing.
constexpr std::initializer_list<const char*> kEventHeader = {"calendarId", "id"};

const Service kCalendar = {"calendar",
                           "Calendar",
                           "calendar_current",
                           "Calendar events",
                           "Fail to count Calendar events for %s.",
                           {qlm::catalog::Kind::Calendar},
                           1};

// The date-time when there is one, else the all-day date; 0 for neither or an unreadable text.
long long Event_Time(const std::string& dateTime, const std::string& date) {
    const std::string& text = dateTime.empty() ? date : dateTime;
    if (text.empty()) return 0;
    const int64_t t = calendar_parse_iso8601(text);
    return t < 0 ? 0 : t;
}

constexpr const char* kEventListing = "Calendar event listing";

std::string Event_Listing_Line(const std::string& account) {
    return qlm::ShellQuote(qlm::Tool_Path("gam")) + " calendars " + qlm::ShellQuote(account) + " print events";
}

Turn Backup_Calendar_Account(Run& run, const std::string& account) {
    const LogCtx& ctx = run.ctx;
    const char* acct = account.c_str();
    const std::string failRow = Format("Failed to retrieve Calendar list for user account %s.", acct);
    Listing l = Run_Listing(Event_Listing_Line(account), run.strErrPath, kEventHeader);
    if (l.result == ListingResult::Unreadable) {
        Log_Stored(ctx, "FAIL", "info", Format("Failed to open Calendar list result file for user account %s.", acct));
        return Turn::FileFailure;
    }
    if (l.result != ListingResult::Ok) return Failed_Listing(run, l, kEventListing, account, failRow);
    std::vector<std::pair<std::string, std::string>> prev;
    Calendar_Read_Local_Ids(prev, acct, run.strTaskID.c_str());
    std::set<std::string> keys;
    for (const CalendarData& e : Calendar_Events_From_Listing(l.doc)) keys.insert(e.strID);
    Listing again;
    const bool bAgain = Needs_Second_Listing(prev, keys);
    if (bAgain) {
        again = Run_Listing(Event_Listing_Line(account), run.strErrPath, kEventHeader);
        if (again.result != ListingResult::Ok) return Failed_Listing(run, again, kEventListing, account, failRow);
    }
    Log_Progress(ctx, Format("Start writing Calendar information to database for user account %s.", acct));
    int64_t accepted = 0;
    const int rc =
        Calendar_Replace_Snapshot(l.doc, acct, run.strTaskID.c_str(), &accepted, bAgain ? &again.doc : nullptr);
    Mission_Progress_Add(run.progress, accepted);
    if (rc != 0) {
        Log_Stored(ctx, "FAIL", "info",
                   Format("Failed to write Calendar information to database for user account %s. ret=%d", acct, rc));
        return Turn::FileFailure;
    }
    Log_Progress(ctx, Format("Finished writing Calendar information to database for user account %s.", acct));
    return Turn::Done;
}

}  // namespace

std::vector<CalendarData> Calendar_Events_From_Listing(const csvx::Document& doc) {
    int columns[std::size(kEventColumns)];
    for (size_t c = 0; c < std::size(kEventColumns); ++c) columns[c] = doc.ColumnIndex(kEventColumns[c].column);
    std::vector<CalendarData> events;
    events.reserve(doc.RowCount());
    for (size_t i = 0; i < doc.RowCount(); ++i) {
        CalendarData e;
        for (size_t c = 0; c < std::size(kEventColumns); ++c) e.*(kEventColumns[c].field) = Cell(doc, columns[c], i);
        if (e.strID.empty() || e.strCalendarID.empty()) continue;
        e.strLocalID = smbbackup::Create_New_ID();
        e.llStartTimeStamp = Event_Time(e.strStartDateTime, e.strStartDate);
        e.llEndTimeStamp = Event_Time(e.strEndDateTime, e.strEndDate);
        events.push_back(std::move(e));
    }
    return events;
}

std::map<std::string, CalendarData> Calendar_Snapshot(std::vector<CalendarData>& events) {
    std::map<std::string, CalendarData> snapshot;
    for (CalendarData& e : events) {
        const std::string id = e.strID;
        snapshot.insert_or_assign(id, std::move(e));
    }
    return snapshot;
}

int Calendar_Replace_Snapshot(const csvx::Document& doc, const char* account, const char* task, int64_t* accepted,
                              const csvx::Document* again) {
    std::vector<CalendarData> events = Calendar_Events_From_Listing(doc);
    if (again != nullptr) {
        // The second listing's rows come later, so they replace the first's in the snapshot.
        for (CalendarData& e : Calendar_Events_From_Listing(*again)) events.push_back(std::move(e));
    }
    // An event keeps its local id from run to run, so a selection made by local id (a restore)
    // still names it after the next backup.
    std::vector<std::pair<std::string, std::string>> ids;
    Calendar_Read_Local_Ids(ids, account, task);  // an unreadable catalog: fresh ids
    const std::map<std::string, std::string> previous(ids.begin(), ids.end());
    for (CalendarData& e : events) {
        auto p = previous.find(e.strID);
        if (p != previous.end()) e.strLocalID = p->second;
    }
    const std::map<std::string, CalendarData> snapshot = Calendar_Snapshot(events);
    if (accepted != nullptr) *accepted = static_cast<int64_t>(again != nullptr ? snapshot.size() : events.size());
    return Calendar_Write_DB(snapshot, account, task);
}

int Backup_Calendar(GWSTask* pTask, std::string strMissionPath, const char* pszCurrentLoginUser,
                    sqlite3* sqlDatabase) {
    return Run_Service(kCalendar, pTask, strMissionPath, pszCurrentLoginUser, sqlDatabase, Backup_Calendar_Account);
}

int Count_Calendar(GWSTask* pTask, int64_t* llCount, const char* pszCurrentLoginUser, sqlite3* sqlDatabase) {
    return Count_Service(kCalendar, pTask, llCount, pszCurrentLoginUser, sqlDatabase,
                         [](const std::string& account, const std::string& errPath, int64_t& n) {
                             Listing l = Run_Listing(Event_Listing_Line(account), errPath, kEventHeader);
                             if (l.result != ListingResult::Ok) return false;
                             n = static_cast<int64_t>(Calendar_Events_From_Listing(l.doc).size());
                             return true;
                         });
}
