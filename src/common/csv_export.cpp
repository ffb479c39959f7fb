#include "common/csv_export.h"

#include "common/jsontext.h"
#include "common/paths.h"
#include "common/timeconv.h"

namespace qlm {

namespace {

std::string Csv_Line(std::initializer_list<std::string> fields) {
    std::string line;
    for (const std::string& f : fields) {
        if (!line.empty()) line += ',';
        Append_Csv_Field(line, f);
    }
    return line + "\r\n";
}

std::string Side_Key(const char* side, const char* key) { return std::string(side) + "." + key; }

}  // namespace

void Append_Csv_Field(std::string& line, const std::string& value) {
    line += '"';
    for (char c : value) {
        if (c == '"') line += '"';
        line += c;
    }
    line += '"';
}

std::string Build_Contact_Csv_Row(PT_JSON row) {
    std::string company;
    for (const char* key : {"organizations.0.name", "organizations.0.department", "organizations.0.title"}) {
        const std::string part = Json_Text_Of(row, key);
        if (part.empty()) continue;
        if (!company.empty()) company += ' ';
        company += part;
    }
    return Csv_Line({Json_Text_Of(row, "names.0.displayName"), Json_Text_Of(row, "phoneNumbers.0.value"),
                     Json_Text_Of(row, "emailAddresses.0.value"), company});
}

std::string Event_Time_Text(PT_JSON row, const char* side) {
    const std::string dateTime = Json_Text_Of(row, Side_Key(side, "dateTime").c_str());
    const std::string date = Json_Text_Of(row, Side_Key(side, "date").c_str());
    const std::string zone = Json_Text_Of(row, Side_Key(side, "timeZone").c_str());
    const std::string& when = !dateTime.empty() ? dateTime : date;
    const int64_t instant = when.empty() ? 0 : calendar_parse_iso8601(when);
    std::string text;
    if (!zone.empty() && !when.empty()) Convert_TimeZone_By_Zoneinfo(Zoneinfo_Dir().c_str(), when.c_str(), zone.c_str(), text);
    // An all-day date, or a zone that has no zone file, converts to nothing: the local text of
    // the instant then keeps the time instead of an empty cell.
    if (text.empty()) text = timestamp_to_iso8601(static_cast<time_t>(instant));
    return text;
}

std::string Build_Calendar_Csv_Row(PT_JSON row) {
    return Csv_Line({Json_Text_Of(row, "summary"), Json_Text_Of(row, "location"), Json_Text_Of(row, "creator.email"),
                     Event_Time_Text(row, "start"), Event_Time_Text(row, "end")});
}

}  // namespace qlm
