#include "dbcontrol/drive_db.h"

namespace qlm::catalog {

namespace {

constexpr Json_Column kFullForm[] = {
    {"drive_id", "id", Json_Kind::Text},
    {"drive_name", "name", Json_Kind::Text},
    {"drive_md5Checksum", "md5Checksum", Json_Kind::Text},
    {"drive_modifiedTime", "modifiedTime", Json_Kind::Text_Or_Epoch},
    {"drive_mimeType", "mimeType", Json_Kind::Text},
    {"drive_index", "index", Json_Kind::Integer},
    {"drive_depth", "depth", Json_Kind::Integer},
    {"drive_size", "size", Json_Kind::Text},  // a JSON string of digits: sizes pass 2^53
    {"drive_localid", "localid", Json_Kind::Text},
    {"drive_parents", "parents", Json_Kind::Text},
    {"drive_Owner", "Owner", Json_Kind::Text},
    {"drive_members", "members", Json_Kind::Text},
    {"structure", "structure", Json_Kind::Text},
};

constexpr Json_Column kShortForm[] = {
    {"drive_id", "id", Json_Kind::Text},
    {"drive_name", "name", Json_Kind::Text},
    {"drive_modifiedTime", "modifiedTime", Json_Kind::Text},
    {"drive_mimeType", "mimeType", Json_Kind::Text},
    {"drive_index", "index", Json_Kind::Integer},
    {"drive_size", "size", Json_Kind::Text},
    {"drive_Owner", "Owner", Json_Kind::Text},
    {"structure", "structure", Json_Kind::Text},
};

}  // namespace

Json_Form Drive_Full_Form() { return kFullForm; }
Json_Form Drive_Short_Form() { return kShortForm; }

void Drive_Like_Find_By_Index(const Drive_Like_Queries& q, PT_JSON list, const char* key, const char* task,
                              int index, Json_Form form) {
    Query_Json(q.kind, key, task, q.byIndex, {static_cast<long long>(index)}, form, list);
}

void Drive_Like_Find_By_Parent(const Drive_Like_Queries& q, PT_JSON list, const char* key, const char* task,
                               const char* parent, Json_Form form) {
    if (parent == nullptr) return;
    Query_Json(q.kind, key, task, q.byParent, {std::string(parent)}, form, list);
}

long long Drive_Like_Count_By_Parent(const Drive_Like_Queries& q, const char* key, const char* task, const char* parent) {
    if (parent == nullptr) return 0;
    return Query_Count(q.kind, key, task, q.countParent, {std::string(parent)});
}

void Drive_Like_Page(const Drive_Like_Queries& q, const Json_Row_Sink& onRow, const char* key, const char* task,
                     const char* parent, int start, int limit, const char* keyword, Json_Form form) {
    const long long s = start, l = limit;
    if (keyword && *keyword) {
        Query_Json_Each(q.kind, key, task, q.keywordPage, {Like_Contains(keyword), s, l}, form, onRow);
    } else if (parent) {
        Query_Json_Each(q.kind, key, task, q.parentPage, {std::string(parent), s, l}, form, onRow);
    }
}

}  // namespace qlm::catalog

using namespace qlm::catalog;

namespace {

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS drive_sql_database(id INTEGER PRIMARY KEY AUTOINCREMENT,drive_id TEXT NOT NULL,"
    "drive_name TEXT NOT NULL,drive_md5Checksum TEXT NOT NULL,drive_modifiedTime TEXT NOT NULL,"
    "drive_mimeType TEXT NOT NULL,drive_index INTEGER NOT NULL,drive_depth INTEGER NOT NULL,"
    "drive_size INTEGER NOT NULL,drive_localid TEXT NOT NULL,drive_parents TEXT NOT NULL,"
    "drive_Owner TEXT NOT NULL,create_time INTEGER NOT NULL,last_backup_time INTEGER NOT NULL,"
    "structure TEXT NOT NULL,modify_timestamp INTEGER NOT NULL);";

// The unique id index carries the upsert; the other two serve folder pages and index lookups,
// which would otherwise scan the whole catalog on every browse.
constexpr const char* kCreateIndexes[] = {
    "CREATE UNIQUE INDEX IF NOT EXISTS idx_drive_sql_database_drive_id ON drive_sql_database(drive_id);",
    "CREATE INDEX IF NOT EXISTS idx_drive_sql_database_drive_parents ON drive_sql_database(drive_parents);",
    "CREATE INDEX IF NOT EXISTS idx_drive_sql_database_drive_index ON drive_sql_database(drive_index);",
};

constexpr const char* kUpsert =
    "INSERT INTO drive_sql_database (drive_id,drive_name,drive_md5Checksum,drive_modifiedTime,drive_mimeType,"
    "drive_index,drive_depth,drive_size,drive_localid,drive_parents,drive_Owner,create_time,last_backup_time,"
    "structure,modify_timestamp) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT(drive_id) DO "
    "UPDATE SET drive_name=excluded.drive_name,drive_md5Checksum=excluded.drive_md5Checksum,"
    "drive_modifiedTime=excluded.drive_modifiedTime,drive_mimeType=excluded.drive_mimeType,"
    "drive_index=excluded.drive_index,drive_depth=excluded.drive_depth,drive_size=excluded.drive_size,"
    "drive_localid=excluded.drive_localid,drive_parents=excluded.drive_parents,drive_Owner=excluded.drive_Owner,"
    "last_backup_time=excluded.last_backup_time,structure=excluded.structure,"
    "modify_timestamp=excluded.modify_timestamp;";

constexpr Drive_Like_Queries kQueries = {
    Kind::Drive,
    "SELECT * from drive_sql_database WHERE drive_index = ?1 ORDER BY ID DESC;",
    "SELECT * from drive_sql_database WHERE drive_parents = ?1 ORDER BY ID DESC;",
    "SELECT * from drive_sql_database WHERE drive_parents = ?1 ORDER BY ID DESC LIMIT ?2,?3;",
    "SELECT * FROM drive_sql_database WHERE drive_name LIKE ?1 OR drive_Owner LIKE ?1 ORDER BY ID DESC LIMIT ?2,?3;",
    "SELECT COUNT(*) FROM drive_sql_database WHERE drive_parents = ?1;",
};

}  // namespace

const char* qlm::catalog::Drive_Upsert_Sql() { return kUpsert; }

namespace {

int Bind_Drive_Row(sqlite3_stmt* st, const std::string& id, const DriveData& d) {
    int rc = Bind_Drive_Like_Head(st, id, d);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 11, d.strOwner);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int64(st, 12, d.llCreateTime);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int64(st, 13, d.llLastBackupTime);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 14, d.strStructure);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int64(st, 15, d.llModifyTime);
    return rc;
}

}  // namespace

int Drive_SQL_Open_Datebase(sqlite3** ppDb, const char* pszUserEmail, const char* pszTaskID, bool bDelOldDBIfExist) {
    return Open_Catalog_For_Caller(Kind::Drive, ppDb, pszUserEmail, pszTaskID,
                                   bDelOldDBIfExist ? Open_Mode::Writer_Fresh : Open_Mode::Writer);
}

int Drive_Write_DB(const std::map<std::string, DriveData>& mapDriveData, const char* pszUserEmail, const char* pszTaskID) {
    return Upsert_Catalog(Kind::Drive, pszUserEmail, pszTaskID, kCreateTable, kCreateIndexes, mapDriveData.empty(),
                          kUpsert, [&](sqlite3_stmt* st) {
                              for (const auto& [id, d] : mapDriveData) {
                                  if (Bind_Drive_Row(st, id, d) != SQLITE_OK || Step_Row(st) != 0) return -161;
                              }
                              return 0;
                          });
}

int Drive_Read_DB(std::map<std::string, DriveData>& mapDriveData, const char* pszUserEmail, const char* pszTaskID) {
    return Read_Drive_Like<DriveData>(
        Kind::Drive, mapDriveData, pszUserEmail, pszTaskID, "drive_sql_database",
        "SELECT drive_id,drive_localid,drive_md5Checksum,modify_timestamp,create_time FROM drive_sql_database;",
        nullptr);
}

int Drive_Delete_DB(const char* pszTaskID, const char* pszUserEmail, const char* pszDriveID) {
    if (pszDriveID == nullptr) return -22;
    return Run_Change(Kind::Drive, pszUserEmail, pszTaskID, "DELETE FROM drive_sql_database WHERE drive_id = ?;",
                      {std::string(pszDriveID)});
}

int Drive_Get_DB_Data(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID) {
    if (jsonList == nullptr) return -22;
    return Drive_Get_DB_Data_Each(qlm::catalog::List_Appender(jsonList), pszUserEmail, pszTaskID);
}

int Drive_Get_DB_Data_Each(const qlm::catalog::Json_Row_Sink& onRow, const char* pszUserEmail, const char* pszTaskID) {
    const int rc = Query_Json_Each(Kind::Drive, pszUserEmail, pszTaskID,
                                   "SELECT * from drive_sql_database ORDER BY ID DESC;", {}, Drive_Full_Form(), onRow);
    return Reported(rc);
}

int Drvie_Find_DB_Data_By_Index(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID, int iIndex) {
    Drive_Like_Find_By_Index(kQueries, jsonList, pszUserEmail, pszTaskID, iIndex, Drive_Full_Form());
    return 0;
}

int Drvie_Find_DB_Simple_Data_By_Index(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID, int iIndex) {
    Drive_Like_Find_By_Index(kQueries, jsonList, pszUserEmail, pszTaskID, iIndex, Drive_Short_Form());
    return 0;
}

int Drvie_Find_DB_Data_By_ParentID(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID,
                                   const char* pszParentID) {
    Drive_Like_Find_By_Parent(kQueries, jsonList, pszUserEmail, pszTaskID, pszParentID, Drive_Full_Form());
    return 0;
}

int Drvie_Find_DB_Simple_Data_By_ParentID(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID,
                                          const char* pszParentID) {
    Drive_Like_Find_By_Parent(kQueries, jsonList, pszUserEmail, pszTaskID, pszParentID, Drive_Short_Form());
    return 0;
}

long long Drvie_Count_DB_Data_By_ParentID(const char* pszUserEmail, const char* pszTaskID, const char* pszParentID) {
    return Drive_Like_Count_By_Parent(kQueries, pszUserEmail, pszTaskID, pszParentID);
}

int Drvie_Find_DB_Simple_Data_By_ParentID_For_Pagination(PT_JSON jsonList, const char* pszUserEmail,
                                                         const char* pszTaskID, const char* pszParentID,
                                                         int iStart, int iLimit, const char* pszKeyWord) {
    if (jsonList == nullptr) return 0;
    Drive_Like_Page(kQueries, List_Appender(jsonList), pszUserEmail, pszTaskID, pszParentID, iStart, iLimit,
                    pszKeyWord, Drive_Short_Form());
    return 0;
}

void Drvie_Find_DB_Simple_Data_By_ParentID_For_Pagination_Each(const Json_Row_Sink& onRow, const char* pszUserEmail,
                                                               const char* pszTaskID, const char* pszParentID,
                                                               int iStart, int iLimit, const char* pszKeyWord) {
    Drive_Like_Page(kQueries, onRow, pszUserEmail, pszTaskID, pszParentID, iStart, iLimit, pszKeyWord,
                    Drive_Short_Form());
}
