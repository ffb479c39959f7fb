// The two GAM operations the Drive and Shared Drive restores write with: create a folder, and
// upload a backed-up file into a folder; and the command runner with retries they share.
//
// Every argument of every line is quoted as one shell word; a line is never run with an empty
// account, name, parent or source. A run that GAM finished but reported as failed (or that timed
// out after Google made the item, or lost its connection after) is retried or repeated by the
// next attempt, and the item may then exist twice: GAM gives nothing to tell the cases apart.
#pragma once

#include <string>

// Set when a command reported a lost connection; the restores clear it when they start.
extern bool g_bGwsRestoreConnAbort;

// Runs the finished line up to 5 times (pauses of 1, 2, 4, 8 s). 0 when a run exited 0; -1 after
// five failed runs, or at once (the flag set) when the error file shows a lost connection.
int GWS_Run_Restore_Cmd_With_Retry(const std::string& strCmd, const std::string& strErrFile, int iTimeoutSec = 600);

// Inserts one stored message into the account's mailbox under the label, not in the trash, every
// byte as stored (the file is read as Latin-1, which takes any byte). Runs as the runner above:
// 0 inserted; 1 after five failed runs; -1 at once on a lost connection (the flag set).
int Upload_Gmail_With_Retry(const char* pszTargetAccount, const std::string& strSourceFile,
                            const std::string& strLabel);

// The new folder's id, or "" on any failure. The parent may be a shared drive's id (its top).
std::string Create_Drive_Folder(const char* pszUserEmail, const char* pszCreateFolderName,
                                const char* pszDriveParentID);
std::string Create_Shared_Drive_Folder(const char* pszUserEmail, const char* pszCreateFolderName,
                                       const char* pszDriveParentID);
// At the top of the user's My Drive (note the order of the parameters).
std::string Create_Drive_Folder_Without_ParentID(const char* pszCreateFolderName, const char* pszUserEmail);

// 0 when uploaded, -161 otherwise. The source is the user's (or shared drive's) stored copy of the
// local id; the file keeps the given name and gets the type Upload_Mime_Type gives for its
// catalogued type (pszMimeType, may be null). Acting account: the target when not null and not
// empty, else the user; for a shared drive the owner.
int Upload_Drive_File(const char* pszTaskID, const char* pszUserEmail, const char* pszFileName, const char* pszLocalID,
                      const char* pszDriveParentID, const char* pszTargetEmail, const char* pszMimeType);
int Upload_Drive_File_Specify(const char* pszTaskID, const char* pszUserEmail, const char* pszTargetAccount,
                              const char* pszFileName, const char* pszLocalID, const char* pszDriveParentID,
                              const char* pszMimeType);
int Upload_Shared_Drive_File(const char* pszTaskID, const char* pszOwnerEmail, const char* pszSharedDriveUUID,
                             const char* pszFileName, const char* pszLocalID, const char* pszDriveParentID,
                             const char* pszMimeType);

namespace qlm {
// The type an upload line names ("mimetype TYPE"). GAM takes a file's type from its local name,
// and the store's local ids have no extension, so without it every file would arrive as
// application/octet-stream. A Google editor file is stored as its OpenDocument export and goes
// back with that export's type; a type GAM's check would refuse (which would refuse the whole
// line) or another Google type gives "" and the line names none.
std::string Upload_Mime_Type(const std::string& strCatalogued);
// The stored copies the uploads read.
std::string Drive_Stored_Copy_Path(const std::string& strTaskID, const std::string& strUser,
                                   const std::string& strLocalID);
std::string Shared_Drive_Stored_Copy_Path(const std::string& strTaskID, const std::string& strUUID,
                                          const std::string& strLocalID);
}  // namespace qlm
