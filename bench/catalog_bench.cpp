// Catalog benchmark, run by hand: build/bench/bench_catalog
//
// Prints, in one run:
//   - Drive upsert rows/s for 100k and 1M rows through Drive_Write_DB, against the same rows and
//     the same upsert statement through plain sqlite3 calls (one prepared statement, one
//     transaction) on the same schema, with the ratio;
//   - at 1M rows: a folder page, an index lookup, a keyword page and an advanced search;
//   - the Gmail append rate (batches of 500, as the backup appends);
//   - activity-log inserts from 1 and from 4 processes at once, with the rows found afterwards.
// Everything lives in a fresh folder under the temporary folder (QLM_ROOT), removed at the end.
// With --smoke (the tests' run of every benchmark) the queries run on 2000 rows and only the
// smaller upserts run: a check that the benchmark still works, not a measurement.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "dbcontrol/drive_db.h"
#include "dbcontrol/drive_search.h"
#include "dbcontrol/gmail_db.h"
#include "log/log_db.h"

namespace {

constexpr const char* kTask = "0b5e1c2d-3f4a-4b6c-8d7e-9f0a1b2c3d4e";
constexpr const char* kUser = "bench@example.com";
constexpr int kFolders = 1000;  // a 1M-row catalog has folders of 1000 children

std::string g_root;
long long g_queryRows = 1000000;  // the catalog the queries run on

struct Figures {
    std::map<long long, double> oursRate, rawRate;
    double folderPageMs = 0, indexLookupMs = 0, keywordMs = 0, advancedMs = 0;
    long long advancedRows = 0;
    double gmailRate = 0;
    struct Log {
        int procs;
        double rate;
        long long written, found;
    };
    std::vector<Log> logs;
} g;

std::string Catalog_File(const char* user) { return qlm::catalog::Catalog_File(qlm::catalog::Kind::Drive, user, kTask); }

void Remove_File(const std::string& file) {
    for (const char* s : {"", "-journal", "-wal", "-shm"}) unlink((file + s).c_str());
}

const std::map<std::string, DriveData>& Drive_Rows(long long n) {
    static std::map<long long, std::map<std::string, DriveData>> cache;
    auto& m = cache[n];
    if (!m.empty()) return m;
    char buf[64];
    for (long long i = 0; i < n; ++i) {
        DriveData d;
        snprintf(buf, sizeof buf, "file_%07lld.txt", i);
        d.strName = buf;
        snprintf(buf, sizeof buf, "F%lld", i % kFolders);
        d.strParentDriveID = buf;
        d.strOwner = "user" + std::to_string(i % 50) + "@example.com";
        d.strMD5 = "d41d8cd98f00b204e9800998ecf8427e";
        d.strModifyTime = "2024-03-01T10:00:00.000Z";
        const char* mimes[] = {"image/jpeg", "application/vnd.google-apps.folder", "application/pdf"};
        d.strMimeType = i % 10 < 3 ? mimes[i % 10] : "text/plain";
        d.llIndex = i;
        d.llDepth = 2;
        d.llSize = (i * 7919) % 5000000;
        d.strLocalID = "2f6c1d1e-0c1b-4e55-9c1a-" + std::to_string(100000000000LL + i);
        d.strStructure = "/My Drive/Projects/2024/" + std::string(d.strParentDriveID) + "/" + d.strName;
        d.llCreateTime = 1600000000 + i;
        d.llLastBackupTime = 1700000000;
        d.llModifyTime = 1650000000 + i;
        snprintf(buf, sizeof buf, "G%012lld", i);
        m.emplace(buf, std::move(d));
    }
    return m;
}

// The Drive catalog's schema as an empty catalog stores it (table and indexes).
const std::vector<std::string>& Drive_Schema() {
    static std::vector<std::string> schema;
    if (!schema.empty() || Drive_Write_DB({}, "schema@example.com", kTask) != 0) return schema;
    sqlite3* s = nullptr;
    sqlite3_open(Catalog_File("schema@example.com").c_str(), &s);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(s, "SELECT sql FROM sqlite_master WHERE sql NOT NULL AND name NOT LIKE 'sqlite%';", -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW) schema.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    sqlite3_close(s);
    return schema;
}

// The same rows through plain sqlite3 calls: the catalog's own schema and upsert statement,
// one prepared statement, one transaction, the same page cache.
int Raw_Upsert(const std::string& file, const std::vector<std::string>& schema,
               const std::map<std::string, DriveData>& rows) {
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) return -1;
    sqlite3_exec(db, "PRAGMA cache_size=-65536;", nullptr, nullptr, nullptr);
    for (const std::string& sql : schema) sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, qlm::catalog::Drive_Upsert_Sql(), -1, &st, nullptr);
    int rc = 0;
    for (const auto& [id, d] : rows) {
        sqlite3_bind_text(st, 1, id.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 2, d.strName.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 3, d.strMD5.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 4, d.strModifyTime.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 5, d.strMimeType.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 6, d.llIndex);
        sqlite3_bind_int64(st, 7, d.llDepth);
        sqlite3_bind_int64(st, 8, d.llSize);
        sqlite3_bind_text(st, 9, d.strLocalID.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 10, d.strParentDriveID.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 11, d.strOwner.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 12, d.llCreateTime);
        sqlite3_bind_int64(st, 13, d.llLastBackupTime);
        sqlite3_bind_text(st, 14, d.strStructure.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 15, d.llModifyTime);
        if (sqlite3_step(st) != SQLITE_DONE) rc = -1;
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    if (sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK) rc = -1;
    sqlite3_close(db);
    return rc;
}

// Lets the disk write out what earlier runs left dirty, so it does not slow the next timing.
void Quiet_Disk() { sync(); }

double Seconds_Since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Times write() over n rows into a fresh file, once per iteration, from a quiet disk; rate keeps
// the best iteration, the one least disturbed by whatever else the machine runs.
template <typename Write>
void Time_Writes(benchmark::State& state, const std::string& file, long long n, double& rate, Write write) {
    for (auto _ : state) {
        Remove_File(file);
        Quiet_Disk();
        const auto t0 = std::chrono::steady_clock::now();
        if (!write()) state.SkipWithError("a write failed");
        const double s = Seconds_Since(t0);
        state.SetIterationTime(s);
        rate = std::max(rate, n / s);
    }
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Drive_Upsert(benchmark::State& state) {
    const long long n = state.range(0);
    const auto& rows = Drive_Rows(n);
    Time_Writes(state, Catalog_File(kUser), n, g.oursRate[n], [&] { return Drive_Write_DB(rows, kUser, kTask) == 0; });
}

void BM_Raw_Upsert(benchmark::State& state) {
    const long long n = state.range(0);
    const auto& rows = Drive_Rows(n);
    const auto& schema = Drive_Schema();
    const std::string file = Catalog_File("raw@example.com");
    Time_Writes(state, file, n, g.rawRate[n], [&] { return Raw_Upsert(file, schema, rows) == 0; });
    Remove_File(file);
}

// The queries run on the 1M-row catalog that the last upsert left; written here when missing.
void Ensure_Million() {
    static bool ready = false;
    if (ready) return;
    const long long n = g_queryRows;
    sqlite3* db = nullptr;
    long long count = -1;
    if (sqlite3_open_v2(Catalog_File(kUser).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM drive_sql_database;", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            count = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    if (count != n) {
        Remove_File(Catalog_File(kUser));
        Drive_Write_DB(Drive_Rows(n), kUser, kTask);
    }
    ready = true;
}

template <typename Query>
void Run_Query(benchmark::State& state, Query query) {
    Ensure_Million();
    long long rows = 0;
    for (auto _ : state) {
        RAIIful_Json list(Json_List_Init());
        query(list.get(), state.iterations());
        rows = Json_List_Size(list.get());
        if (rows == 0) state.SkipWithError("the query found nothing");
    }
    state.counters["rows"] = static_cast<double>(rows);
}

void BM_Folder_Page(benchmark::State& state) {
    Run_Query(state, [](PT_JSON list, long long it) {
        const std::string folder = "F" + std::to_string(it * 37 % kFolders);
        // The middle of a folder (500 of 1000 children at 1M rows).
        Drvie_Find_DB_Simple_Data_By_ParentID_For_Pagination(list, kUser, kTask, folder.c_str(),
                                                             static_cast<int>(g_queryRows / kFolders / 2), 50, "");
    });
}

void BM_Index_Lookup(benchmark::State& state) {
    Run_Query(state, [](PT_JSON list, long long it) {
        Drvie_Find_DB_Data_By_Index(list, kUser, kTask, static_cast<int>(it * 7919 % g_queryRows));
    });
}

void BM_Keyword_Page(benchmark::State& state) {
    // A rare keyword: the page scans the whole catalog to fill its 50 rows.
    char keyword[32];
    snprintf(keyword, sizeof keyword, "file_%07lld", g_queryRows / 9 * 7);  // file_0777777 at 1M rows
    Run_Query(state, [&keyword](PT_JSON list, long long) {
        Drvie_Find_DB_Simple_Data_By_ParentID_For_Pagination(list, kUser, kTask, "F1", 0, 50, keyword);
    });
}

void BM_Advanced_Search(benchmark::State& state) {
    // Images of at least 4000 KiB first backed up in the second half of the catalog.
    Run_Query(state, [](PT_JSON list, long long) {
        Drive_Get_DB_Data_For_Advance_Search(list, kUser, kTask, nullptr, "pic", 1, 4000, 1600000000 + g_queryRows / 2, -1,
                                             -1, -1, -1, -1);
    });
}

void BM_Gmail_Append(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<std::map<std::string, GmailData>> batches((n + 499) / 500);
    for (int i = 0; i < n; ++i) {
        char id[32];
        snprintf(id, sizeof id, "18c%013x", i);
        GmailData m;
        m.strLocalID = "7d1e0a9c-1b2c-4d3e-8f4a-" + std::to_string(100000000000LL + i);
        m.strSenderName = "Sender " + std::to_string(i % 300);
        m.strSenderMail = "sender" + std::to_string(i % 300) + "@example.org";
        m.strRecipientName = "Bench User";
        m.strRecipientMail = kUser;
        m.strSubject = "Weekly report number " + std::to_string(i);
        m.strDate = "Fri, 1 Mar 2024 10:00:00 +0000";
        m.tDate = 1709287200 + i;
        m.nStarred = i % 17 == 0;
        batches[i / 500].emplace(id, std::move(m));
    }
    const std::string file = qlm::catalog::Catalog_File(qlm::catalog::Kind::Gmail, kUser, kTask);
    Time_Writes(state, file, n, g.gmailRate, [&] {
        for (const auto& b : batches)
            if (Gmail_Write_DB_Append(b, kUser, kTask, nullptr) != 0) return false;
        return true;
    });
}

// Each process opens its own handle and inserts its share, as workers do.
void BM_Log_Insert(benchmark::State& state) {
    const int procs = static_cast<int>(state.range(0));
    const int total = static_cast<int>(state.range(1));
    long long found = 0;
    for (auto _ : state) {
        Sql_Log_Delete_Data("All");
        Quiet_Disk();
        const auto t0 = std::chrono::steady_clock::now();
        std::vector<pid_t> kids;
        for (int p = 0; p < procs; ++p) {
            const pid_t pid = fork();
            if (pid == 0) {
                sqlite3* db = nullptr;
                if (Sql_Open_Datebase(&db) != 0 || Sql_Log_Create_Table(db) != 0) _exit(1);
                int failed = 0;
                for (int i = 0; i < total / procs; ++i)
                    failed += Sql_Log_Insert_Data(db, "Orvenna", kTask, "admin@example.com", "admin", "SUCCESS", "backup",
                                                  "info", "Backed up one more item for the benchmark.") != 0;
                sqlite3_close(db);
                _exit(failed == 0 ? 0 : 1);
            }
            kids.push_back(pid);
        }
        for (pid_t pid : kids) {
            int status = 0;
            waitpid(pid, &status, 0);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("an insert failed");
        }
        const double s = Seconds_Since(t0);
        state.SetIterationTime(s);
        sqlite3* db = nullptr;
        Sql_Open_Datebase(&db);
        found = Sql_Get_Number_Of_Log(db);
        sqlite3_close(db);
        g.logs.push_back({procs, total / s, total, found});
    }
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["written"] = total;
    state.counters["found"] = static_cast<double>(found);
}

BENCHMARK(BM_Drive_Upsert)->Arg(100000)->Arg(1000000)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Raw_Upsert)->Arg(100000)->Arg(1000000)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Folder_Page)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Index_Lookup)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Keyword_Page)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Advanced_Search)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Gmail_Append)->Arg(100000)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Log_Insert)->Args({1, 2000})->Args({4, 2000})->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Keeps the per-iteration times of the query benchmarks for the summary.
class Summary_Reporter : public benchmark::ConsoleReporter {
public:
    Summary_Reporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            const double ms = r.GetAdjustedRealTime();  // in the benchmark's unit, milliseconds here
            const std::string name = r.benchmark_name();
            if (name.rfind("BM_Folder_Page", 0) == 0) g.folderPageMs = ms;
            if (name.rfind("BM_Index_Lookup", 0) == 0) g.indexLookupMs = ms;
            if (name.rfind("BM_Keyword_Page", 0) == 0) g.keywordMs = ms;
            if (name.rfind("BM_Advanced_Search", 0) == 0) {
                g.advancedMs = ms;
                auto it = r.counters.find("rows");
                if (it != r.counters.end()) g.advancedRows = static_cast<long long>(it->second.value);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void Print_Summary() {
    printf("\n== Catalog figures (writes: best of their iterations) ==\n");
    for (const auto& [n, ours] : g.oursRate) {
        const double raw = g.rawRate.count(n) ? g.rawRate[n] : 0;
        printf("Drive upsert %8lld rows: Drive_Write_DB %9.0f rows/s, plain sqlite3 %9.0f rows/s, ratio ours/raw time %.2f\n",
               n, ours, raw, ours > 0 ? raw / ours : 0.0);
    }
    if (g.folderPageMs > 0 || g.advancedMs > 0)
        printf("At %lld rows: folder page %.3f ms, index lookup %.3f ms, keyword page %.1f ms, advanced search %.1f ms "
               "(%lld rows)\n",
               g_queryRows, g.folderPageMs, g.indexLookupMs, g.keywordMs, g.advancedMs, g.advancedRows);
    if (g.gmailRate > 0) printf("Gmail append (batches of 500): %.0f rows/s\n", g.gmailRate);
    for (const auto& l : g.logs)
        printf("Activity log from %d process(es): %.0f rows/s, %lld written, %lld found%s\n", l.procs, l.rate, l.written,
               l.found, l.written == l.found ? "" : "  <-- ROWS LOST");
}

}  // namespace

int main(int argc, char** argv) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qlm_bench_XXXXXX").string();
    if (!mkdtemp(tmpl.data())) return 1;
    g_root = tmpl;
    setenv("QLM_ROOT", g_root.c_str(), 1);

    std::vector<char*> args(argv, argv + argc);
    std::string smokeFilter = "--benchmark_filter=-/1000000/";
    const auto smoke = std::find_if(args.begin(), args.end(), [](const char* a) { return strcmp(a, "--smoke") == 0; });
    if (smoke != args.end()) {
        g_queryRows = 2000;
        *smoke = smokeFilter.data();
    }
    args.push_back(nullptr);
    argc = static_cast<int>(args.size()) - 1;
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Summary_Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    Print_Summary();

    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
    return 0;
}
