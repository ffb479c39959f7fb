// What every gam command shares in its answer: the exit statuses the real tool documents, and the
// CSV form of its listings.
#pragma once

#include <map>
#include <string>
#include <vector>

// Exit statuses of the real tool that a caller can tell apart.
enum GamStatus {
    kGamOk = 0,
    kGamUsage = 2,          // the command line is not valid (also: the local file to upload cannot be opened)
    kGamSocket = 3,         // the connection to Google was lost ("ERROR: Connection error: ...")
    kGamFileError = 6,      // a local file cannot be read (or not in the charset asked)
    kGamHttp = 9,           // an HTTP 401 or 403 answer (domain, customer or admin not known)
    kGamApiDenied = 12,     // API access denied: the key is not authorized for the domain or the scope
    kGamConfig = 13,        // gam.cfg is missing or incomplete
    kGamKeyInvalid = 16,    // the service-account key file is missing or not a valid key
    kGamActionFailed = 50,  // the action failed on one item
    kGamNotPerformed = 51,  // the action cannot be done on that item (no export format)
    kGamNoEntities = 60,    // a listing found nothing: its header is printed all the same
};

// The status a listing ends with: 0 when it has rows, kGamNoEntities when it has none.
int Listing_Status(size_t rows);

// How GAM's CSV writer treats a backslash: escaped (written "\\") in its listings of Drive files,
// events and contacts; written unchanged in the contact-group listing.
enum class CsvBackslash { Escaped, Plain };

// Appends one CSV row and "\n", as Python's csv writer does: cells holding a comma, a quote, CR or
// LF are quoted, a quote is doubled, a line break inside a cell stays a raw line break, and with
// backslash as escape character a "\" is written "\\" (it alone does not quote the cell).
void Csv_Row(std::string& out, const std::vector<std::string>& cells, CsvBackslash bs = CsvBackslash::Escaped);

// One row as GAM flattens a Google API object: column name to text; absent values have no entry.
using FlatRow = std::map<std::string, std::string>;

// Appends a header and the rows: the lead columns first (always, even when no row has them), then
// the `also` columns (always) and every other column some row has, together in sorted order. A row
// lacking a column gets an empty cell. Returns the number of rows written.
size_t Csv_Table(std::string& out, const std::vector<std::string>& lead, const std::vector<FlatRow>& rows,
                 const std::vector<std::string>& also = {}, CsvBackslash bs = CsvBackslash::Escaped);

// A Google time as GAM prints it: "2024-03-05T10:20:30.123Z" -> "2024-03-05T10:20:30Z" (the
// fraction of a second dropped, offsets kept). Any other text is given back unchanged.
std::string Gam_Time(const std::string& google_time);
