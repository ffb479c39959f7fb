// What the mail list, search and view read of a stored mail: its EML file in the account's store
// folder, and the JSON that emlsift makes of it.
#pragma once

#include <cstdint>
#include <string>

#include "common/mailheader.h"
#include "dbcontrol/mail_summary_db.h"
#include "web/browse_params.h"
#include "plat_json.h"

namespace qlm {

// The account's writer lock "<backup root>/gmail/<task>/<account>.gmail_lck".
std::string Mail_Lock_Path(const char* task, const char* account);

// The file's size from stat; -1 when stat fails.
int64_t getFileSize(const std::string& path);

// s without one pair of surrounding double quotes; s itself when it is shorter than two
// characters or does not both start and end with one.
std::string removeOuterQuotes(const std::string& s);

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
