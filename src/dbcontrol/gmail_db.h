// The Gmail catalog: one SQLite file per task and account, <backup root>/gmail_db/<task id>/<e-mail>.db
// (beside it the account's first-page cache <e-mail>.cache), one row per saved message. The file
// is in write-ahead-log mode and is created only by the append; readers never create it.
// A message's JSON row is exactly {"localid": <drive_localid>}.
//
// Mail folders: NULL, "Inbox" or any name not listed select every message; "Starred",
// "Important", "Sent", "Drafts" and "Trash" (exact) the rows whose flag of that name is 1.
// Keywords are LIKE substrings ('%' and '_' act as wildcards). Results: 0; -22; -161.
#pragma once

#include <sqlite3.h>

#include <map>
#include <utility>
#include <vector>
#include <string>

#include "appgenerallib.h"
#include "plat_json.h"

// The account's first-page cache "<backup root>/gmail_db/<task id>/<e-mail>.cache"; empty when a
// name is not one path component.
std::string Gmail_Cache_File(const char* pszUserEmail, const char* pszTaskID);

// Opens an existing catalog (never creates it); *ppDb is the caller's to close.
// bDelOldDBIfExist first removes the catalog with its companions, the account's ".cache" and its
// mail summary store, so the open then fails. 0; -22; -161.
int Gmail_SQL_Open_Datebase(sqlite3** ppDb, const char* pszUserEmail, const char* pszTaskID, bool bDelOldDBIfExist);
// Creates the table and its unique gmail_id index when missing. 0; -22 for a NULL db; -161.
int Gmail_SQL_Create_Table(sqlite3* db);

// Appends (INSERT OR REPLACE: a message already there gets a new row id and comes first) every
// message in one transaction. A failing row is skipped and the others stay; the result is then
// -161. An empty map opens nothing. pLogDb is accepted and unused.
int Gmail_Write_DB_Append(const std::map<std::string, GmailData>& mapGmailData, const char* pszUserEmail,
                          const char* pszTaskID, sqlite3* pLogDb);
// Adds the catalog's messages (those with a Gmail id and a local id) to the caller's map, which
// is not cleared first. A catalog never written adds nothing and gives 0. On a read error the
// map is left exactly as it was, SQLite's text and code are printed as "%s(%d)\n", and -161.
int Gmail_Read_DB(std::map<std::string, GmailData>& mapGmailData, const char* pszUserEmail, const char* pszTaskID);
// (local id, subject) of every catalogued message, in row order: the subjects the backup read
// from the stored mails. 0; -22; -161 (also for a catalog never written); out is replaced on 0 only.
int Gmail_Read_Subjects(std::vector<std::pair<std::string, std::string>>& out, const char* pszUserEmail,
                        const char* pszTaskID);
// 0 also when the message was not catalogued; -161 when the catalog does not exist.
int Gmail_Delete_DB(const char* pszTaskID, const char* pszUserEmail, const char* pszGmailID);
// Every message. 0; -22; -161 (also for a catalog never written).
int Gmail_Get_DB_Data(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID);
// One page of a folder; a keyword (NULL or "" for none) matches sender name or address,
// recipient name or address, or subject. Always 0.
int Gmail_Get_DB_Data_For_Pagination(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID, int iStart,
                                     int iLimit, const char* pszKeyWord, const char* pszFolder);
// The number of messages of a folder (never filtered by a keyword); 0 on any failure.
int Gmail_Get_Number_Of_Record(const char* pszUserEmail, const char* pszTaskID, const char* pszFolder);
// Matching messages, newest first, no limit: sender keyword on the sender's name, recipient
// keyword on the recipient's name, subject keyword (each when not NULL), has-attachment 0 or 1
// (other values: either), dates in seconds (a bound counts when above 0, both ends inclusive).
// No filter at all gives an empty list. Always 0.
int Gmail_Get_DB_Data_For_Advance_Search(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID,
                                         const char* pszSenderKeyWord, const char* pszRecipientKeyWord,
                                         const char* pszSubjectKeyWord, int iDateEarly, int iDateLate,
                                         int iHasAttachment);
// The message counts of the six mail folders in one read, in the order Inbox, Starred,
// Important, Sent, Drafts, Trash (the numbers Gmail_Get_Number_Of_Record gives each). Also the
// cheap proof that the catalog can be read: 0; -22; -161 when it is missing or unreadable (the
// counts are then left alone).
int Gmail_Get_Folder_Counts(const char* pszUserEmail, const char* pszTaskID, int (&counts)[6]);
