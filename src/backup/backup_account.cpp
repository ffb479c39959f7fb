#include "backup/backup_account.h"

#include <cstring>

#include "plat_file.h"
#include "plat_lock.h"

namespace qlm {

int Take_Account_Lock(const std::string& strLockPath, int nWaitMs, int& fd, std::string& strWhy) {
    fd = -1;
    const int rc = Get_File_Lock(strLockPath.c_str(), nWaitMs, fd);
    if (rc == 0 || rc == kAccountLockHeld) return rc;
    strWhy = std::string("its lock file cannot be made (") + strerror(-rc) + ")";
    return rc < 0 ? rc : -EIO;
}

int Make_Account_Store(const std::string& strFolder, std::string& strWhy) {
    const int rc = smbbackup::Create_Path(strFolder.c_str(), 0700);
    if (rc == 0) return 0;
    strWhy = std::string("its store folder cannot be made (") + strerror(rc < 0 ? -rc : EIO) + ")";
    return rc < 0 ? rc : -EIO;
}

std::string Skipped_Account_Text(const char* pszService, const char* pszKind, const std::string& strName,
                                 const std::string& strWhy) {
    return std::string("Skipped ") + pszService + " backup for " + pszKind + " " + strName + ": " + strWhy + ".";
}

}  // namespace qlm
