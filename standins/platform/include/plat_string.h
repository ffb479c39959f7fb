// Texts and identifiers of the platform library.
#pragma once

#include <string>

namespace smbbackup {

// printf into out, which then holds exactly the formatted text (callers reuse one string for many
// commands). 0; -22 for a NULL format or a format error, -12 out of memory; on failure out is
// emptied, so a stale command line is never run by a caller that missed the result.
int Print_String_From_Format(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// A fresh random id: 36 characters, lower-case hex digits and "-" in the 8-4-4-4-12 groups, safe
// as a file name and as an unquoted shell word.
std::string Create_New_ID();

// True exactly for texts of the Create_New_ID form; also the check for every id that comes from a
// request or a file before it becomes part of a path.
bool Is_Task_Configure_File_Name(const char* name);

// The JSON array text of the items of text separated by sep, each item a JSON string (ids can be
// longer than any integer; readers use Json_Get_Int where they want numbers). Items are trimmed of
// blanks, tabs, CR and LF ("monday, friday" names two weekdays); empty items are dropped. NULL or
// "" gives "[]"; a NULL or empty sep makes the whole text one item. flags is unused.
std::string Parse_Separated_Data_To_Json_String(const char* text, const char* sep, int flags);

}  // namespace smbbackup

// *out = a malloc'd copy of in, which the caller frees; the old *out is not freed. 0; -22 for a
// NULL in or out (nothing changes); -12 out of memory.
int Copy_String(char** out, const char* in);
