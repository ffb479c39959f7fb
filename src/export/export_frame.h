// What every export to a NAS folder shares: the checks of the request, the dated export folder on
// the share, the reply and the fork, and the worker's frame (pid marker, shared progress record,
// history record, activity-log rows in batches, the end on SIGTERM), plus the one way files are
// made inside the export folder.
//
// An action runs, in this order:
//   Export_Run run;
//   if (Export_Begin(agent, run) != 0) return 0;          // task_id, nas_path
//   ... its own parameters and checks (each failure replies and returns) ...
//   if (Export_Make_Folder(run) != 0) return 0;           // 5052 "nas_path"
//   run.pszService = "..."; run.strDomain = ...;           // what the mission list shows
//   Export_Fork(run, member);                              // replies, then the worker runs member
//
// Everything the worker writes goes through run.dirFd, the export folder opened without following
// a link: files are created exclusively and never through a link, folders with mkdirat, names are
// tested with fstatat(AT_SYMLINK_NOFOLLOW). So a link that finds its way into the export folder
// never leads a write out of it. Files are written under a part name and renamed when whole.
//
// An abort (SIGTERM) ends the worker at once, wherever it is: a member has no stop flag to poll.
// What the handler removes is only what the frame knows of: the marker, the progress record, the
// part file being written (Export_Part) and the scratch file of Export_Scratch_File; queued log rows
// are lost. A member therefore keeps no other state outside the export folder that an abort would
// leave behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/guards.h"
#include "log/log_db.h"

class O_APP_CGI_AGENT;
class SharedProgress;

namespace qlm {

inline constexpr const char* kExportTaskParam = "task_id";
inline constexpr const char* kExportNasPathParam = "nas_path";
inline constexpr const char* kExportSearchParam = "search_condition_enable";
inline constexpr const char* kExportAccountParam = "domain_user_email";
inline constexpr const char* kExportAll = "ALL";

// One export run: filled by the parent before the fork, read by the worker.
struct Export_Run {
    // Export_Begin:
    std::string strTaskId;     // "task_id", of the id form
    std::string strNasPath;    // "nas_path" as the request gives it (the Drive log rows name it)
    std::string strSharePath;  // its physical folder: one leading slash, no trailing one
    std::string strUser;       // the signed-in NAS user, for the activity-log rows
    // Export_Make_Folder:
    std::string strExportDir;  // the physical export folder, no trailing slash
    FdGuard dirFd;           // that folder, opened O_DIRECTORY | O_NOFOLLOW
    // The member, before Export_Fork:
    const char* pszService = "";  // "gmail", "drive", "shared_drive", "contact", "calendar"
    std::string strDomain;        // the account or shared drive shown in the progress and history
    std::string strReplyPath;     // the reply's "path"; empty gives the export folder
    // Export_Fork:
    std::string strMissionId;
};

// The parent's first checks: makes the progress folder (0700); "task_id" absent 5303, not of the
// id form 5302; "nas_path" absent 5303; a "." or ".." component, a NUL or a backslash in it, a
// share path that does not resolve, or a physical folder that is missing or no folder: 5302
// "nas_path". 0, or -1 after the reply.
int Export_Begin(O_APP_CGI_AGENT* agent, Export_Run& run);

// The request's "search_condition_enable" (0 when absent or no boolean).
int Export_Search_Param(O_APP_CGI_AGENT* agent);

// Makes the export folder "Quillmere_Export_yyyymmdd_hhmmss" (local time now) in the share's
// folder with mkdir (0700). The folder is always one the export made itself: when the name is
// taken by anything (a folder a share user made, a link, an export of the same second), the first
// free "<name>_1", "<name>_2" ... is made instead. Opens it into run.dirFd and names it in
// run.strExportDir. 0, or -1 after the reply 5052 "nas_path".
int Export_Make_Folder(Export_Run& run);

// The worker's state, handed to the member's callbacks.
struct Export_Ctx {
    Export_Run* pRun = nullptr;
    SharedProgress* pProgress = nullptr;
    sqlite3* pLog = nullptr;  // open when the member logs
    Sql_Log_Batch logRows;  // rows waiting for their transaction
    bool bFailed = false;       // an item failed: the history says "error"
};

// What a member does in the worker. The frame has written the marker and the progress record
// (current 0, mission name, domain, service, mode "export", start time) before list runs.
struct Export_Member {
    // True when the member writes activity-log rows: the frame opens the log before list.
    bool bLogs = false;
    // Builds the member's item list; total = its length. 0, or negative to stop the export with
    // an "error" history record. Total 0 is an export of nothing, which finishes.
    std::function<int(Export_Ctx&, size_t& total)> list;
    // Handles item i (from 0 to total - 1): 0 done or passed over; positive when the item failed
    // (the export goes on and ends "error"); negative to stop now with "error".
    // Whatever it gives, the frame then adds 1 to the progress.
    std::function<int(Export_Ctx&, size_t i)> item;
    // Optional, after the last item: 0, or negative for an "error" history record.
    std::function<int(Export_Ctx&)> finish;
};

// Makes the mission id, flushes every output stream and forks. A failed fork answers 5052 without
// a message. Otherwise the parent prints {"success": true, "mission_id": ..., "path": ...} and
// returns 0, and the child runs the worker frame (Export_Worker) and ends with _exit(0).
int Export_Fork(Export_Run& run, const Export_Member& member);

// The worker frame, in the forked child: its own session, descriptors 0 to 2 on /dev/null, the
// SIGTERM handler (which removes the progress record, the marker and the file being written, and
// ends the worker, leaving the history record to the abort); the marker
// "progress_mission/<mission id>" holding the pid; the progress record "/<mission id>"; then the
// log (bLogs), list, every item, finish. The history record says "finish", or "error" when the
// log, list, an item or finish failed. Ends by removing the marker and the progress record. Returns the
// exit status the child ends with (0); exposed for tests, which run it in a child of their own.
int Export_Worker(Export_Run& run, const Export_Member& member);

// Queues an activity-log row (task type "Orvenna", the run's task id, the signed-in user,
// "SUCCESS", "backup", "info") stamped now. The queue goes into the log in one transaction when it
// holds 500 rows or its oldest row is a second old, and at the end of the worker. Rows of a
// worker that an abort ends while they wait are lost.
void Export_Log(Export_Ctx& ctx, const std::string& strDomain, const std::string& strMessage);
// The same for an item that failed: "FAIL", level "error".
void Export_Log_Failed(Export_Ctx& ctx, const std::string& strDomain, const std::string& strMessage);
// Writes the queued rows now. 0, or the result of Sql_Log_Insert_Rows (the rows are dropped
// either way: a log that refuses them does not stop the export).
int Export_Log_Flush(Export_Ctx& ctx);
// "Exported <kind> file \"<name>\" of account <account> to NAS path: <path>."
std::string Exported_To_Nas_Message(const char* pszKind, const std::string& strName, const std::string& strAccount,
                                    const std::string& strPath);
// "Failed to export <kind> file \"<name>\" of account <account> to NAS path: <path>."
std::string Failed_To_Nas_Message(const char* pszKind, const std::string& strName, const std::string& strAccount,
                                  const std::string& strPath);

// Name clashes: the first of "<stem><ext>", "<stem>(1)<ext>", "<stem>(2)<ext>" ... for which
// taken(name) is false; empty after 99999 tries.
std::string Export_Free_Name(const std::string& strStem, const std::string& strExt,
                             const std::function<bool(const std::string&)>& taken);
// A name split for Export_Free_Name: the extension starts at its last "." (none when the name has
// no "." or only a leading one).
void Export_Split_Name(const std::string& strName, std::string& strStem, std::string& strExt);
// True when dirFd holds an entry of that name, of any kind, links included (a dangling one too).
bool Export_Name_Taken(int dirFd, const std::string& strName);

// Creates "<stem><ext>" (or the first free numbered name) in dirFd with O_CREAT | O_EXCL |
// O_NOFOLLOW and the mode. The descriptor (write-only, close-on-exec) and the name made, or -1
// and an empty name.
int Export_Create_File(int dirFd, const std::string& strStem, const std::string& strExt, mode_t mode,
                       std::string& strMade);

// A file written under a hidden part name in the folder and given its real name only once it is
// whole, so that no file stands under its real name with less than its content. While it exists
// an abort removes it (one at a time); the guard removes it on every way out.
struct Export_Part {
    int dirFd = -1;
    std::string name;  // the part name; empty when there is none
    FdGuard fd;        // write-only, close-on-exec
    Export_Part() = default;
    ~Export_Part();
    Export_Part(const Export_Part&) = delete;
    Export_Part& operator=(const Export_Part&) = delete;
};
// Creates the part file in dirFd (exclusive, never through a link) with the mode. 0, or -1 with
// errno.
int Export_Part_Open(int dirFd, mode_t mode, Export_Part& part);
// Makes the part whole: fsync, close, and a rename that never replaces an entry, to "<stem><ext>"
// (bNumbered: or its first free numbered name). 0 with the name made; otherwise the part is
// removed and the result is -errno of the step that failed (-EEXIST: no free name).
int Export_Part_Place(Export_Part& part, const std::string& strStem, const std::string& strExt, bool bNumbered,
                      std::string& strMade);
// Removes the part (nothing when there is none).
void Export_Part_Drop(Export_Part& part);

// Copies the regular file src (never through a link: lstat and O_NOFOLLOW) into dirFd under
// "<stem><ext>" or its first free numbered name, written as an Export_Part, with copy_file_range
// (a file system that can share the blocks does so); the copy is a file of its own, so a change
// through the share never reaches the backup. 0 with the name made; -1 when src is missing or no
// regular file; -2 when no name could be made; -3 when src cannot be read or the copy failed;
// -4 when the share is full (no space or quota left). On every failure nothing is left behind.
int Export_Copy_File(const std::string& strSrc, int dirFd, const std::string& strStem, const std::string& strExt,
                     std::string& strMade);

// Makes the folder name (0700) in dirFd, or takes an existing real folder of that name (never a
// link), and opens it as Export_Make_Folder does. The descriptor, or -1.
int Export_Open_Subfolder(int dirFd, const std::string& strName);

// A file of the temporary folder that an abort removes with the worker (one slot; empty clears).
void Export_Scratch_File(const std::string& strPath);

// A running export whose worker is gone (killed without its SIGTERM handler, or the machine
// restarted): true when the marker names no live worker that started by the marker's time. Such
// an export is filed: its marker is taken away first (so only one process files it), then an
// "error" history record made from its progress record, which is removed. strMarkerName is the
// mission id. True when it was filed now.
bool Export_Reap_If_Dead(const std::string& strMissionId);

}  // namespace qlm
