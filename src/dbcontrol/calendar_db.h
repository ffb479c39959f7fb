// The calendar catalog: one SQLite file per task and account,
// <backup root>/calendar_db/<task id>/<e-mail>.db, holding the account's last snapshot of events
// (54 texts named after GAM's flattened event columns, then start and end in seconds). Each
// backup replaces the snapshot whole in one transaction; a failed write keeps the old one.
//
// A row as JSON has eleven text keys: "summary", "localid", "location", "creator.email",
// "end.dateTime", "start.dateTime", "calendarId", "end.date", "start.date", "end.timeZone",
// "start.timeZone". The column and key "calendarId" hold the map key under which the backup put
// the event, which is the event's id (the record's own strCalendarID is not stored).
// Keywords are LIKE substrings ('%' and '_' act as wildcards). Results: 0; -22; -161.
#pragma once

#include <sqlite3.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "appgenerallib.h"
#include "plat_json.h"

// Open routine for writing (folder and file created); *ppDb is the caller's to close.
int Calendar_SQL_Open_Datebase(sqlite3** ppDb, const char* pszUserEmail, const char* pszTaskID, bool bDelOldDBIfExist);

// Replaces the snapshot with the events in key order; row ids start at 1. An empty map leaves
// an empty table.
int Calendar_Write_DB(const std::map<std::string, CalendarData>& mapCalendarData, const char* pszUserEmail,
                      const char* pszTaskID);
// The snapshot's local ids as (Google's id: the event id, local id) pairs in row order, for
// the next snapshot to keep them. The pairs are replaced; none without a catalog. 0; -22; -161.
int Calendar_Read_Local_Ids(std::vector<std::pair<std::string, std::string>>& vecIds, const char* pszUserEmail, const char* pszTaskID);

// Every event, newest row first. 0; -22; -161 (also for a catalog never written).
int Calendar_Get_DB_Data(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID);
// One page; a keyword (NULL or "" for none) matches summary, location, creator_email,
// creator_self and the six start/end date, date-time and time-zone columns. Always 0.
int Calendar_Get_DB_Data_For_Pagination(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID, int iStart,
                                        int iLimit, const char* pszKeyWord);
// The number of all events (never filtered by a keyword); 0 on any failure.
int Calendar_Get_Number_Of_Record(const char* pszUserEmail, const char* pszTaskID);
// Matching events, newest first, no limit: keyword on summary and location keyword on location
// (each when not NULL), and dates (a bound counts when above 0): both bounds select the events
// that overlap [early, late]; only late those that start or end at or before it; only early those
// that start or end at or after it. An event without an end has end_timestamp 0, so "only late"
// always finds it. No filter at all gives an empty list. Always 0.
int Calendar_Get_DB_Data_For_Advance_Search(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID,
                                            const char* pszKeyWord, const char* pszLocationKeyWord, int iDateEarly,
                                            int iDateLate);
