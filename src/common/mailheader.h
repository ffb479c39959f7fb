// Reading the header dump of emlsift: the backup fills its catalog rows from it, and the mail
// browse and view show it.
#pragma once

#include <string>

#include "plat_json.h"

// The first entry of the list stored under key in the "headers" object of an emlsift dump, as
// text; empty when the object or key is absent, the value is not a list, the list is empty or its
// first entry is not a text.
std::string Get_First_Header_Value(PT_JSON root, const char* key);

// Splits an address header: with a "<" and a later ">", the name is the text before the "<" and
// the address the text between them; otherwise both are the whole text. Both are then trimmed of
// blanks and tabs. Quotes around a display name stay.
void parseNameEmail(const std::string& header, std::string& name, std::string& email);
