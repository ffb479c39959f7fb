#include "gam_out.h"

#include <cctype>
#include <set>

int Listing_Status(size_t rows) { return rows == 0 ? kGamNoEntities : kGamOk; }

void Csv_Row(std::string& out, const std::vector<std::string>& cells, CsvBackslash bs) {
    for (size_t c = 0; c < cells.size(); ++c) {
        if (c) out += ',';
        const std::string& v = cells[c];
        bool quote = v.find_first_of(",\"\r\n") != std::string::npos;
        if (quote) out += '"';
        for (char ch : v) {
            if (ch == '"') out += '"';
            if (ch == '\\' && bs == CsvBackslash::Escaped) out += '\\';
            out += ch;
        }
        if (quote) out += '"';
    }
    out += '\n';
}

size_t Csv_Table(std::string& out, const std::vector<std::string>& lead, const std::vector<FlatRow>& rows,
                 const std::vector<std::string>& also, CsvBackslash bs) {
    std::set<std::string> lead_set(lead.begin(), lead.end()), rest;
    for (const std::string& a : also)
        if (!lead_set.count(a)) rest.insert(a);
    for (const FlatRow& r : rows)
        for (const auto& kv : r)
            if (!lead_set.count(kv.first)) rest.insert(kv.first);
    std::vector<std::string> header = lead;
    header.insert(header.end(), rest.begin(), rest.end());
    Csv_Row(out, header, bs);
    std::vector<std::string> cells(header.size());
    for (const FlatRow& r : rows) {
        for (size_t c = 0; c < header.size(); ++c) {
            auto it = r.find(header[c]);
            cells[c] = it == r.end() ? std::string() : it->second;
        }
        Csv_Row(out, cells, bs);
    }
    return rows.size();
}

std::string Gam_Time(const std::string& t) {
    // "YYYY-MM-DDTHH:MM:SS" then "." and digits, then the zone.
    if (t.size() < 21 || t[10] != 'T' || t[19] != '.') return t;
    size_t end = 20;
    while (end < t.size() && isdigit((unsigned char)t[end])) ++end;
    if (end == 20) return t;
    return t.substr(0, 19) + t.substr(end);
}
