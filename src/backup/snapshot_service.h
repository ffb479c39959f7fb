// What the Calendar and Contacts backups share. Each selected account's catalogs are rebuilt
// whole from GAM's CSV listings on every run, under the service's task lock and the account's
// lock; the store folder of the account is emptied and stays empty.
//
// A listing counts only when it has its header line: a 0-byte output or one without the header
// is a failed listing (the previous catalogs stay), and a header without rows is an account with
// nothing in it. A lost connection is looked for first, before the exit status.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <set>
#include <utility>
#include <vector>
#include <string>

#include "backup/backup_service.h"
#include "backup/drive_backup_common.h"
#include "common/csvreader.h"
#include "dbcontrol/catalog_common.h"

class GWSTask;

namespace qlm::snapshot {

enum class ListingResult { Ok, Failed, Lost, Unreadable };
struct Listing {
    ListingResult result = ListingResult::Failed;
    int ret = 0;     // the runner's result
    int status = 0;  // GAM's exit status
    std::string problem;  // a listing GAM gave that failed its check: what is wrong (ToolRun::problem)
    csvx::Document doc;
};
// Runs cmdline with its standard output in a fresh private file and its standard error in
// errPath, and reads the CSV back through Run_Checked_Listing. Lost when the error file holds the
// connection-error line; Failed when GAM gave no listing (a failed run, an exit status other than
// 0 and "no entities") or one that fails its check (problem says why: cut short, garbled, empty,
// a header without one of headerColumns); Unreadable when the output file cannot be opened. GAM
// escapes a backslash in its event and contact listings, not in its contact-group listing (bs).
Listing Run_Listing(const std::string& cmdline, const std::string& errPath,
                    std::initializer_list<const char*> headerColumns,
                    csvx::Backslash bs = csvx::Backslash::Escape);

// The texts a service puts into its rows.
struct Service {
    const char* folder;      // "calendar", "contact": the store folder and the lock suffix
    const char* name;        // "Calendar", "Contact"
    const char* currentKey;  // the service's counter in the running record
    const char* countNoun;   // "Calendar events", "Contact entries"
    const char* countFail;   // the row of an account that cannot be counted (one %s: the account)
    qlm::catalog::Kind catalogs[2];  // the account's catalogs
    size_t nCatalogs;
};

// One run of a service, handed to each account's turn.
struct Run {
    drivebk::LogCtx ctx;
    std::string strTaskID;
    std::string strErrPath;
    MissionProgress progress;
};

// Done: on to the next account. Retry: the attempt fails with -1 (a lost connection, a failed
// group listing). FileFailure: it fails with -161.
enum class Turn { Done, Retry, FileFailure };
// One account's turn, called with the account's lock held and its store folder emptied.
using User_Turn = std::function<Turn(Run& run, const std::string& account)>;

// The service: the task lock (wait 15000), the counters, the selected users, then each account's
// lock (wait 30000) and turn. An account whose lock file, store folder or catalog names cannot be
// made is skipped with a FAIL row. 0; -1 (task lock held, user list failed, connection lost); -161.
int Run_Service(const Service& svc, GWSTask* pTask, const std::string& strMissionPath,
                const char* pszCurrentLoginUser, sqlite3* sqlDatabase, const User_Turn& turn);

// Counts one account's items into n; false when its listing failed or was lost.
using User_Count = std::function<bool(const std::string& account, const std::string& errPath, int64_t& n)>;
// The pre-count: each selected account's store folder is emptied and its items counted; an
// account that cannot be counted counts 0 with a warn row. 0 with the total; -1 with *llCount
// untouched when the user list cannot be read.
int Count_Service(const Service& svc, GWSTask* pTask, int64_t* llCount, const char* pszCurrentLoginUser,
                  sqlite3* sqlDatabase, const User_Count& count);

// The end of an account's turn whose listing failed: Retry for a lost connection, else Done after
// the account's FAIL row: "<what> of <account> <problem>." for a listing that failed its check,
// failRow for a failed run. The account's previous snapshot stays as it is.
Turn Failed_Listing(const Run& run, const Listing& l, const char* what, const std::string& account,
                    const std::string& failRow);

// A new listing of an account whose keys (event ids, contact resource names) lack more than half of
// the previous snapshot's keys (and more than 10) is listed again before it replaces that snapshot;
// the snapshot then holds what either listing holds. prev: (key, local id) of the previous snapshot.
bool Needs_Second_Listing(const std::vector<std::pair<std::string, std::string>>& prev,
                          const std::set<std::string>& keys);

// The cell of a column in a row; empty when the column is missing.
std::string Cell(const csvx::Document& doc, int column, size_t row);

}  // namespace qlm::snapshot
