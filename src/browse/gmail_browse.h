// Browsing of an account's backed-up mail: the six folders with their counts, a page of one
// folder (the Inbox's first page kept in a cache file), and the search by sender, recipient,
// subject, date range and attachments. Every mail shown is summarised from its stored EML file.
//
// Names are checked before they become paths (task_id: the id form; domain_user_email and every
// local id: one path component; an EML file must be a regular file in the store folder), every
// emlsift argument is quoted, every keyword reaches the catalog bound, and no request creates a
// catalog or a store folder.
#pragma once

class O_APP_CGI_AGENT;

namespace qlm {

// {"success": true, "list": [{"name", "amount"} x 6]}; {"success": true} alone while a backup or
// restore writes the account.
int Gmail_List(O_APP_CGI_AGENT* agent);
// {"success": true, "list": summaries, "total": the folder's count (0 for an empty page)}.
int List_Gmail_Local_Backup(O_APP_CGI_AGENT* agent);
// {"success": true, "list": summaries, "total": their number}.
int Gmail_Advanced_Search(O_APP_CGI_AGENT* agent);

}  // namespace qlm
