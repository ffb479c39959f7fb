// The simulated Workspace domain: plain records and the functions that load and store them.
//
// The domain is a folder of small JSON files, split so that one tool call reads only what it
// needs (the directory, or one user's Drive, or one mailbox):
//
//   domain.json                      domains (primary first), customer id, users, shared drives + members
//   seq                              counter behind every new id (deterministic for a fresh domain)
//   lock                             flock: held exclusively by every writer of the state
//   keys/<private_key_id>.json       registered service-account keys and their grants
//   users/<email>/drive.json         {"root_id", "items": [...]}
//   users/<email>/blobs/<item id>    content of a file (the text of a Docs, Sheets or Slides file)
//   users/<email>/mail.json          {"labels": [...], "messages": [...]}  (flags are labels)
//   users/<email>/eml/<message id>   raw RFC 822 bytes
//   users/<email>/calendar.json      {"events": [{dotted field: value, ...}]}
//   users/<email>/contacts.json      {"groups": [...], "contacts": [...], "other_contacts": [...]}
//   shared/<drive id>/drive.json     {"root_id" = drive id, "items": [...]}
//   shared/<drive id>/blobs/<item id>
//   faults.json, calls.jsonl, calls.lock   the tool framework's (toolrun.h)
//
//   users/<email>/drive.idx, mail.idx, shared/<drive id>/drive.idx
//                                    SQLite index beside drive.json / mail.json: their rows one by one,
//                                    plus the items and messages tools added since the JSON was written
//
// Every JSON file is replaced whole (temporary file + rename), so readers need no lock and never see
// half a file; writers hold the lock (Gwssim_Lock_State) across their read-modify-write. A writer
// stores blobs and EML files before the JSON or index row that names them. A tool adding one item
// or message writes only the index row, so its cost does not grow with the Drive or mailbox; the
// index follows drive.json or mail.json whenever those are rewritten (by a save or by hand).
//
// Functions return 0 on success; -2 when a file is missing, -1 for anything else (unreadable,
// not the expected JSON, bad argument). None of them prints anything.
#pragma once

#include <string>
#include <utility>
#include <vector>

// One entry of an access list (shared-drive members, item permissions).
struct GwsMember {
    std::string email;           // empty for type "domain"
    std::string display_name;
    std::string role;            // organizer, fileOrganizer, writer, commenter, reader
    std::string type = "user";   // user, group, domain
};

struct GwsUser {
    std::string id;              // 21 decimal digits, as Google's
    std::string email;
    std::string name;            // full name
    bool admin = false;
};

struct GwsSharedDrive {
    std::string id;
    std::string name;
    std::vector<GwsMember> members;
};

struct GwsDomain {
    std::vector<std::string> domains;            // the primary domain first
    std::string customer_id;
    std::vector<GwsUser> users;                  // in listing order
    std::vector<GwsSharedDrive> shared_drives;   // in listing order
};

struct GwsDriveItem {
    std::string id;
    std::string name;                 // any bytes but NUL: quotes, "$(...)", "%", "/", newlines
    std::string mime_type;
    std::string parent;               // parent folder id; the root id (shared drive: its id) at the top;
                                      // an id the drive does not hold makes an orphan (a parent the
                                      // user cannot see)
    std::string owner;                // owner e-mail; empty in a shared drive
    std::string created_time;         // UTC with milliseconds, "2024-03-05T10:20:30.123Z"
    std::string modified_time;        // same form
    std::string md5;                  // hex MD5 of the blob; empty for folders and Google-native types
    long long size = -1;              // blob bytes; for Docs, Sheets and Slides their storage size (never
                                      // the length of their export); -1 for folders and other native types
    bool trashed = false;
    bool has_blob = false;            // a blob file holds the content or the export bytes
    std::vector<GwsMember> permissions;   // the item's own entries beyond its owner / drive members; a
                                          // user entry in a My Drive item shares it with that user
    std::string shortcut_target;      // a shortcut's target item id
};

// A user's My Drive (root_id is the user's root folder) or a shared drive (root_id = drive id).
struct GwsDrive {
    std::string root_id;
    std::vector<GwsDriveItem> items;  // never the root itself
};

struct GwsLabel {
    std::string id;                   // "Label_1", ...
    std::string name;
};

// System labels carry the flags: INBOX, STARRED, IMPORTANT, SENT, DRAFT, TRASH, SPAM, UNREAD.
struct GwsMessage {
    std::string id;                   // 16 hex digits
    std::string thread_id;
    long long internal_date = 0;      // milliseconds since 1970
    std::vector<std::string> labels;  // system label names and user label ids
};

struct GwsMailbox {
    std::vector<GwsLabel> labels;     // user labels
    std::vector<GwsMessage> messages;
};

// An event as the Calendar API's fields flattened with dots, in a fixed order: "id", "iCalUID",
// "status", "summary", "location", "start.date" or "start.dateTime" + "start.timeZone", the same
// for "end", "attendees" (count) and "attendees.0.email", "conferenceData.entryPoints.1.pin", ...
// An absent field has no entry.
struct GwsEvent {
    std::vector<std::pair<std::string, std::string>> fields;
};

struct GwsCalendar {
    std::vector<GwsEvent> events;
};

struct GwsTypedValue {
    std::string type;                 // work, home, mobile, other
    std::string value;
};

struct GwsContact {
    std::string resource_name;        // "people/c...", or "otherContacts/c..." for other contacts
    std::string given_name;
    std::string family_name;
    std::string display_name;
    std::vector<GwsTypedValue> emails;   // the first is the primary one
    std::vector<GwsTypedValue> phones;
    std::string org_name;
    std::string org_title;
    std::string org_department;
    std::vector<std::string> groups;     // contact-group resource names, "contactGroups/..."
};

struct GwsContactGroup {
    std::string resource_name;        // "contactGroups/myContacts", "contactGroups/a1b2c3"
    std::string name;
    std::string formatted_name;
    std::string group_type;           // SYSTEM_CONTACT_GROUP or USER_CONTACT_GROUP
};

struct GwsContacts {
    std::vector<GwsContactGroup> groups;
    std::vector<GwsContact> contacts;
    std::vector<GwsContact> other_contacts;
};

// A registered service-account key. Grants: "drive", "gmail", "calendar", "contacts".
struct GwsKey {
    std::string key_id;               // the key file's private_key_id: 40 hex digits
    std::string client_email;
    std::string client_id;
    std::string domain;               // the domain whose users it may act for
    std::vector<std::string> grants;
    bool enabled = true;              // false: revoked
};

// ---- Locating the state ----------------------------------------------------------------------

// $GWSSIM_ROOT when set and not empty; else $QLM_ROOT/var/lib/gwssim when QLM_ROOT names an
// absolute, existing folder other than "/"; else /var/lib/gwssim. Never ends in "/".
std::string Gwssim_Root();

// The state folder that registers the key of key_file. Further domains live beside the first one,
// as state folders root/domains/<name> (each made by gwssim init, with keys of its own); as with
// Google, the key alone says which domain answers. root when no folder registers the key (the
// tool then refuses it as unknown). The call log and fault rules stay in root for all domains.
std::string Gwssim_Key_Root(const std::string& root, const std::string& key_file);

// True for a text usable as one path component (user e-mails, ids): not empty, not "." or "..",
// no "/", no control characters.
bool Gwssim_Is_Path_Component(const std::string& s);

std::string Gwssim_User_Dir(const std::string& root, const std::string& email);
std::string Gwssim_Drive_Blob_Path(const std::string& root, const std::string& email, const std::string& item_id);
std::string Gwssim_Shared_Blob_Path(const std::string& root, const std::string& drive_id, const std::string& item_id);
std::string Gwssim_Eml_Path(const std::string& root, const std::string& email, const std::string& message_id);

// ---- Reading -----------------------------------------------------------------------------------

int Gwssim_Load_Domain(const std::string& root, GwsDomain& out);
int Gwssim_Load_Key(const std::string& root, const std::string& key_id, GwsKey& out);
// Reads a service-account key file (any JSON object with "private_key_id") and its registration.
// -2: the file is missing; -1: unreadable, not a key, or not registered here.
int Gwssim_Load_Key_File(const std::string& root, const std::string& key_file, GwsKey& out);
// Users without a Drive file of their own have an empty Drive with root id "" (loads give 0).
int Gwssim_Load_Drive(const std::string& root, const std::string& email, GwsDrive& out);
int Gwssim_Load_Shared_Drive(const std::string& root, const std::string& drive_id, GwsDrive& out);
int Gwssim_Load_Mailbox(const std::string& root, const std::string& email, GwsMailbox& out);
int Gwssim_Load_Calendar(const std::string& root, const std::string& email, GwsCalendar& out);
int Gwssim_Load_Contacts(const std::string& root, const std::string& email, GwsContacts& out);
int Gwssim_Read_File(const std::string& path, std::string& bytes);

// ---- Lookups -------------------------------------------------------------------------------------

const GwsUser* Gwssim_Find_User(const GwsDomain& d, const std::string& email);
const GwsSharedDrive* Gwssim_Find_Shared_Drive(const GwsDomain& d, const std::string& id);
// True when the domain part of email (after the last "@") is one of the domain's domains.
bool Gwssim_In_Domain(const GwsDomain& d, const std::string& email);
// True when the key is registered for one of the domain's domains.
bool Gwssim_Key_In_Domain(const GwsDomain& d, const GwsKey& k);
bool Gwssim_Key_Has_Grant(const GwsKey& k, const char* grant);
// The access check every tool makes first: loads the domain and the key that key_file names; the
// key must be registered here, enabled, and belong to one of the domain's domains. On failure err
// holds the one "ERROR: ..." line a tool prints (without its line end).
int Gwssim_Authorize(const std::string& root, const std::string& key_file, GwsDomain& dom, GwsKey& key,
                     std::string& err);
bool Gwssim_Has_Label(const GwsMessage& m, const std::string& label);
// The field's value, or nullptr when the event has none.
const std::string* Gwssim_Event_Field(const GwsEvent& e, const char* name);
// Replaces the field's value, or appends the field.
void Gwssim_Event_Set(GwsEvent& e, const std::string& name, const std::string& value);

// ---- Writing (hold the lock) ----------------------------------------------------------------------

// The exclusive state lock; closing the descriptor releases it.
struct GwsLock {
    int fd = -1;
    GwsLock() = default;
    GwsLock(const GwsLock&) = delete;
    GwsLock& operator=(const GwsLock&) = delete;
    ~GwsLock();
};

// Blocks until the lock is held. -1 when the state folder cannot be opened.
int Gwssim_Lock_State(const std::string& root, GwsLock& lock);

// Replaces path with bytes through a temporary file in the same folder; creates missing folders.
int Gwssim_Write_File(const std::string& path, const std::string& bytes);
// The same with the content of another file (e.g. a file to upload). md5 and size of what was
// copied are given back.
int Gwssim_Copy_File_In(const std::string& src, const std::string& dst, std::string& md5, long long& size);

int Gwssim_Save_Domain(const std::string& root, const GwsDomain& d);
int Gwssim_Save_Key(const std::string& root, const GwsKey& k);
int Gwssim_Save_Drive(const std::string& root, const std::string& email, const GwsDrive& d);
int Gwssim_Save_Shared_Drive(const std::string& root, const std::string& drive_id, const GwsDrive& d);
int Gwssim_Save_Mailbox(const std::string& root, const std::string& email, const GwsMailbox& m);
int Gwssim_Save_Calendar(const std::string& root, const std::string& email, const GwsCalendar& c);
int Gwssim_Save_Contacts(const std::string& root, const std::string& email, const GwsContacts& c);

// ---- One item at a time (hold the lock to add) --------------------------------------------------
// These cost about the same whatever the size of the Drive or mailbox; the whole loads and saves
// above see what they add.

// The item with that id in the user's Drive (in the shared drive); -2 when it holds none. root_id,
// when given, gets the Drive's stored root id ("" when none is stored yet).
int Gwssim_Find_Drive_Item(const std::string& root, const std::string& email, const std::string& id,
                           GwsDriveItem& out, std::string* root_id = nullptr);
int Gwssim_Find_Shared_Drive_Item(const std::string& root, const std::string& drive_id, const std::string& id,
                                  GwsDriveItem& out);
// The user's stored Drive root id, "" when none is stored yet.
int Gwssim_Drive_Root_Id(const std::string& root, const std::string& email, std::string& root_id);
// Appends one item; a non-empty root_id is stored as the Drive's root id.
int Gwssim_Add_Drive_Item(const std::string& root, const std::string& email, const GwsDriveItem& it,
                          const std::string& root_id = std::string());
int Gwssim_Add_Shared_Drive_Item(const std::string& root, const std::string& drive_id, const GwsDriveItem& it);
// The message with that id; -2 when the mailbox holds none.
int Gwssim_Find_Message(const std::string& root, const std::string& email, const std::string& id, GwsMessage& out);
// The mailbox's user labels, in order.
int Gwssim_Load_Labels(const std::string& root, const std::string& email, std::vector<GwsLabel>& out);
// Appends a message, after the new user labels it brings.
int Gwssim_Add_Message(const std::string& root, const std::string& email, const std::vector<GwsLabel>& new_labels,
                       const GwsMessage& m);

// A new id of the given kind from the state's counter (hold the lock):
//   "file"    33 characters [A-Za-z0-9_-], Drive item ids
//   "message" 16 hex digits (also thread ids)
//   "event"   26 characters [a-v0-9]
//   "contact" "c" and 19 digits (use with "people/")
//   "group"   12 hex digits (use with "contactGroups/")
//   "label"   "Label_" and a number
int Gwssim_New_Id(const std::string& root, const char* kind, std::string& id);
// The same ids from an explicit number (init uses its own counter).
std::string Gwssim_Format_Id(const char* kind, unsigned long long n);

// ---- Values ----------------------------------------------------------------------------------------

// Google Docs, Sheets and Slides: stored as their text, downloaded as an OpenDocument export.
bool Gwssim_Is_Editor_Type(const std::string& mime);
// Drawings and Apps Script projects: native types Drive has no export for that GAM can fetch.
bool Gwssim_Is_Unexportable_Type(const std::string& mime);
// The export of an editor file whose text is `text`: an OpenDocument package (.odt, .ods or .odp
// by type) holding the text line by line. Same text, same bytes.
std::string Gwssim_Odf_Export(const std::string& mime, const std::string& text);

std::string Gwssim_Md5_Hex(const std::string& bytes);
// Now as "2024-03-05T10:20:30.123Z".
std::string Gwssim_Now_Time();
// Milliseconds since 1970 as "2024-03-05T10:20:30.123Z".
std::string Gwssim_Format_Time(long long ms);
