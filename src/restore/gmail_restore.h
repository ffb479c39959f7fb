// The Gmail restore: backed-up messages inserted from their stored EML files into a mailbox under
// one restore label per restore, every inserted message noted in the restore's journal so that a
// repeated attempt inserts no message twice.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "plat_json.h"
#include "restore/restore_worker.h"

class GWSTask;

// Modes: 0 the selected messages (local ids) of every backed-up account, 1 the mailbox of the
// source user, 2 every backed-up account into its own mailbox. The target (modes 0 and 1) is the
// given account when not empty, else the account whose message it is.
// 0 when the restore went through (messages that failed five runs included, each with its row);
// -1 when the task's Gmail lock is held or GAM lost its connection; -161 when a catalog of modes 1
// and 2 cannot be read; the listing's result when the backed-up accounts cannot be listed; the
// journal's error when an inserted message cannot be noted.
int Restore_Gmail(GWSTask* pTask, const char* pszDomainUserEmail, const char* pszTargetAccount, PT_JSON ptjLocalList,
                  std::string strMissionPath, int nRestoreMode, sqlite3* sqlDatabase);

namespace qlm {

// The worker's total of a Gmail restore: the selected local ids (mode 0), the rows of the source
// user's catalog (mode 1, 0 when the user has no backup), or of every backed-up account's (mode 2).
// 0; -1 after the worker's catalog-failure row.
int Count_Gmail_Restore_Total(const RestoreRequest& req, int64_t& total, sqlite3* db);

// The stored EML file of a message.
std::string Gmail_Stored_Message_Path(const std::string& strTaskID, const std::string& strUser,
                                      const std::string& strLocalID);

}  // namespace qlm
