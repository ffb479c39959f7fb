// Advanced search of one account's Drive catalog or one shared drive's catalog: every matching
// row (files and folders of all folders), newest first, without a limit.
//
// Filters, joined with AND; each counts only when set:
//   name keyword (not NULL; "" matches every row)    drive_name LIKE %kw%
//   type word "word", "excel", "ppt", "pic", "pdf", "folder" or "other" (exact; another word adds
//     nothing): the Office types, images, PDF, folders, or none of those six
//   size (nSizeSearchType > 0 and llSize > 0, llSize in KiB): 1 at least, 2 at most; any other
//     size type makes the result empty
//   first backup (create_time), last backup (last_backup_time), modification (modify_timestamp):
//     early and/or late, seconds since 1970, both ends inclusive; -1 or 0 is "not set"
//   member keyword (Shared Drive only, not NULL)     drive_members LIKE %kw%
// No filter at all gives an empty result. Keywords keep LIKE's '%' and '_' wildcards.
// Both return 0 whatever happens; a catalog that cannot be read leaves the list unchanged.
#pragma once

#include "dbcontrol/catalog_common.h"
#include "plat_json.h"

// Rows in the short form of drive_db.h.
int Drive_Get_DB_Data_For_Advance_Search(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID,
                                         const char* pszNameKeyWord, const char* pszType, int nSizeSearchType,
                                         long long llSize, int nCreateTimeEarly, int nCreateTimeLate,
                                         int nLastBackupTimeEarly, int nLastBackupTimeLate,
                                         int nLastModifiedTimeEarly, int nLastModifiedTimeLate);

// Rows in the full form (with "members"). Note the member keyword between the backup and the
// modification times.
int Shared_Drive_Get_DB_Data_For_Advance_Search(PT_JSON jsonList, const char* pszUUID, const char* pszTaskID,
                                                const char* pszNameKeyWord, const char* pszType, int nSizeSearchType,
                                                long long llSize, int nCreateTimeEarly, int nCreateTimeLate,
                                                int nLastBackupTimeEarly, int nLastBackupTimeLate,
                                                const char* pszMemberKeyWord, int nLastModifiedTimeEarly,
                                                int nLastModifiedTimeLate);

namespace qlm::catalog {

// The filters of the searches above, "not set" by default.
struct Drive_Search_Filters {
    const char* name = nullptr;
    const char* type = nullptr;
    int sizeType = -1;
    long long sizeKiB = -1;
    int createEarly = -1, createLate = -1;
    int backupEarly = -1, backupLate = -1;
    const char* member = nullptr;  // Shared Drive only
    int modifiedEarly = -1, modifiedLate = -1;
};

// The same searches handing each row to onRow as it is read (short form for Kind::Drive, full
// form for Kind::SharedDrive), so a reply can be written without holding every row at once.
// 0 also when nothing matched or no filter is set; the codes of Query_Json_Each otherwise.
int Drive_Search_Each(Kind kind, const char* key, const char* task, const Drive_Search_Filters& filters,
                      const Json_Row_Sink& onRow);

}  // namespace qlm::catalog
