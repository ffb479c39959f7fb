// What the mail list, search and view read of a stored mail: its EML file in the account's store
// folder, and the JSON that emlsift makes of it.
#pragma once

#include <cstdint>
#include <string>

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

// The summary of one mail of a list: localid, sender, sender_mail, recipient, recipient_mail,
// subject, date (seconds, -1 when unreadable), size and attachment (the number listed).
// bRemoveQuotes removes one pair of double quotes around the display names.
PT_JSON Mail_Summary(const char* localid, PT_JSON headers, PT_JSON attachments, int64_t size, bool bRemoveQuotes);

// Runs the header and the attachment commands on the mail and gives its summary; nullptr when
// either fails (the mail is then left out of the list).
PT_JSON Summarise_Mail(const std::string& eml, const char* localid, bool bRemoveQuotes);

}  // namespace qlm
