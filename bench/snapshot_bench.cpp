// Snapshot benchmark of the Calendar and Contacts backups, run by hand: build/bench/bench_snapshot
//
// For a user with 10 000 events and a user with 10 000 contacts (sizes may be given as
// arguments), prints in one run, each the median of five rounds:
//   - the backup's work on a listing GAM has written: reading the CSV, building the records,
//     taking the local ids of the previous snapshot over and replacing the catalog in one
//     transaction (and the same without reading the CSV);
//   - the same rows inserted through plain sqlite3 calls (one prepared statement, one
//     transaction) into a fresh file with the same schema, and the ratio.
// GAM's own time is not in the figures. Everything lives in a fresh folder under the temporary
// folder (QLM_ROOT), removed at the end.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "backup/calendar_backup.h"
#include "backup/contact_backup.h"
#include "dbcontrol/catalog_common.h"

namespace {

constexpr const char* kTask = "0b5e1c2d-3f4a-4b6c-8d7e-9f0a1b2c3d4e";
constexpr const char* kUser = "bench@example.com";
constexpr int kRounds = 5;

double Ms_Since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string Quoted(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

void Write_Csv(const std::string& path, const std::vector<std::string>& header,
               const std::function<std::vector<std::string>(int)>& row, int n) {
    std::ofstream out(path);
    for (size_t c = 0; c < header.size(); ++c) out << (c ? "," : "") << header[c];
    out << "\n";
    for (int i = 0; i < n; ++i) {
        const std::vector<std::string> cells = row(i);
        for (size_t c = 0; c < cells.size(); ++c) out << (c ? "," : "") << Quoted(cells[c]);
        out << "\n";
    }
}

// An event listing as GAM prints it: every event timed, a third with attendees and a conference.
void Write_Event_Listing(const std::string& path, int n) {
    const std::vector<std::string> header = {
        "calendarId", "id", "status", "summary", "location", "created", "updated", "iCalUID", "htmlLink",
        "start.dateTime", "start.timeZone", "end.dateTime", "end.timeZone", "creator.email", "creator.self",
        "organizer.email", "organizer.self", "eventType", "sequence", "reminders.useDefault", "transparency",
        "attendees", "attendees.0.email", "attendees.0.organizer", "attendees.0.responseStatus", "attendees.0.self",
        "attendees.1.displayName", "attendees.1.responseStatus", "attendees.2.email", "attendees.2.responseStatus",
        "conferenceData.conferenceId", "conferenceData.conferenceSolution.name", "conferenceData.entryPoints",
        "conferenceData.entryPoints.0.entryPointType", "conferenceData.entryPoints.0.uri", "hangoutLink"};
    Write_Csv(path, header, [](int i) {
        const std::string id = "ev" + std::to_string(1000000 + i);
        char start[32], end[32];
        snprintf(start, sizeof start, "2024-%02d-%02dT%02d:00:00Z", 1 + i % 12, 1 + i % 28, 8 + i % 9);
        snprintf(end, sizeof end, "2024-%02d-%02dT%02d:30:00Z", 1 + i % 12, 1 + i % 28, 8 + i % 9);
        const bool meet = i % 3 == 0;
        return std::vector<std::string>{
            kUser, id, "confirmed", "Meeting " + std::to_string(i) + ", \"weekly\"", "Room " + std::to_string(i % 40),
            "2024-01-01T10:00:00.000Z", "2024-01-02T10:00:00.000Z", id + "@google.com",
            "https://calendar.example.test/event?eid=" + id, start, "UTC", end, "UTC", kUser, "True", kUser, "True",
            "default", "0", "True", "opaque", meet ? "3" : "", meet ? kUser : "", meet ? "True" : "",
            meet ? "accepted" : "", meet ? "True" : "", meet ? "Orla O'Brien" : "", meet ? "tentative" : "",
            meet ? "bob@example.com" : "", meet ? "needsAction" : "", meet ? "abc-defg-hij" : "",
            meet ? "Google Meet" : "", meet ? "1" : "", meet ? "video" : "",
            meet ? "https://meet.example.test/abc-defg-hij" : "", meet ? "https://meet.example.test/abc-defg-hij" : ""};
    }, n);
}

// A contact listing: names, one e-mail and phone, an organization, up to three memberships.
void Write_Contact_Listing(const std::string& path, int n) {
    std::vector<std::string> header = {
        "User", "resourceName", "names", "names.0.displayName", "names.0.displayNameLastFirst", "names.0.familyName",
        "names.0.givenName", "names.0.unstructuredName", "emailAddresses", "emailAddresses.0.formattedType",
        "emailAddresses.0.type", "emailAddresses.0.value", "phoneNumbers", "phoneNumbers.0.formattedType",
        "phoneNumbers.0.type", "phoneNumbers.0.value", "organizations", "organizations.0.department",
        "organizations.0.name", "organizations.0.title", "memberships"};
    for (int d = 0; d < 3; ++d) {
        const std::string k = "memberships." + std::to_string(d) + ".contactGroupMembership.";
        header.push_back(k + "contactGroupId");
        header.push_back(k + "contactGroupResourceName");
    }
    Write_Csv(path, header, [](int i) {
        const std::string given = "Given" + std::to_string(i), family = "Family" + std::to_string(i % 500);
        const std::string group = "g" + std::to_string(i % 20);
        return std::vector<std::string>{
            kUser, "people/c" + std::to_string(1000000000 + i), "1", given + " " + family, family + ", " + given,
            family, given, given + " " + family, "1", "Work", "work", given + "@partner.test", "1", "Mobile", "mobile",
            "+1 555 " + std::to_string(1000 + i % 9000), "1", "Sales", "Partner & Sons, Ltd.", "Account manager",
            i % 2 ? "3" : "2", "myContacts", "contactGroups/myContacts", group, "contactGroups/" + group,
            i % 2 ? "starred" : "", i % 2 ? "contactGroups/starred" : ""};
    }, n);
}

// The rows of a catalog table, each as its column texts (timestamps as integers).
struct Table_Copy {
    std::string createSql, insertSql;
    std::vector<std::vector<sqlite3_value*>> rows;
    ~Table_Copy() {
        for (auto& r : rows)
            for (sqlite3_value* v : r) sqlite3_value_free(v);
    }
};

int Copy_Table(const std::string& file, const char* table, Table_Copy& out) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return -1;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE type='table' AND name=?;", -1, &st, nullptr);
    sqlite3_bind_text(st, 1, table, -1, SQLITE_STATIC);
    if (sqlite3_step(st) == SQLITE_ROW) out.createSql = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    const std::string select = std::string("SELECT * FROM ") + table + " ORDER BY id;";
    sqlite3_prepare_v2(db, select.c_str(), -1, &st, nullptr);
    std::string cols, marks;
    for (int c = 1; c < sqlite3_column_count(st); ++c) {  // id is the table's own
        cols += std::string(c > 1 ? "," : "") + sqlite3_column_name(st, c);
        marks += c > 1 ? ",?" : "?";
    }
    out.insertSql = std::string("INSERT INTO ") + table + " (" + cols + ") VALUES (" + marks + ");";
    while (sqlite3_step(st) == SQLITE_ROW) {
        std::vector<sqlite3_value*> row;
        for (int c = 1; c < sqlite3_column_count(st); ++c) row.push_back(sqlite3_value_dup(sqlite3_column_value(st, c)));
        out.rows.push_back(std::move(row));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out.createSql.empty() ? -1 : 0;
}

// The same rows through plain sqlite3: a fresh file, the schema, one statement, one transaction.
double Raw_Insert_Ms(const Table_Copy& t, const std::string& file) {
    qlm::catalog::Remove_Catalog_Files(file);
    const auto t0 = std::chrono::steady_clock::now();
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    sqlite3_exec(db, t.createSql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, t.insertSql.c_str(), -1, &st, nullptr);
    for (const auto& row : t.rows) {
        for (size_t c = 0; c < row.size(); ++c) sqlite3_bind_value(st, static_cast<int>(c) + 1, row[c]);
        if (sqlite3_step(st) != SQLITE_DONE) fprintf(stderr, "raw insert failed: %s\n", sqlite3_errmsg(db));
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return Ms_Since(t0);
}

struct Result {
    double snapshotMs, replaceMs, rawMs;  // CSV read included, CSV read excluded, plain sqlite3
    size_t rows;
};

// replace(listing) replaces the catalog from a listing already read, as the backup does once GAM
// has answered; the first round writes the catalog afresh, the others replace the previous one.
Result Measure(const std::string& listing, const std::string& catalog, const char* table,
               const std::function<int(const csvx::Document&)>& replace) {
    std::vector<double> total, replaces, raw;
    for (int r = 0; r < kRounds; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        csvx::Document doc;
        if (doc.Load(listing) != 0) {
            fprintf(stderr, "cannot read %s\n", listing.c_str());
            exit(1);
        }
        const auto t1 = std::chrono::steady_clock::now();
        if (replace(doc) != 0) fprintf(stderr, "the snapshot of %s failed\n", listing.c_str());
        replaces.push_back(Ms_Since(t1));
        total.push_back(Ms_Since(t0));
    }
    Table_Copy copy;
    if (Copy_Table(catalog, table, copy) != 0) {
        fprintf(stderr, "cannot read back %s\n", catalog.c_str());
        exit(1);
    }
    const std::string rawFile = catalog + ".raw";
    for (int r = 0; r < kRounds; ++r) raw.push_back(Raw_Insert_Ms(copy, rawFile));
    qlm::catalog::Remove_Catalog_Files(rawFile);
    return {Median(total), Median(replaces), Median(raw), copy.rows.size()};
}

void Print(const char* what, const Result& r) {
    printf("%-9s %6zu rows: snapshot %7.1f ms (without reading the CSV %7.1f ms) | plain sqlite3 %7.1f ms | "
           "ratio %.2fx (%.2fx)\n",
           what, r.rows, r.snapshotMs, r.replaceMs, r.rawMs, r.snapshotMs / r.rawMs, r.replaceMs / r.rawMs);
}

}  // namespace

int main(int argc, char** argv) {
    const int events = argc > 1 ? atoi(argv[1]) : 10000;
    const int contacts = argc > 2 ? atoi(argv[2]) : 10000;
    std::string tmpl = (std::filesystem::temp_directory_path() / "qlm_bench_snapshot_XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) return 1;
    const std::string root = tmpl;
    setenv("QLM_ROOT", root.c_str(), 1);
    const std::string eventListing = root + "/events.csv", contactListing = root + "/contacts.csv";
    Write_Event_Listing(eventListing, events);
    Write_Contact_Listing(contactListing, contacts);

    const Result cal = Measure(eventListing, qlm::catalog::Catalog_File(qlm::catalog::Kind::Calendar, kUser, kTask),
                               "calendar_sql_database", [](const csvx::Document& doc) {
                                   return Calendar_Replace_Snapshot(doc, kUser, kTask, nullptr);
                               });
    const Result con = Measure(contactListing, qlm::catalog::Catalog_File(qlm::catalog::Kind::Contact, kUser, kTask),
                               "contact_sql_database", [](const csvx::Document& doc) {
                                   return Contact_Replace_Snapshot(doc, kUser, kTask, nullptr);
                               });
    Print("Calendar", cal);
    Print("Contacts", con);
    std::filesystem::remove_all(root);
    return 0;
}
