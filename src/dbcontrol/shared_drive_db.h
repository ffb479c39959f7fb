// The Shared Drive catalog, one SQLite file per task and shared drive, named by the drive's uuid
// (<backup root>/shared_drive_db/<task id>/<uuid>.db): the Drive catalog's twin with a member
// list in place of the owner and without the ancestor structure. Every JSON row is the full form
// with "members" (never "Owner" or "structure").
//
// And the task's uuid mapping (<backup root>/shared_drive_map_db/<task id>/<task id>_mapping.db):
// uuid -> Google shared-drive id and name, rewritten whole by every Shared Drive backup.
//
// Results as in drive_db.h: 0; -22; -161.
#pragma once

#include <sqlite3.h>

#include <map>
#include <string>

#include "appgenerallib.h"
#include "dbcontrol/catalog_common.h"
#include "plat_json.h"

// Open routines for writing (folder and file created); *ppDb is the caller's to close.
int Shared_Drive_SQL_Open_Datebase(sqlite3** ppDb, const char* pszUUID, const char* pszTaskID, bool bDelOldDBIfExist);
int Shared_Drive_SQL_Open_Mapping_UUID_Datebase(sqlite3** ppDb, const char* pszTaskID, bool bDelOldDBIfExist);

// Upsert in one transaction, as Drive_Write_DB. Each failure also prints one line on standard
// output naming the step: "Fail in Shared_Drive_SQL_Open_Datebase", "Fail in
// Shared_Drive_SQL_Create_Table", "Fail in Shared_Drive_SQL_Create_Unique_Index" or
// "Fail in Upsert_Shared_Drive_File_Data_To_DB".
int Shared_Drive_Write_DB(const std::map<std::string, SharedDriveData>& mapData, const char* pszUUID,
                          const char* pszTaskID);
// As Drive_Read_DB, with strMember filled too.
int Shared_Drive_Read_DB(std::map<std::string, SharedDriveData>& mapData, const char* pszUUID, const char* pszTaskID);
int Shared_Drive_Delete_DB(const char* pszTaskID, const char* pszUUID, const char* pszDriveID);
int Shared_Drive_Get_DB_Data(PT_JSON jsonList, const char* pszUUID, const char* pszTaskID);
// The same rows handed to onRow one by one.
int Shared_Drive_Get_DB_Data_Each(const qlm::catalog::Json_Row_Sink& onRow, const char* pszUUID,
                                  const char* pszTaskID);

// Lookups, child counts and pages as the Drive ones, full form; the keyword page searches drive_name and
// drive_members of the whole shared drive. Always 0.
int Shared_Drvie_Find_DB_Data_By_Index(PT_JSON jsonList, const char* pszUUID, const char* pszTaskID, int iIndex);
int Shared_Drvie_Find_DB_Data_By_ParentID(PT_JSON jsonList, const char* pszUUID, const char* pszTaskID,
                                          const char* pszParentID);
long long Shared_Drvie_Count_DB_Data_By_ParentID(const char* pszUUID, const char* pszTaskID, const char* pszParentID);
int Shared_Drvie_Find_DB_Data_By_ParentID_For_Pagination(PT_JSON jsonList, const char* pszUUID, const char* pszTaskID,
                                                         const char* pszParentID, int iStart, int iLimit,
                                                         const char* pszKeyWord);
void Shared_Drvie_Find_DB_Data_By_ParentID_For_Pagination_Each(const qlm::catalog::Json_Row_Sink& onRow,
                                                               const char* pszUUID, const char* pszTaskID,
                                                               const char* pszParentID, int iStart, int iLimit,
                                                               const char* pszKeyWord);

// Replaces the mapping with exactly the given map (rows in uuid order, ids from 1) in one
// transaction; a failure keeps the previous mapping. 0; -22; -161.
int SharedDrive_Write_Mapping_UUID_To_DB(const std::map<std::string, SharedDriveInfo>& mapUUIDInfo,
                                         const char* pszTaskID);
// Google shared-drive id -> uuid; when one id has several rows the newest wins. 0 with an empty
// map when there is no mapping yet; -22; -161 on a read error (the map is then empty).
int Shared_Drive_Read_Mapping_UUID_DB(std::map<std::string, std::string>& mapIDToUUID, const char* pszTaskID);
// Every mapping row: "shared_drive_uuid", "shared_drive_id", "shared_drive_name".
// 0; -22; -161 (also when there is no mapping yet).
int Shared_Drive_Get_Mapping_UUID_DB_Data(PT_JSON jsonList, const char* pszTaskID);
// One column ("shared_drive_id" or "shared_drive_name") of the newest mapping row of the uuid;
// empty when the mapping has no such row or cannot be read.
std::string Shared_Drive_Mapped_Field(const char* pszTaskID, const char* pszUUID, const char* pszColumn);
