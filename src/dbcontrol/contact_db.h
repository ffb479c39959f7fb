// The contact and contact-group catalogs: one SQLite file per task and account each,
// <backup root>/contact_db/<task id>/<e-mail>.db and <backup root>/group_contact_db/<task id>/<e-mail>.db,
// holding the account's last snapshot. Each backup replaces a snapshot whole, in one transaction:
// a reader sees the old snapshot or the new one, and a failed write keeps the old one.
//
// A contact's JSON keys are its column names with every "_0_" written ".0." ("names.0.displayName");
// a group's keys are its column names ("memberCount" is a text). Results: 0; -22; -161.
#pragma once

#include <sqlite3.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "appgenerallib.h"
#include "plat_json.h"

// Open routines for writing (folder and file created); *ppDb is the caller's to close.
int Contact_SQL_Open_Datebase(sqlite3** ppDb, const char* pszUserEmail, const char* pszTaskID, bool bDelOldDBIfExist);
int Group_Contact_SQL_Open_Datebase(sqlite3** ppDb, const char* pszUserEmail, const char* pszTaskID,
                                    bool bDelOldDBIfExist);

// A malloc'd copy of pszText with a backslash before every "/" (how stored memberships spell a
// group's resource name); the caller frees it. NULL for NULL or when memory runs out.
char* EscapeSlashForJson(const char* pszText);

// Replace the snapshot: contacts in local-id order (the map key is the local id), groups in
// vector order; row ids start at 1. An empty map or vector leaves an empty table.
int Contact_Write_DB(const std::map<std::string, ContactData>& mapContactData, const char* pszUserEmail,
                     const char* pszTaskID);
int Group_Contact_Write_DB(const std::vector<ContactGroupData>& vecGroupData, const char* pszUserEmail,
                           const char* pszTaskID);

// The snapshot's local ids as (Google's id: the resource name, local id) pairs in row order, for
// the next snapshot to keep them. The pairs are replaced; none without a catalog. 0; -22; -161.
int Contact_Read_Local_Ids(std::vector<std::pair<std::string, std::string>>& vecIds, const char* pszUserEmail, const char* pszTaskID);

// Removes the account's contact catalog: an account without contacts keeps none. 0; -22.
int Contact_Remove_DB(const char* pszUserEmail, const char* pszTaskID);

// Every contact, newest row first. 0; -22; -161 (also for a catalog never written).
int Contact_Get_DB_Data(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID);

// One page of the contacts of one group (pszGroupName: the group's resource name, matched
// exactly as a membership id). A keyword (NULL or "" for none) matches, as a LIKE substring,
// names_0_displayName, emailAddresses_0_value, phoneNumbers_0_value, organizations_0_department,
// organizations_0_name or organizations_0_title. A NULL group gives nothing. Always 0.
int Contact_Get_DB_Data_For_Pagination(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID, int iStart,
                                       int iLimit, const char* pszGroupName, const char* pszKeyWord);
// The number of contacts the pages of that group and keyword hold together; 0 on any failure.
int Contact_Get_Number_Of_Record(const char* pszUserEmail, const char* pszTaskID, const char* pszGroupName,
                                 const char* pszKeyWord);

// Every group, newest row first. Always 0.
int Group_Contact_Get_DB_Data(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID);
