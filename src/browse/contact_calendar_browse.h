// Browsing of what the Contacts and Calendar backups stored: an account's contact groups and a
// page of one group's contacts, the account's calendar and a page of its events, and the event
// search. They only read: names are checked before they become paths (task_id: the id form,
// domain_user_email: one path component), catalogs are opened read-only and only when they
// exist, and a writer's lock is tested shared without ever creating the lock file.
#pragma once

#include <string>

#include "plat_json.h"

class O_APP_CGI_AGENT;

namespace qlm {

// {"success": true, "list": groups} with {"resourceName", "formattedName", "amount"} each;
// {"success": true} alone while a Contacts backup writes the account.
int Contact_List(O_APP_CGI_AGENT* agent);
// A page of the contacts of the group contact_name (its resource name), optionally filtered by
// key_word, with the number the group holds under that keyword as "total".
int List_Contact_Local_Backup(O_APP_CGI_AGENT* agent);
// {"success": true, "list": [account]} when the task has a calendar catalog folder, else [].
int Calendar_List(O_APP_CGI_AGENT* agent);
// A page of the account's events, ordered by start time, with the number of all its events.
int List_Calendar_Local_Backup(O_APP_CGI_AGENT* agent);
// Every event matching key_word (summary), location_key_word and the date range.
int Calendar_Advanced_Search(O_APP_CGI_AGENT* agent);

// "amount" of a group: its member count when the text is wholly decimal, else 0.
int Member_Amount(const char* memberCount);
// The contact item of a catalog row.
PT_JSON Contact_Item(PT_JSON row);
// The event item of a catalog row; its times in seconds from the date-time, else the date.
PT_JSON Event_Item(PT_JSON row);

}  // namespace qlm
