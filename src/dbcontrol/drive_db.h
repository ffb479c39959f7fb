// The Drive catalog: one SQLite file per task and Google account,
// <backup root>/drive_db/<task id>/<e-mail>.db, one row per Drive file or folder of the account.
//
// Results: 0; -22 for a NULL or unusable account, task id or item id; -161 when the catalog
// cannot be opened or a statement fails. The JSON readers marked "always 0" report nothing and
// leave the list as far as they got. Lists come newest row first; an updated row keeps its place.
// Keywords are LIKE substrings: ASCII case is ignored and '%' and '_' act as wildcards.
#pragma once

#include <sqlite3.h>

#include <map>
#include <string>

#include "appgenerallib.h"
#include "dbcontrol/catalog_common.h"
#include "plat_json.h"

// Opens (and creates, with its task folder) the account's catalog for writing; *ppDb is the
// caller's to close. bDelOldDBIfExist removes an existing file first. 0; -22; -161.
int Drive_SQL_Open_Datebase(sqlite3** ppDb, const char* pszUserEmail, const char* pszTaskID, bool bDelOldDBIfExist);

// Upserts every item in one transaction (a failing row undoes the whole call). An item already
// catalogued keeps its row id and create_time. An empty map still creates file, table and indexes.
int Drive_Write_DB(const std::map<std::string, DriveData>& mapDriveData, const char* pszUserEmail, const char* pszTaskID);

// The previous state for a backup: drive id -> record with strLocalID, strMD5, llModifyTime and
// llCreateTime filled. 0 with an empty map for a catalog never written; -161 (and an empty map)
// on a real read error, so a backup never takes a partial map for the whole; -22 leaves the map.
int Drive_Read_DB(std::map<std::string, DriveData>& mapDriveData, const char* pszUserEmail, const char* pszTaskID);

// Removes one item (note the argument order). 0 also when it was not catalogued; -161 when the
// catalog or its table does not exist.
int Drive_Delete_DB(const char* pszTaskID, const char* pszUserEmail, const char* pszDriveID);

// Every row, full form. 0; -22; -161 (also for a catalog never written).
int Drive_Get_DB_Data(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID);
// The same rows handed to onRow one by one, so a whole catalog is never held as JSON at once.
int Drive_Get_DB_Data_Each(const qlm::catalog::Json_Row_Sink& onRow, const char* pszUserEmail, const char* pszTaskID);

// Rows whose drive_index is iIndex: full form / short form. Always 0.
int Drvie_Find_DB_Data_By_Index(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID, int iIndex);
int Drvie_Find_DB_Simple_Data_By_Index(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID, int iIndex);

// The children of one folder: full form / short form. Always 0.
int Drvie_Find_DB_Data_By_ParentID(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID,
                                   const char* pszParentID);
int Drvie_Find_DB_Simple_Data_By_ParentID(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID,
                                          const char* pszParentID);

// The number of children of one folder, counted in SQL. 0 also when the catalog cannot be read.
long long Drvie_Count_DB_Data_By_ParentID(const char* pszUserEmail, const char* pszTaskID, const char* pszParentID);

// One page (skip iStart rows, then at most iLimit), short form. With an empty (or NULL) keyword
// the page lists the folder's children; with a keyword it searches drive_name and drive_Owner of
// the whole account and ignores the folder. Always 0.
int Drvie_Find_DB_Simple_Data_By_ParentID_For_Pagination(PT_JSON jsonList, const char* pszUserEmail,
                                                         const char* pszTaskID, const char* pszParentID,
                                                         int iStart, int iLimit, const char* pszKeyWord);
// The same page with each row handed to onRow as it is read, so a reply can be written row by row.
void Drvie_Find_DB_Simple_Data_By_ParentID_For_Pagination_Each(const qlm::catalog::Json_Row_Sink& onRow,
                                                               const char* pszUserEmail, const char* pszTaskID,
                                                               const char* pszParentID, int iStart, int iLimit,
                                                               const char* pszKeyWord);

namespace qlm::catalog {

// Shared by the Drive and Shared Drive catalogs and their advanced searches.

// The upsert statement of the Drive catalog (15 parameters in column order, 1 the map key).
const char* Drive_Upsert_Sql();

// Full form: "id", "name", "md5Checksum", "modifiedTime" (empty becomes the epoch), "mimeType",
// "index" and "depth" (JSON integers), "size" (text), "localid", "parents", and "Owner" and
// "structure" (Drive) or "members" (Shared Drive). Never the row id nor the three times.
Json_Form Drive_Full_Form();
// Short form: "id", "name", "modifiedTime", "mimeType", "index", "size", "Owner", "structure".
Json_Form Drive_Short_Form();

// The constant lookups of one Drive-like catalog.
struct Drive_Like_Queries {
    Kind kind;
    const char* byIndex;      // ?1 drive_index
    const char* byParent;     // ?1 drive_parents
    const char* parentPage;   // ?1 drive_parents, ?2 start, ?3 limit
    const char* keywordPage;  // ?1 LIKE pattern, ?2 start, ?3 limit
    const char* countParent;  // ?1 drive_parents
};

// Binds parameters 1..10, the columns both catalogs share in the same places: the map key, name,
// MD5, modification time text, MIME type, index, depth, size, local id and parent id.
template <typename Record>
int Bind_Drive_Like_Head(sqlite3_stmt* st, const std::string& id, const Record& d) {
    int rc = Bind_Text_Ref(st, 1, id);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 2, d.strName);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 3, d.strMD5);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 4, d.strModifyTime);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 5, d.strMimeType);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int64(st, 6, d.llIndex);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int64(st, 7, d.llDepth);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int64(st, 8, d.llSize);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 9, d.strLocalID);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 10, d.strParentDriveID);
    return rc;
}

// Fills the fields that a backup compares from the record query's columns 1..4 (local id, MD5,
// modify_timestamp, create_time); column 0 is the drive id.
template <typename Record>
void Read_Drive_Like_Record(sqlite3_stmt* st, Record& d) {
    d.strLocalID = Column_String(st, 1);
    d.strMD5 = Column_String(st, 2);
    d.llModifyTime = sqlite3_column_int64(st, 3);
    d.llCreateTime = sqlite3_column_int64(st, 4);
}

// Runs a record query into a local map and hands it over only when the whole read succeeded.
template <typename Record>
int Read_Drive_Like(Kind kind, std::map<std::string, Record>& out, const char* key, const char* task,
                    const char* table, const char* sql, void (*extra)(sqlite3_stmt*, Record&)) {
    if (key == nullptr || task == nullptr) return -22;
    std::map<std::string, Record> read;
    const int rc = Read_Records(kind, key, task, table, sql, [&](sqlite3_stmt* st) {
        if (sqlite3_column_type(st, 0) == SQLITE_NULL) return;
        Record d;
        Read_Drive_Like_Record(st, d);
        if (extra) extra(st, d);
        read[Column_String(st, 0)] = std::move(d);
    });
    return Hand_Over(rc, out, read);
}

void Drive_Like_Find_By_Index(const Drive_Like_Queries& q, PT_JSON list, const char* key, const char* task,
                              int index, Json_Form form);
void Drive_Like_Find_By_Parent(const Drive_Like_Queries& q, PT_JSON list, const char* key, const char* task,
                               const char* parent, Json_Form form);
long long Drive_Like_Count_By_Parent(const Drive_Like_Queries& q, const char* key, const char* task, const char* parent);
void Drive_Like_Page(const Drive_Like_Queries& q, const Json_Row_Sink& onRow, const char* key, const char* task,
                     const char* parent, int start, int limit, const char* keyword, Json_Form form);

}  // namespace qlm::catalog
