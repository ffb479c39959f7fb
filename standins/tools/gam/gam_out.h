// CSV shapes shared by gam's listings.
#pragma once

#include <map>
#include <string>
#include <vector>

// Appends one CSV row and "\n". Cells holding a comma, a quote or a line break are quoted.
// The system copies listings line by line, so a CR or LF inside a cell is written as the two
// characters "\r" / "\n": every row stays on one line.
void Csv_Row(std::string& out, const std::vector<std::string>& cells);

// One row as GAM flattens a Google API object: column name to text; absent values have no entry.
using FlatRow = std::map<std::string, std::string>;

// Appends a header and the rows: the lead columns first (always, even when no row has them),
// then every other column that some row has, sorted. A row lacking a column gets an empty cell.
void Csv_Table(std::string& out, const std::vector<std::string>& lead, const std::vector<FlatRow>& rows);
