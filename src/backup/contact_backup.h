// The Contacts service of a backup run and its pre-count (Backup_Contact and Count_Contact are
// declared with the other services in backup_service.h).
//
// Each run takes a full snapshot of every selected account's contact groups
// ("gam user <account> print contactgroup") and contacts ("gam user <account> print contacts
// allfields") and replaces the account's catalogs group_contact_db/<task>/<account>.db and
// contact_db/<task>/<account>.db with them; both listings are read before either catalog is
// written. The store folder BK/contact/<task>/<account>/ stays empty. Locks:
// BK/contact/<task>.contact_lck and BK/contact/<task>/<account>.contact_lck.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "appgenerallib.h"
#include "backup/backup_service.h"
#include "common/csvreader.h"

// The groups of a group listing, one per row, in listing order.
std::vector<ContactGroupData> Contact_Groups_From_Listing(const csvx::Document& doc);

// The contacts of a contact listing, in listing order, each under a fresh local id: every row but
// those whose "resourceName" begins with "otherContacts/" (identical rows stay two contacts).
// A contact's membership list is the compact JSON [{"id","name"},...] of every membership column
// pair the header has ("memberships.<d>.contactGroupMembership.contactGroupId" and
// "...contactGroupResourceName", in order of d) whose two cells are set, then
// {"id":"contactGroups/all","name":"all"}; "/" is written "\/".
std::vector<ContactData> Contacts_From_Listing(const csvx::Document& doc);

// The snapshot of those contacts, keyed by local id.
std::map<std::string, ContactData> Contact_Snapshot(std::vector<ContactData>& contacts);

// Replaces the account's contact catalog with the snapshot of a listing's contacts, or removes it
// when the listing has no rows (an account without contacts keeps no contact catalog). A contact
// already in the previous snapshot keeps its local id (by resource name; identical rows take the
// previous ids in turn). *stored (when given) gets the number of contacts written. With a second
// listing of the account (again), the snapshot holds its contacts and those of doc it lacks (by
// resource name). 0, or the catalog routine's result.
int Contact_Replace_Snapshot(const csvx::Document& doc, const char* account, const char* task, int64_t* stored,
                             const csvx::Document* again = nullptr);
