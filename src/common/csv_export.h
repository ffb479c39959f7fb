// The CSV files the app hands out (contacts, calendar events, the activity log): UTF-8 with a
// byte-order mark, one header line, one line per row, CR LF after every line, every field in
// double quotes with its inner double quotes doubled, so every cell reads back as it was stored.
#pragma once

#include <string>

#include "plat_json.h"

namespace qlm {

inline constexpr const char kCsvByteOrderMark[] = "\xEF\xBB\xBF";
inline constexpr const char* kContactCsvHeader = "\"Name\",\"Phone\",\"Email\",\"Title_and_Company\"\r\n";
inline constexpr const char* kCalendarCsvHeader =
    "\"Summary\",\"Location\",\"Creator\",\"Start_DateTime\",\"End_DateTime\"\r\n";
// The name of such a file after its fourteen-digit stamp.
inline constexpr const char* kCsvFileSuffix = "_quillmere.csv";

// Appends the field in double quotes, its inner double quotes doubled.
void Append_Csv_Field(std::string& line, const std::string& value);

// A contact row of the catalog as a CSV line: display name, phone, e-mail, and the non-empty ones
// of organisation name, department and title joined by one blank.
std::string Build_Contact_Csv_Row(PT_JSON row);

// An event's start or end text: in the event's own zone when it names one, else in local time
// with its offset; empty when the event has no time for that side. side is "start" or "end".
std::string Event_Time_Text(PT_JSON row, const char* side);

// An event row of the catalog as a CSV line: summary, location, creator's e-mail, start, end.
std::string Build_Calendar_Csv_Row(PT_JSON row);

}  // namespace qlm
