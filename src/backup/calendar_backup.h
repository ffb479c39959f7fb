// The Calendar service of a backup run and its pre-count (Backup_Calendar and Count_Calendar are
// declared with the other services in backup_service.h).
//
// Each run takes a full snapshot of every selected account's primary calendar from
// "gam calendars <account> print events" and replaces the account's catalog
// calendar_db/<task>/<account>.db with it; the store folder BK/calendar/<task>/<account>/ stays
// empty. Locks: BK/calendar/<task>.calendar_lck and BK/calendar/<task>/<account>.calendar_lck.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "appgenerallib.h"
#include "backup/backup_service.h"
#include "common/csvreader.h"

// The events of an event listing, in listing order: every row with a non-empty "id" and
// "calendarId" (an event without a title included), each with a fresh local id, its columns by
// name (a missing column reads empty) and its start and end in seconds (the date-time, else the
// all-day date, else 0).
std::vector<CalendarData> Calendar_Events_From_Listing(const csvx::Document& doc);

// The snapshot of those events: one entry per event id, a later row with the same id replacing
// the earlier one.
std::map<std::string, CalendarData> Calendar_Snapshot(std::vector<CalendarData>& events);

// Replaces the account's catalog with the snapshot of a listing's events; an event already in the
// previous snapshot keeps its local id, so a selection made by local id (a restore) still names it.
// *accepted (when given) gets the number of accepted rows. With a second listing of the account
// (again), the snapshot holds the events of both, the second's row where both hold an event.
// Calendar_Write_DB's result.
int Calendar_Replace_Snapshot(const csvx::Document& doc, const char* account, const char* task, int64_t* accepted,
                              const csvx::Document* again = nullptr);
