#include "dbcontrol/shared_drive_db.h"

#include <cstdio>
#include <cstring>

#include "common/jsontext.h"
#include "dbcontrol/catalog_common.h"
#include "dbcontrol/drive_db.h"

using namespace qlm::catalog;

namespace {

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS shared_drive_sql_database(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "drive_id TEXT NOT NULL,drive_name TEXT NOT NULL,drive_md5Checksum TEXT NOT NULL,"
    "drive_modifiedTime TEXT NOT NULL,drive_mimeType TEXT NOT NULL,drive_index INTEGER NOT NULL,"
    "drive_depth INTEGER NOT NULL,drive_size INTEGER NOT NULL,drive_localid TEXT NOT NULL,"
    "drive_parents TEXT NOT NULL,drive_members TEXT NOT NULL,create_time INTEGER NOT NULL,"
    "last_backup_time INTEGER NOT NULL,modify_timestamp INTEGER NOT NULL);";

constexpr const char* kCreateIndexes[] = {
    "CREATE UNIQUE INDEX IF NOT EXISTS idx_shared_drive_sql_database_drive_id ON shared_drive_sql_database(drive_id);",
    "CREATE INDEX IF NOT EXISTS idx_shared_drive_sql_database_drive_parents ON "
    "shared_drive_sql_database(drive_parents);",
    "CREATE INDEX IF NOT EXISTS idx_shared_drive_sql_database_drive_index ON shared_drive_sql_database(drive_index);",
};

constexpr const char* kUpsert =
    "INSERT INTO shared_drive_sql_database (drive_id,drive_name,drive_md5Checksum,drive_modifiedTime,"
    "drive_mimeType,drive_index,drive_depth,drive_size,drive_localid,drive_parents,drive_members,create_time,"
    "last_backup_time,modify_timestamp) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT(drive_id) DO "
    "UPDATE SET drive_name=excluded.drive_name,drive_md5Checksum=excluded.drive_md5Checksum,"
    "drive_modifiedTime=excluded.drive_modifiedTime,drive_mimeType=excluded.drive_mimeType,"
    "drive_index=excluded.drive_index,drive_depth=excluded.drive_depth,drive_size=excluded.drive_size,"
    "drive_localid=excluded.drive_localid,drive_parents=excluded.drive_parents,"
    "drive_members=excluded.drive_members,last_backup_time=excluded.last_backup_time,"
    "modify_timestamp=excluded.modify_timestamp;";

constexpr Drive_Like_Queries kQueries = {
    Kind::SharedDrive,
    "SELECT * from shared_drive_sql_database WHERE drive_index = ?1 ORDER BY ID DESC;",
    "SELECT * from shared_drive_sql_database WHERE drive_parents = ?1 ORDER BY ID DESC;",
    "SELECT * from shared_drive_sql_database WHERE drive_parents = ?1 ORDER BY ID DESC LIMIT ?2,?3;",
    "SELECT * FROM shared_drive_sql_database WHERE drive_name LIKE ?1 OR drive_members LIKE ?1 "
    "ORDER BY ID DESC LIMIT ?2,?3;",
    "SELECT COUNT(*) FROM shared_drive_sql_database WHERE drive_parents = ?1;",
};

int Bind_Shared_Drive_Row(sqlite3_stmt* st, const std::string& id, const SharedDriveData& d) {
    int rc = Bind_Drive_Like_Head(st, id, d);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 11, d.strMember);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int64(st, 12, d.llCreateTime);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int64(st, 13, d.llLastBackupTime);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int64(st, 14, d.llModifyTime);
    return rc;
}

constexpr const char* kDropMapping = "DROP TABLE IF EXISTS shared_drive_mapping_uuid_table;";
constexpr const char* kCreateMapping =
    "CREATE TABLE shared_drive_mapping_uuid_table(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "shared_drive_uuid TEXT NOT NULL,shared_drive_id TEXT NOT NULL,shared_drive_name TEXT NOT NULL);";

constexpr Json_Column kMappingForm[] = {
    {"shared_drive_uuid", "shared_drive_uuid", Json_Kind::Text},
    {"shared_drive_id", "shared_drive_id", Json_Kind::Text},
    {"shared_drive_name", "shared_drive_name", Json_Kind::Text},
};

}  // namespace

int Shared_Drive_SQL_Open_Datebase(sqlite3** ppDb, const char* pszUUID, const char* pszTaskID, bool bDelOldDBIfExist) {
    return Open_Catalog_For_Caller(Kind::SharedDrive, ppDb, pszUUID, pszTaskID,
                                   bDelOldDBIfExist ? Open_Mode::Writer_Fresh : Open_Mode::Writer);
}

int Shared_Drive_SQL_Open_Mapping_UUID_Datebase(sqlite3** ppDb, const char* pszTaskID, bool bDelOldDBIfExist) {
    return Open_Catalog_For_Caller(Kind::SharedDriveMap, ppDb, pszTaskID, pszTaskID,
                                   bDelOldDBIfExist ? Open_Mode::Writer_Fresh : Open_Mode::Writer);
}

int Shared_Drive_Write_DB(const std::map<std::string, SharedDriveData>& mapData, const char* pszUUID,
                          const char* pszTaskID) {
    int stage = -1;
    const int rc = Upsert_Catalog(Kind::SharedDrive, pszUUID, pszTaskID, kCreateTable, kCreateIndexes, mapData.empty(),
                                  kUpsert,
                                  [&](sqlite3_stmt* st) {
                                      for (const auto& [id, d] : mapData) {
                                          if (Bind_Shared_Drive_Row(st, id, d) != SQLITE_OK || Step_Row(st) != 0)
                                              return -161;
                                      }
                                      return 0;
                                  },
                                  &stage);
    if (rc != 0) {
        static constexpr const char* kLines[] = {
            "Fail in Shared_Drive_SQL_Open_Datebase", "Fail in Shared_Drive_SQL_Create_Table",
            "Fail in Shared_Drive_SQL_Create_Unique_Index", "Fail in Upsert_Shared_Drive_File_Data_To_DB"};
        // Diagnostics go to stderr: stdout carries a request's one reply.
        if (stage >= 0 && stage < 4) fprintf(stderr, "%s\n", kLines[stage]);
    }
    return rc;
}

int Shared_Drive_Read_DB(std::map<std::string, SharedDriveData>& mapData, const char* pszUUID, const char* pszTaskID) {
    return Read_Drive_Like<SharedDriveData>(Kind::SharedDrive, mapData, pszUUID, pszTaskID, "shared_drive_sql_database",
                                            "SELECT drive_id,drive_localid,drive_md5Checksum,modify_timestamp,"
                                            "create_time,drive_members FROM shared_drive_sql_database;",
                                            [](sqlite3_stmt* st, SharedDriveData& d) { d.strMember = Column_String(st, 5); });
}

int Shared_Drive_Delete_DB(const char* pszTaskID, const char* pszUUID, const char* pszDriveID) {
    if (pszDriveID == nullptr) return -22;
    return Run_Change(Kind::SharedDrive, pszUUID, pszTaskID, "DELETE FROM shared_drive_sql_database WHERE drive_id = ?;",
                      {std::string(pszDriveID)});
}

int Shared_Drive_Get_DB_Data(PT_JSON jsonList, const char* pszUUID, const char* pszTaskID) {
    if (jsonList == nullptr) return -22;
    return Shared_Drive_Get_DB_Data_Each(qlm::catalog::List_Appender(jsonList), pszUUID, pszTaskID);
}

int Shared_Drive_Get_DB_Data_Each(const qlm::catalog::Json_Row_Sink& onRow, const char* pszUUID,
                                  const char* pszTaskID) {
    const int rc = Query_Json_Each(Kind::SharedDrive, pszUUID, pszTaskID,
                                   "SELECT * from shared_drive_sql_database ORDER BY ID DESC;", {}, Drive_Full_Form(),
                                   onRow);
    return Reported(rc);
}

int Shared_Drvie_Find_DB_Data_By_Index(PT_JSON jsonList, const char* pszUUID, const char* pszTaskID, int iIndex) {
    Drive_Like_Find_By_Index(kQueries, jsonList, pszUUID, pszTaskID, iIndex, Drive_Full_Form());
    return 0;
}

int Shared_Drvie_Find_DB_Data_By_ParentID(PT_JSON jsonList, const char* pszUUID, const char* pszTaskID,
                                          const char* pszParentID) {
    Drive_Like_Find_By_Parent(kQueries, jsonList, pszUUID, pszTaskID, pszParentID, Drive_Full_Form());
    return 0;
}

long long Shared_Drvie_Count_DB_Data_By_ParentID(const char* pszUUID, const char* pszTaskID, const char* pszParentID) {
    return Drive_Like_Count_By_Parent(kQueries, pszUUID, pszTaskID, pszParentID);
}

int Shared_Drvie_Find_DB_Data_By_ParentID_For_Pagination(PT_JSON jsonList, const char* pszUUID, const char* pszTaskID,
                                                         const char* pszParentID, int iStart, int iLimit,
                                                         const char* pszKeyWord) {
    if (jsonList == nullptr) return 0;
    Drive_Like_Page(kQueries, List_Appender(jsonList), pszUUID, pszTaskID, pszParentID, iStart, iLimit, pszKeyWord,
                    Drive_Full_Form());
    return 0;
}

void Shared_Drvie_Find_DB_Data_By_ParentID_For_Pagination_Each(const Json_Row_Sink& onRow, const char* pszUUID,
                                                               const char* pszTaskID, const char* pszParentID,
                                                               int iStart, int iLimit, const char* pszKeyWord) {
    Drive_Like_Page(kQueries, onRow, pszUUID, pszTaskID, pszParentID, iStart, iLimit, pszKeyWord, Drive_Full_Form());
}

int SharedDrive_Write_Mapping_UUID_To_DB(const std::map<std::string, SharedDriveInfo>& mapUUIDInfo,
                                         const char* pszTaskID) {
    return Rewrite_Snapshot(Kind::SharedDriveMap, pszTaskID, pszTaskID, kDropMapping, kCreateMapping,
                            "INSERT INTO shared_drive_mapping_uuid_table (shared_drive_uuid,shared_drive_id,"
                            "shared_drive_name) VALUES (?, ?, ?);",
                            [&](sqlite3_stmt* st) {
                                for (const auto& [uuid, info] : mapUUIDInfo) {
                                    if (Bind_Text_Ref(st, 1, uuid) != SQLITE_OK ||
                                        Bind_Text_Ref(st, 2, info.strSharedDriveID) != SQLITE_OK ||
                                        Bind_Text_Ref(st, 3, info.strSharedDriveName) != SQLITE_OK || Step_Row(st) != 0)
                                        return -161;
                                }
                                return 0;
                            });
}

int Shared_Drive_Read_Mapping_UUID_DB(std::map<std::string, std::string>& mapIDToUUID, const char* pszTaskID) {
    if (pszTaskID == nullptr) return -22;
    std::map<std::string, std::string> read;
    const int rc = Read_Records(Kind::SharedDriveMap, pszTaskID, pszTaskID, "shared_drive_mapping_uuid_table",
                                "SELECT shared_drive_uuid,shared_drive_id FROM shared_drive_mapping_uuid_table "
                                "ORDER BY id DESC;",
                                [&](sqlite3_stmt* st) {
                                    if (sqlite3_column_type(st, 0) == SQLITE_NULL ||
                                        sqlite3_column_type(st, 1) == SQLITE_NULL)
                                        return;
                                    read.emplace(Column_String(st, 1), Column_String(st, 0));  // newest row wins
                                });
    return Hand_Over(rc, mapIDToUUID, read);
}

int Shared_Drive_Get_Mapping_UUID_DB_Data(PT_JSON jsonList, const char* pszTaskID) {
    const int rc = Query_Json(Kind::SharedDriveMap, pszTaskID, pszTaskID,
                              "SELECT * from shared_drive_mapping_uuid_table ORDER BY ID DESC;", {}, kMappingForm, jsonList);
    return Reported(rc);
}

std::string Shared_Drive_Mapped_Field(const char* pszTaskID, const char* pszUUID, const char* pszColumn) {
    if (pszUUID == nullptr || pszColumn == nullptr) return "";
    RAIIful_Json rows(Json_List_Init());
    Shared_Drive_Get_Mapping_UUID_DB_Data(rows.get(), pszTaskID);
    for (int i = 0; i < Json_List_Size(rows.get()); ++i) {
        PT_JSON row = Json_List_Child(rows.get(), i);
        if (strcmp(qlm::Json_Text_Of(row, "shared_drive_uuid"), pszUUID) == 0) return qlm::Json_Text_Of(row, pszColumn);
    }
    return "";
}
