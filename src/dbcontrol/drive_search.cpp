#include "dbcontrol/drive_search.h"

#include <climits>
#include <cstring>

#include "dbcontrol/catalog_common.h"
#include "dbcontrol/drive_db.h"

using namespace qlm::catalog;

namespace {

#define QLM_MIME_WORD "application/vnd.openxmlformats-officedocument.wordprocessingml.document"
#define QLM_MIME_EXCEL "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"
#define QLM_MIME_PPT "application/vnd.openxmlformats-officedocument.presentationml.presentation"
#define QLM_MIME_PIC "image"
#define QLM_MIME_PDF "application/pdf"
#define QLM_MIME_FOLDER "application/vnd.google-apps.folder"

struct Type_Condition {
    const char* word;
    const char* condition;
};

// The patterns are ours, so they stand in the statement; only request values are bound.
constexpr Type_Condition kTypes[] = {
    {"word", "drive_mimeType LIKE '%" QLM_MIME_WORD "%'"},
    {"excel", "drive_mimeType LIKE '%" QLM_MIME_EXCEL "%'"},
    {"ppt", "drive_mimeType LIKE '%" QLM_MIME_PPT "%'"},
    {"pic", "drive_mimeType LIKE '%" QLM_MIME_PIC "%'"},
    {"pdf", "drive_mimeType LIKE '%" QLM_MIME_PDF "%'"},
    {"folder", "drive_mimeType LIKE '%" QLM_MIME_FOLDER "%'"},
    {"other",
     "drive_mimeType NOT LIKE '%" QLM_MIME_WORD "%' AND drive_mimeType NOT LIKE '%" QLM_MIME_EXCEL
     "%' AND drive_mimeType NOT LIKE '%" QLM_MIME_PPT "%' AND drive_mimeType NOT LIKE '%" QLM_MIME_PIC
     "%' AND drive_mimeType NOT LIKE '%" QLM_MIME_PDF "%' AND drive_mimeType NOT LIKE '%" QLM_MIME_FOLDER "%'"},
};

#undef QLM_MIME_WORD
#undef QLM_MIME_EXCEL
#undef QLM_MIME_PPT
#undef QLM_MIME_PIC
#undef QLM_MIME_PDF
#undef QLM_MIME_FOLDER

// False when the filters select nothing by definition (an unknown size type).
bool Collect(const Drive_Search_Filters& f, bool withMember, Where& w) {
    if (f.name) w.Add("drive_name LIKE ?", {Like_Contains(f.name)});
    if (f.type) {
        for (const Type_Condition& t : kTypes)
            if (strcmp(f.type, t.word) == 0) w.Add(t.condition, {});
    }
    if (f.sizeType > 0 && f.sizeKiB > 0) {
        // Request text can name any 64-bit size: saturate rather than overflow.
        const long long bytes = f.sizeKiB > LLONG_MAX / 1024 ? LLONG_MAX : f.sizeKiB * 1024;
        if (f.sizeType == 1)
            w.Add("drive_size >= ?", {bytes});
        else if (f.sizeType == 2)
            w.Add("drive_size <= ?", {bytes});
        else
            return false;
    }
    w.Add_Range("create_time", f.createEarly, f.createLate);
    w.Add_Range("last_backup_time", f.backupEarly, f.backupLate);
    if (withMember && f.member) w.Add("drive_members LIKE ?", {Like_Contains(f.member)});
    w.Add_Range("modify_timestamp", f.modifiedEarly, f.modifiedLate);
    return true;
}

const char* Table_Of(Kind kind) {
    return kind == Kind::SharedDrive ? "shared_drive_sql_database" : "drive_sql_database";
}

}  // namespace

int qlm::catalog::Drive_Search_Each(Kind kind, const char* key, const char* task, const Drive_Search_Filters& f,
                                    const Json_Row_Sink& onRow) {
    Where w;
    if (!Collect(f, kind == Kind::SharedDrive, w) || w.empty()) return 0;
    const std::string sql = std::string("SELECT * FROM ") + Table_Of(kind) + " WHERE " + w.sql + " ORDER BY ID DESC;";
    return Query_Json_Each(kind, key, task, sql.c_str(), w.binds,
                           kind == Kind::SharedDrive ? Drive_Full_Form() : Drive_Short_Form(), onRow);
}

namespace {

void Search(Kind kind, PT_JSON list, const char* key, const char* task, const Drive_Search_Filters& f) {
    if (list == nullptr) return;
    Drive_Search_Each(kind, key, task, f, List_Appender(list));
}

}  // namespace

int Drive_Get_DB_Data_For_Advance_Search(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID,
                                         const char* pszNameKeyWord, const char* pszType, int nSizeSearchType,
                                         long long llSize, int nCreateTimeEarly, int nCreateTimeLate,
                                         int nLastBackupTimeEarly, int nLastBackupTimeLate,
                                         int nLastModifiedTimeEarly, int nLastModifiedTimeLate) {
    const Drive_Search_Filters f{pszNameKeyWord,   pszType,         nSizeSearchType,      llSize,
                                 nCreateTimeEarly, nCreateTimeLate, nLastBackupTimeEarly, nLastBackupTimeLate,
                                 nullptr,          nLastModifiedTimeEarly, nLastModifiedTimeLate};
    Search(Kind::Drive, jsonList, pszUserEmail, pszTaskID, f);
    return 0;
}

int Shared_Drive_Get_DB_Data_For_Advance_Search(PT_JSON jsonList, const char* pszUUID, const char* pszTaskID,
                                                const char* pszNameKeyWord, const char* pszType, int nSizeSearchType,
                                                long long llSize, int nCreateTimeEarly, int nCreateTimeLate,
                                                int nLastBackupTimeEarly, int nLastBackupTimeLate,
                                                const char* pszMemberKeyWord, int nLastModifiedTimeEarly,
                                                int nLastModifiedTimeLate) {
    const Drive_Search_Filters f{pszNameKeyWord,   pszType,         nSizeSearchType,      llSize,
                                 nCreateTimeEarly, nCreateTimeLate, nLastBackupTimeEarly, nLastBackupTimeLate,
                                 pszMemberKeyWord, nLastModifiedTimeEarly, nLastModifiedTimeLate};
    Search(Kind::SharedDrive, jsonList, pszUUID, pszTaskID, f);
    return 0;
}
