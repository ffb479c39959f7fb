// Reading the headers of a saved mail as emlsift dumps them, for the catalog row, the mail views
// and the exports.
#pragma once

#include <string>

#include "plat_json.h"

namespace qlm {

// Splits a From or To header into a display name and an address. With a "<" and a ">" after it,
// the name is the text before the "<" and the address the text between them; otherwise both are
// the whole text. Each is trimmed of blanks and tabs; quotes around a name stay. Of several
// recipients only the first address is kept.
void parseNameEmail(const std::string& text, std::string& name, std::string& addr);

// The first text of the list under key in an emlsift "headers" object; "" when the object or
// key is absent, the value is no list, or its first entry is no text.
std::string Get_First_Header_Value(PT_JSON headers, const char* key);

// Runs "<bin>/emlsift -i EML --format json OPTION >RESULT 2>/dev/null" (every text quoted as one
// shell word) with a fresh private result file that is removed afterwards, and parses the result.
// 0 with out set to the object; -1 when the command could not run or ended with a status other
// than 0; -2 when its output is not a JSON object.
int Run_Emlsift(const std::string& eml, const char* option, RAIIful_Json& out);
// The same into a result file of the caller's (made fresh and private here, left for the caller
// to remove), for a worker that reuses one file for many mails. With iTimeoutSec above 0 the tool
// runs in a group of its own and is ended after that many seconds (-1 then).
int Run_Emlsift_Into(const std::string& eml, const char* option, const std::string& result, int iTimeoutSec,
                     RAIIful_Json& out);

}  // namespace qlm
