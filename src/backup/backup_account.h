// What every service backup does for one account (or shared drive) before it touches its data:
// take the account's writer lock and make its store folder. A lock that another writer holds is
// the one reason to pass an account over as "already in progress"; a lock file or folder that
// cannot be made (a name too long for the file system, a name another account's files already
// use), or a catalog whose file names would be too long, skips that account with a FAIL row
// saying what failed, and the service goes on.
#pragma once

#include <cerrno>
#include <string>

namespace qlm {

// Take_Account_Lock's result when another holder kept the lock for the whole wait.
inline constexpr int kAccountLockHeld = -EWOULDBLOCK;

// Takes the writer lock strLockPath (Get_File_Lock, waiting nWaitMs). 0 with fd holding it;
// kAccountLockHeld; any other negative errno when the lock file cannot be made or opened, with
// strWhy set to what failed, e.g. "its lock file cannot be made (File name too long)".
int Take_Account_Lock(const std::string& strLockPath, int nWaitMs, int& fd, std::string& strWhy);

// Makes the store folder (mode 0700) when missing. 0; a negative errno with strWhy when it
// cannot be made or something that is no folder has its name.
int Make_Account_Store(const std::string& strFolder, std::string& strWhy);

// Why an account is skipped whose catalog could be made but never written: its name leaves no
// room for the journal beside the catalog file.
inline constexpr const char* kCatalogNamesTooLong = "its catalog's file names would be longer than the file system allows";

// The FAIL row of an account skipped: "Skipped <service> backup for <kind> <name>: <why>."
// e.g. ("Drive", "user account", "bob@example.com", "its lock file cannot be made (...)").
std::string Skipped_Account_Text(const char* pszService, const char* pszKind, const std::string& strName,
                                 const std::string& strWhy);

}  // namespace qlm
