#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>

#include "common/paths.h"
#include "log/log_db.h"
#include "restore/restore_service.h"

namespace qlm {

void Restore_Row(const RestoreLog& log, const char* pszStatus, const char* pszType, const std::string& user,
                 const std::string& text) {
    Sql_Log_Insert_Data(log.db, "Orvenna", log.strTaskID.c_str(), log.strDomain.c_str(), user.c_str(), pszStatus,
                        "restore", pszType, text.c_str());
}

std::string Restore_Format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        vsnprintf(out.data(), out.size(), fmt, ap);
        out.resize(static_cast<size_t>(n));
    }
    va_end(ap);
    return out;
}

bool Restore_Catalog_Exists(const char* pszCatalogService, const std::string& strTaskID, const std::string& strKey) {
    struct stat st {};
    const std::string path = Backup_Service_Dir(pszCatalogService) + "/" + strTaskID + "/" + strKey + ".db";
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Drive_Task_Lock_Path(const std::string& strTaskID) {
    return Backup_Service_Dir("drive") + "/" + strTaskID + ".drive_lck";
}

std::string Drive_User_Lock_Path(const std::string& strTaskID, const std::string& strUser) {
    return Backup_Service_Dir("drive") + "/" + strTaskID + "/" + strUser + ".drive_lck";
}

std::string Shared_Drive_Task_Lock_Path(const std::string& strTaskID) {
    return Backup_Service_Dir("shared_drive") + "/" + strTaskID + ".shared_drive_lck";
}

}  // namespace qlm
