#include "gam_out.h"

#include <set>

void Csv_Row(std::string& out, const std::vector<std::string>& cells) {
    for (size_t c = 0; c < cells.size(); ++c) {
        if (c) out += ',';
        const std::string& v = cells[c];
        bool quote = v.find_first_of(",\"\r\n") != std::string::npos;
        if (quote) out += '"';
        for (char ch : v) {
            if (ch == '"') out += "\"\"";
            else if (ch == '\n') out += "\\n";
            else if (ch == '\r') out += "\\r";
            else out += ch;
        }
        if (quote) out += '"';
    }
    out += '\n';
}

void Csv_Table(std::string& out, const std::vector<std::string>& lead, const std::vector<FlatRow>& rows) {
    std::set<std::string> lead_set(lead.begin(), lead.end()), rest;
    for (const FlatRow& r : rows)
        for (const auto& kv : r)
            if (!lead_set.count(kv.first)) rest.insert(kv.first);
    std::vector<std::string> header = lead;
    header.insert(header.end(), rest.begin(), rest.end());
    Csv_Row(out, header);
    std::vector<std::string> cells(header.size());
    for (const FlatRow& r : rows) {
        for (size_t c = 0; c < header.size(); ++c) {
            auto it = r.find(header[c]);
            cells[c] = it == r.end() ? std::string() : it->second;
        }
        Csv_Row(out, cells);
    }
}
