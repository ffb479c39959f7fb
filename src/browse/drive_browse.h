// Browsing and advanced search of what the Drive and Shared Drive backups stored: a page of one
// folder, one item's details, and a search over a whole account or shared drive.
//
// These actions only read. Request names are checked before they reach a path, a lock or a
// catalog (task_id: the id form; domain_user_email and shared_drive_id: one path component;
// otherwise 5302 with the parameter's name), and no request creates a file or folder: the
// writers' locks are taken shared and only when their file exists, and catalogs are opened only
// when they exist. Each action prints exactly one reply.
#pragma once

class O_APP_CGI_AGENT;

namespace qlm {

// A page of a folder of an account's backed-up Drive: task_id, domain_user_email, start, limit,
// index (the folder's catalog index; none gives an empty page), key_word (optional: a search
// over the whole account; "total" stays the folder's child count). {"success": true} alone while
// a backup or restore writes the account.
int List_Drive_Local_Backup(O_APP_CGI_AGENT* agent);
// The same for a backed-up shared drive named by its uuid (shared_drive_id); index is required.
// {"success": true} alone for a uuid without mapping row or store folder, and while it is written.
int List_Shared_Drive_Local_Backup(O_APP_CGI_AGENT* agent);

// One item's "data" by its index: name, type, create_time, modify_time, path, size, backup_time,
// and "Owner" (Drive) or "members" (shared drive). An index that no row has: 5302 "index".
int Drive_Single_Info(O_APP_CGI_AGENT* agent);
int Shared_Drive_Single_Info(O_APP_CGI_AGENT* agent);

// Every row matching the filters (name_key_word, type, size_search_type, size, the time ranges;
// member_key_word for shared drives), written out row by row, with their number as "total".
int Drive_Advanced_Search(O_APP_CGI_AGENT* agent);
int Shared_Drive_Advanced_Search(O_APP_CGI_AGENT* agent);

}  // namespace qlm
