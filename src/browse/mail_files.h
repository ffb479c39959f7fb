// What the mail list, search and view read of a stored mail: its EML file in the account's store
// folder, and the JSON that emlsift makes of it.
#pragma once

#include <cstdint>
#include <string>

#include "dbcontrol/mail_summary_db.h"
#include "plat_json.h"

namespace qlm {

// "<backup root>/gmail/<task>/<account>": the account's mail store folder.
std::string Mail_Store_Dir(const char* task, const char* account);
// The mail's EML file in that folder; empty when the local id is not one path component.
std::string Eml_Path(const char* task, const char* account, const char* localid);
// The account's writer lock "<backup root>/gmail/<task>/<account>.gmail_lck".
std::string Mail_Lock_Path(const char* task, const char* account);

// The file's size from stat; -1 when stat fails.
int64_t getFileSize(const std::string& path);

// s without one pair of surrounding double quotes; s itself when it is shorter than two
// characters or does not both start and end with one.
std::string removeOuterQuotes(const std::string& s);

// Runs "<bin>/emlsift -i EML --format json OPTION >RESULT 2>/dev/null" (every text quoted as one
// shell word) with a fresh private result file that is removed afterwards, and parses the result.
// 0 with out set to the object; -1 when the command could not run or ended with a status other
// than 0; -2 when its output is not a JSON object.
int Run_Emlsift(const std::string& eml, const char* option, RAIIful_Json& out);

// What the header and attachment results of emlsift say of a mail (either may be NULL).
Mail_Fields Fields_Of(PT_JSON dump, PT_JSON attachments);

// The summary of one mail of a list: localid, sender, sender_mail, recipient, recipient_mail,
// subject, date (seconds, -1 when unreadable), size and attachment (the number listed).
// bRemoveQuotes removes one pair of double quotes around the display names.
PT_JSON Mail_Summary(const char* localid, const Mail_Fields& fields, int64_t size, bool bRemoveQuotes);

// The summaries of the catalog rows (each with its "localid") whose EML file is a regular file of
// the account's store and can be analysed, in row order; the others are left out. A mail is
// analysed (the header and the attachment commands) only when the summary store has no entry for
// its file yet; new entries are stored at the end in one transaction.
PT_JSON Summarise_Mails(PT_JSON rows, const char* task, const char* account, bool bRemoveQuotes);

}  // namespace qlm
