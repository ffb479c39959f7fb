// The activity-log cost per exported item: an export's rows queued by the export frame and written
// in batches, beside the same rows through one Sql_Log_Insert_Data each, in the same run and
// against the log under QLM_ROOT (or a fresh private root when it is not set).
//
//     build/bench/bench_export_log [rows]      (default 10000)
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "export/export_frame.h"
#include "log/log_db.h"

namespace {

double Seconds_Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Message(long long i) {
    return "Exported Drive file \"file-" + std::to_string(i) + ".bin\" of account alice@example.test to NAS path: /Public.";
}

}  // namespace

int main(int argc, char** argv) {
    const long long rows = argc > 1 ? atoll(argv[1]) : 10000;
    std::string made;
    if (getenv("QLM_ROOT") == nullptr) {
        char tmpl[] = "/tmp/qlm-bench-log-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return 1;
        made = tmpl;
        setenv("QLM_ROOT", made.c_str(), 1);
    }
    sqlite3* db = nullptr;
    if (Sql_Open_Datebase(&db) != 0 || Sql_Log_Create_Table(db) != 0) {
        fprintf(stderr, "the activity log cannot be opened\n");
        return 1;
    }
    qlm::Export_Run run;
    run.strTaskId = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
    run.strUser = "admin";
    qlm::Export_Ctx ctx;
    ctx.pRun = &run;
    ctx.pLog = db;

    auto start = std::chrono::steady_clock::now();
    for (long long i = 0; i < rows; ++i) qlm::Export_Log(ctx, "alice@example.test", Message(i));
    qlm::Export_Log_Flush(ctx);
    const double batched = Seconds_Since(start);

    start = std::chrono::steady_clock::now();
    for (long long i = 0; i < rows; ++i)
        Sql_Log_Insert_Data(db, "Orvenna", run.strTaskId.c_str(), "alice@example.test", "admin", "SUCCESS", "backup",
                            "info", Message(i).c_str());
    const double single = Seconds_Since(start);
    sqlite3_close(db);

    printf("activity log, %lld rows: batched %.3f s (%.1f us per exported item), one insert per row %.3f s "
           "(%.1f us per item), ratio %.1f\n",
           rows, batched, batched * 1e6 / rows, single, single * 1e6 / rows, single / batched);
    if (!made.empty()) std::filesystem::remove_all(made);
    return 0;
}
