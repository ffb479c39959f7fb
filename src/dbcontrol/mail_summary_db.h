// The mail summary store: what the mail list and search read from each stored EML file, kept in
// <backup root>/gmail_db/<task id>/<e-mail>.summaries beside the account's catalog, so a repeated
// page or search never analyses the same mail again. A stored mail never changes; each entry also
// carries the file's size and modification time, and one that no longer matches the file is
// analysed afresh. The catalog's delete-on-open removes the store with the catalog.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "dbcontrol/catalog_common.h"

namespace qlm {

// What a mail's headers and attachment list say; names as parsed, quotes kept.
struct Mail_Fields {
    std::string sender, senderMail, recipient, recipientMail, subject;
    int64_t date = -1;    // seconds since 1970, -1 when unreadable
    int attachments = 0;  // entries of the attachment list
};

// The identity of a stored file: a summary is valid only for the same size and time.
struct Mail_File_Stamp {
    int64_t size = -1;
    int64_t mtimeNs = 0;
};

// The store's file for an account; empty when a name is not one path component.
std::string Mail_Summary_File(const char* pszUserEmail, const char* pszTaskID);

// Opens the account's store, creating the file (never its folder: an account whose catalog
// folder is not there has no store). 0; -22 for unusable names; -161.
int Mail_Summary_Open(const char* pszUserEmail, const char* pszTaskID, catalog::DbHandle& db);
// 0 and out filled when an entry of the local id with that stamp is there; -2 when none is;
// -161 on a read error.
int Mail_Summary_Find(sqlite3* db, const char* localid, const Mail_File_Stamp& stamp, Mail_Fields& out);
// Adds or replaces the entry of the local id. 0 or -161.
int Mail_Summary_Put(sqlite3* db, const char* localid, const Mail_File_Stamp& stamp, const Mail_Fields& fields);

}  // namespace qlm
