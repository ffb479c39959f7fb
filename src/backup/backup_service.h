// The service backups of a run, as the run driver calls them, and the running-record progress
// every service keeps.
//
// A service function backs up one service of a task into the store. 0 or more: done (single
// accounts or items may have failed; each failure has its activity-log row). Below 0: a failed
// attempt the retry wrapper repeats (-1: a later attempt can succeed, such as a held lock or a lost
// connection; -161: a file or catalog failure). Every attempt starts from the top.
// Every service and every pre-count gets the run's activity-log handle and stores at least its FAIL
// and warn rows, so no skipped account or failed item is hidden; with a NULL handle nothing is stored.
#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "mission/mission_record.h"

class GWSTask;
struct json_object;

// (task, path of the running mission record, login user named in rows, activity-log handle or NULL)
using BackupServiceFn = int (*)(GWSTask* pTask, std::string strMissionPath, const char* pszCurrentLoginUser,
                                sqlite3* sqlDatabase);

// Drive: every selected account's Drive into BK/drive/<task id>/<account>/.
int Backup_Drive(GWSTask* pTask, std::string strMissionPath, const char* pszCurrentLoginUser, sqlite3* sqlDatabase);
// Shared Drive: every selected shared drive into BK/shared_drive/<task id>/<uuid>/.
int Backup_Shared_Drive(GWSTask* pTask, std::string strMissionPath, const char* pszCurrentLoginUser,
                        sqlite3* sqlDatabase);
// Gmail: every selected account's mailbox into BK/gmail/<task id>/<account>/, smallest mailbox
// first, resuming from the running record's "gmail_last_user" and "gmail_last_index".
int Backup_Gmail(GWSTask* pTask, std::string strMissionPath, const char* pszCurrentLoginUser, sqlite3* sqlDatabase);
// Writes a run's first running record. When a killed run of the same mission left its record there
// with a Gmail resume point, the new record keeps "gmail_last_user" and "gmail_last_index", so the
// new run goes on where the killed one stopped. startRecord gains the two keys too, so that the
// driver's later rewrites of the running record keep them until the Gmail service has read them.
void Write_Start_Record_Keeping_Gmail_Resume(const std::string& strMissionPath, json_object* startRecord);
// Removes the Gmail resume point from a record the driver files in the history.
void Drop_Gmail_Resume(json_object* record);
// Calendar and Contacts: every selected account's events, and contacts with their groups, as a
// snapshot that replaces the account's catalogs.
int Backup_Calendar(GWSTask* pTask, std::string strMissionPath, const char* pszCurrentLoginUser,
                    sqlite3* sqlDatabase);
int Backup_Contact(GWSTask* pTask, std::string strMissionPath, const char* pszCurrentLoginUser, sqlite3* sqlDatabase);

// Pre-counts, for the run's progress totals: 0 with the number of items stored through the count;
// below 0 with it untouched, only when the user or shared-drive list itself cannot be read (a single
// account or drive that cannot be counted counts 0, with a warn row).
int Count_Drive(GWSTask* pTask, int64_t* llCount, const char* pszCurrentLoginUser, sqlite3* sqlDatabase);
int Count_Shared_Drive(GWSTask* pTask, int64_t* llCounter, const char* pszCurrentLoginUser, sqlite3* sqlDatabase);
// The messages of the selected accounts as GAM counts them; below 0 only when the user list or a
// count process cannot be had.
int Count_Gmail(GWSTask* pTask, int64_t* llCount, const char* pszCurrentLoginUser, sqlite3* sqlDatabase);
// Not built yet: count 0 and succeed.
int Count_Calendar(GWSTask* pTask, int64_t* llCount, const char* pszCurrentLoginUser, sqlite3* sqlDatabase);
int Count_Contact(GWSTask* pTask, int64_t* llCount, const char* pszCurrentLoginUser, sqlite3* sqlDatabase);
