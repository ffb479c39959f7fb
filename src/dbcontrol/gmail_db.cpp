#include "dbcontrol/gmail_db.h"

#include <unistd.h>

#include <cstring>

#include "common/reqcheck.h"
#include "dbcontrol/catalog_common.h"
#include "dbcontrol/mail_summary_db.h"

using namespace qlm::catalog;

namespace {

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS gmail_sql_database(id INTEGER PRIMARY KEY AUTOINCREMENT,gmail_id TEXT NOT NULL,"
    "drive_localid TEXT NOT NULL,sned_name TEXT NOT NULL,send_mail TEXT NOT NULL,recipient_name TEXT NOT NULL,"
    "recipient_mail TEXT NOT NULL,date_str TEXT NOT NULL,date_timestamp INTEGER NOT NULL,subject TEXT NOT NULL,"
    "has_attachment INTEGER NOT NULL,Starred INTEGER NOT NULL,Important INTEGER NOT NULL,Sent INTEGER NOT NULL,"
    "Drafts INTEGER NOT NULL,Trash INTEGER NOT NULL);";

constexpr const char* kInsert =
    "INSERT OR REPLACE INTO gmail_sql_database (gmail_id,drive_localid,sned_name,send_mail,recipient_name,"
    "recipient_mail,date_str,date_timestamp,subject,has_attachment,Starred,Important,Sent,Drafts,Trash) VALUES "
    "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);";

constexpr Json_Column kJsonForm[] = {{"drive_localid", "localid", Json_Kind::Text}};

// The folder's condition, always one of these constants: the request's folder name only picks it.
const char* Folder_Condition(const char* folder) {
    static constexpr const char* kFlagged[][2] = {
        {"Starred", "Starred = 1"}, {"Important", "Important = 1"}, {"Sent", "Sent = 1"},
        {"Drafts", "Drafts = 1"},   {"Trash", "Trash = 1"},
    };
    if (folder) {
        for (const auto& f : kFlagged)
            if (strcmp(folder, f[0]) == 0) return f[1];
    }
    return "1 = 1";
}

int Bind_Gmail_Row(sqlite3_stmt* st, const std::string& id, const GmailData& g) {
    int rc = Bind_Text_Ref(st, 1, id);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 2, g.strLocalID);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 3, g.strSenderName);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 4, g.strSenderMail);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 5, g.strRecipientName);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 6, g.strRecipientMail);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 7, g.strDate);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int64(st, 8, g.tDate);
    if (rc == SQLITE_OK) rc = Bind_Text_Ref(st, 9, g.strSubject);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int(st, 10, g.bHasAttachment != 0 ? 1 : 0);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int(st, 11, g.nStarred);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int(st, 12, g.nImportant);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int(st, 13, g.nSent);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int(st, 14, g.nDraft);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int(st, 15, g.nTrash);
    return rc;
}

// A NULL column leaves the record's default.
void Text_Field(sqlite3_stmt* st, int col, std::string& out) {
    if (sqlite3_column_type(st, col) != SQLITE_NULL) out = Column_String(st, col);
}
template <typename Int>
void Int_Field(sqlite3_stmt* st, int col, Int& out) {
    if (sqlite3_column_type(st, col) != SQLITE_NULL) out = static_cast<Int>(sqlite3_column_int64(st, col));
}

void Read_Gmail_Row(sqlite3_stmt* st, std::map<std::string, GmailData>& out) {
    GmailData g;
    Text_Field(st, 1, g.strLocalID);
    Text_Field(st, 2, g.strSenderName);
    Text_Field(st, 3, g.strSenderMail);
    Text_Field(st, 4, g.strRecipientName);
    Text_Field(st, 5, g.strRecipientMail);
    Text_Field(st, 6, g.strDate);
    Int_Field(st, 7, g.tDate);
    Text_Field(st, 8, g.strSubject);
    Int_Field(st, 9, g.bHasAttachment);
    Int_Field(st, 10, g.nStarred);
    Int_Field(st, 11, g.nImportant);
    Int_Field(st, 12, g.nSent);
    Int_Field(st, 13, g.nDraft);
    Int_Field(st, 14, g.nTrash);
    const std::string id = Column_String(st, 0);
    if (!id.empty() && !g.strLocalID.empty()) out[id] = std::move(g);
}

}  // namespace

std::string Gmail_Cache_File(const char* pszUserEmail, const char* pszTaskID) {
    if (pszUserEmail == nullptr || pszTaskID == nullptr || !qlm::Is_Single_Path_Component(pszUserEmail) ||
        !qlm::Is_Single_Path_Component(pszTaskID))
        return "";
    return Catalog_Folder(Kind::Gmail, pszTaskID) + "/" + pszUserEmail + ".cache";
}

int Gmail_SQL_Open_Datebase(sqlite3** ppDb, const char* pszUserEmail, const char* pszTaskID, bool bDelOldDBIfExist) {
    if (bDelOldDBIfExist && !Gmail_Cache_File(pszUserEmail, pszTaskID).empty()) {
        Remove_Catalog_Files(Catalog_File(Kind::Gmail, pszUserEmail, pszTaskID));
        unlink(Gmail_Cache_File(pszUserEmail, pszTaskID).c_str());
        Remove_Catalog_Files(qlm::Mail_Summary_File(pszUserEmail, pszTaskID));
    }
    return Open_Catalog_For_Caller(Kind::Gmail, ppDb, pszUserEmail, pszTaskID, Open_Mode::Reader);
}

int Gmail_SQL_Create_Table(sqlite3* db) {
    if (db == nullptr) return -22;
    if (Exec_Constant(db, kCreateTable) != SQLITE_OK) return -161;
    if (Exec_Constant(db, "CREATE UNIQUE INDEX IF NOT EXISTS idx_gmail_drive_id ON gmail_sql_database(gmail_id);") !=
        SQLITE_OK)
        return -161;
    return 0;
}

int Gmail_Write_DB_Append(const std::map<std::string, GmailData>& mapGmailData, const char* pszUserEmail,
                          const char* pszTaskID, sqlite3* /*pLogDb*/) {
    if (pszUserEmail == nullptr || pszTaskID == nullptr) return -22;
    if (mapGmailData.empty()) return 0;
    DbHandle db;
    if (const int rc = Open_Catalog(Kind::Gmail, pszUserEmail, pszTaskID, Open_Mode::Writer, db); rc != 0)
        return rc == -22 ? -22 : -161;
    Exec_Constant(db.get(), "PRAGMA journal_mode=WAL;");
    Exec_Constant(db.get(), "PRAGMA synchronous=NORMAL;");
    // A whole pass re-appends every message; without a limit the WAL would keep that size.
    Exec_Constant(db.get(), "PRAGMA journal_size_limit=67108864;");
    if (Gmail_SQL_Create_Table(db.get()) != 0) return -161;
    Transaction txn(db.get());
    if (txn.Begin_Immediate() != SQLITE_OK) return -161;
    StmtHandle stmt;
    if (Prepare(db.get(), kInsert, stmt) != SQLITE_OK) return -161;
    int failed = 0;
    for (const auto& [id, g] : mapGmailData) {
        if (Bind_Gmail_Row(stmt.get(), id, g) == SQLITE_OK && Step_Row(stmt.get()) == 0) continue;
        ++failed;
        // A row that failed only itself leaves the transaction open; one that ended it did not.
        if (sqlite3_get_autocommit(db.get())) return -161;
    }
    stmt.reset();
    if (txn.Commit() != SQLITE_OK) return -161;
    return failed == 0 ? 0 : -161;
}

int Gmail_Read_DB(std::map<std::string, GmailData>& mapGmailData, const char* pszUserEmail, const char* pszTaskID) {
    if (pszUserEmail == nullptr || pszTaskID == nullptr) return -22;
    std::map<std::string, GmailData> read;
    const int rc = Read_Records(
        Kind::Gmail, pszUserEmail, pszTaskID, "gmail_sql_database",
        "SELECT gmail_id,drive_localid,sned_name,send_mail,recipient_name,recipient_mail,date_str,date_timestamp,"
        "subject,has_attachment,Starred,Important,Sent,Drafts,Trash FROM gmail_sql_database;",
        [&](sqlite3_stmt* st) { Read_Gmail_Row(st, read); }, true);
    if (rc != 0) return rc;
    read.merge(mapGmailData);  // catalog rows replace the caller's entries of the same id
    mapGmailData.swap(read);
    return 0;
}

int Gmail_Read_Subjects(std::vector<std::pair<std::string, std::string>>& out, const char* pszUserEmail,
                        const char* pszTaskID) {
    return Reported(Read_Text_Pairs(Kind::Gmail, pszUserEmail, pszTaskID, "gmail_sql_database",
                                    "SELECT drive_localid,subject FROM gmail_sql_database ORDER BY ID;", out));
}

int Gmail_Delete_DB(const char* pszTaskID, const char* pszUserEmail, const char* pszGmailID) {
    if (pszGmailID == nullptr) return -22;
    return Run_Change(Kind::Gmail, pszUserEmail, pszTaskID, "DELETE FROM gmail_sql_database WHERE gmail_id = ?;",
                      {std::string(pszGmailID)});
}

int Gmail_Get_DB_Data(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID) {
    return Reported(Query_Json(Kind::Gmail, pszUserEmail, pszTaskID, "SELECT * from gmail_sql_database ORDER BY ID DESC;",
                               {}, kJsonForm, jsonList));
}

int Gmail_Get_DB_Data_For_Pagination(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID, int iStart,
                                     int iLimit, const char* pszKeyWord, const char* pszFolder) {
    std::string sql = std::string("SELECT * FROM gmail_sql_database WHERE ") + Folder_Condition(pszFolder);
    std::vector<Bind_Value> binds{static_cast<long long>(iStart), static_cast<long long>(iLimit)};
    if (pszKeyWord && *pszKeyWord) {
        sql += " AND (sned_name LIKE ?3 OR send_mail LIKE ?3 OR recipient_name LIKE ?3 OR recipient_mail LIKE ?3 OR "
               "subject LIKE ?3)";
        binds.emplace_back(Like_Contains(pszKeyWord));
    }
    sql += " ORDER BY ID DESC LIMIT ?1,?2;";
    Query_Json(Kind::Gmail, pszUserEmail, pszTaskID, sql.c_str(), binds, kJsonForm, jsonList);
    return 0;
}

int Gmail_Get_Number_Of_Record(const char* pszUserEmail, const char* pszTaskID, const char* pszFolder) {
    const std::string sql = std::string("SELECT COUNT(*) FROM gmail_sql_database WHERE ") + Folder_Condition(pszFolder) + ";";
    return static_cast<int>(Query_Count(Kind::Gmail, pszUserEmail, pszTaskID, sql.c_str(), {}));
}

int Gmail_Get_DB_Data_For_Advance_Search(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID,
                                         const char* pszSenderKeyWord, const char* pszRecipientKeyWord,
                                         const char* pszSubjectKeyWord, int iDateEarly, int iDateLate,
                                         int iHasAttachment) {
    Where w;
    if (pszSenderKeyWord) w.Add("sned_name LIKE ?", {Like_Contains(pszSenderKeyWord)});
    if (pszRecipientKeyWord) w.Add("recipient_name LIKE ?", {Like_Contains(pszRecipientKeyWord)});
    if (pszSubjectKeyWord) w.Add("subject LIKE ?", {Like_Contains(pszSubjectKeyWord)});
    if (iHasAttachment == 0 || iHasAttachment == 1) w.Add("has_attachment = ?", {static_cast<long long>(iHasAttachment)});
    w.Add_Range("date_timestamp", iDateEarly, iDateLate);
    if (w.empty()) return 0;
    const std::string sql = "SELECT * FROM gmail_sql_database WHERE " + w.sql + " ORDER BY ID DESC;";
    Query_Json(Kind::Gmail, pszUserEmail, pszTaskID, sql.c_str(), w.binds, kJsonForm, jsonList);
    return 0;
}

int Gmail_Get_Folder_Counts(const char* pszUserEmail, const char* pszTaskID, int (&counts)[6]) {
    DbHandle db;
    if (const int rc = Open_Catalog(Kind::Gmail, pszUserEmail, pszTaskID, Open_Mode::Reader, db); rc != 0)
        return Reported(rc);
    StmtHandle stmt;
    if (Prepare(db.get(),
                "SELECT COUNT(*), TOTAL(Starred = 1), TOTAL(Important = 1), TOTAL(Sent = 1), TOTAL(Drafts = 1), "
                "TOTAL(Trash = 1) FROM gmail_sql_database;",
                stmt) != SQLITE_OK ||
        sqlite3_step(stmt.get()) != SQLITE_ROW)
        return -161;
    for (int i = 0; i < 6; ++i) counts[i] = sqlite3_column_int(stmt.get(), i);
    return 0;
}
