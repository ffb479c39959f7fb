// The Calendar and Contacts restores. Their backed-up accounts are the catalogs of the service,
// and every catalog row becomes one GAM command in the receiving account: both walk the accounts,
// take the rows of the selection and count their progress the same way; only the command differs.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include "plat_json.h"
#include "restore/restore_service.h"

class GWSTask;

// Events go into the primary calendar of the receiving account, each under an iCalUID made from
// the restore, the account and the event: a repeated attempt updates what an earlier one imported.
int Restore_Calendar(GWSTask* pTask, const char* pszDomainUserEmail, const char* pszTargetAccount,
                     PT_JSON ptjLocalList, std::string strMissionPath, int nRestoreMode, sqlite3* sqlDatabase);
// Contacts are created anew; the restore's journal keeps the ones made, which a repeated attempt
// passes over.
int Restore_Contact(GWSTask* pTask, const char* pszDomainUserEmail, const char* pszTargetAccount,
                    PT_JSON ptjLocalList, std::string strMissionPath, int nRestoreMode, sqlite3* sqlDatabase);

namespace qlm {

// The catalogs of one service: one "<account>.db" per backed-up account.
struct AccountCatalog {
    const char* pszName;     // in row texts: "Calendar", "Contact"
    const char* pszCatalog;  // the catalogs' folder: "calendar_db", "contact_db"
    int (*list)(const char* pszTaskID, std::vector<std::string>& vResult);
    int (*read)(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID);
};
extern const AccountCatalog kCalendarCatalog;
extern const AccountCatalog kContactCatalog;

// The accounts of listed catalog names: each name less its ".db".
std::vector<std::string> Catalog_Accounts(const std::vector<std::string>& names);

// The progress total of a restore of one service: 0 with the count, or the catalog read's result
// (for the row that names failedUser). Mode 0 counts the selection's entries; a listing that fails
// counts nothing, and an account without a catalog counts 0.
int Count_Account_Rows(const AccountCatalog& cat, const char* pszTaskID, const std::string& strSource, int nMode,
                       PT_JSON ptjLocalList, int64_t& total, std::string& failedUser);

// What one restore call knows while it runs.
struct AccountRestoreRun {
    RestoreLog log;
    std::string strTaskID;
    std::string strMissionID;  // the base name of the running record
    std::string strSource;
    int nMode = 1;
};

// Restores one catalog row as account: 0 done; 1 passed over (nothing run); anything else ends
// the attempt with that result, after the row that tells why.
using RestoreRowFn = int (*)(const AccountRestoreRun& run, PT_JSON row, const std::string& account);

struct AccountRestore {
    const AccountCatalog* pCatalog;
    const char* pszCurrentKey;         // "calendar_current", "contact_current"
    bool bSelectionReadFails;          // an unreadable catalog fails mode 0 too (not only a missing one)
    bool bJournal;                     // rows done go into the journal, and later attempts pass them over
    const char* pszPassedOver;         // the warn row's text for rows passed over, before their count
    RestoreRowFn restoreRow;
};

// Runs the finished command line of one row as account, with the tools' time-out: 0, or -161
// (also for an empty line: none could be made) after the FAIL row "<pszFailText> restore_account=%s ret=%d sys_ret=%d task_id=%s".
int Run_Row_Command(const AccountRestoreRun& run, const std::string& line, const std::string& account,
                    const char* pszFailText);

// The journal key of a row: "<user>/<local id>" (an account name holds no '/').
std::string Account_Row_Key(const std::string& user, const std::string& localid);

// The whole restore call of a service, as a RestoreServiceFn.
int Run_Account_Restore(const AccountRestore& svc, GWSTask* pTask, const char* pszSource, const char* pszTarget,
                        PT_JSON ptjLocalList, const std::string& strMissionPath, int nRestoreMode, sqlite3* db);

// A text of a catalog row; "" when missing.
std::string Row_Text(PT_JSON row, const char* key);

// The iCalUID of an event restored by one restore into one account: SHA-1 over
// "<mission id>/<account>/<local id>", in the 36-character id form. "" when no digest can be made.
std::string Restore_Event_UID(const std::string& strMissionID, const std::string& account,
                              const std::string& localid);

// The finished command lines of one row, every value one shell word.
std::string Calendar_Import_Line(const std::string& account, const std::string& uid, const std::string& options);
// The option text of an event ("" when it has neither both dates nor both date-times).
std::string Calendar_Event_Options(PT_JSON row);
std::string Contact_Create_Line(const std::string& account, PT_JSON row);

}  // namespace qlm
