#include "dbcontrol/mail_summary_db.h"

#include <unistd.h>

#include "common/reqcheck.h"

namespace qlm {

using namespace catalog;

namespace {

constexpr const char* kCreate =
    "CREATE TABLE IF NOT EXISTS mail_summary(localid TEXT PRIMARY KEY NOT NULL,file_size INTEGER NOT NULL,"
    "file_mtime INTEGER NOT NULL,sender TEXT NOT NULL,sender_mail TEXT NOT NULL,recipient TEXT NOT NULL,"
    "recipient_mail TEXT NOT NULL,subject TEXT NOT NULL,date INTEGER NOT NULL,attachment INTEGER NOT NULL);";

}  // namespace

std::string Mail_Summary_File(const char* pszUserEmail, const char* pszTaskID) {
    if (pszUserEmail == nullptr || pszTaskID == nullptr || !Is_Single_Path_Component(pszUserEmail) ||
        !Is_Single_Path_Component(pszTaskID))
        return "";
    return Catalog_Folder(Kind::Gmail, pszTaskID) + "/" + pszUserEmail + ".summaries";
}

namespace {

int Open_Store(const std::string& file, DbHandle& db) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    DbHandle opened(raw);
    if (rc != SQLITE_OK) return -161;
    Configure_Handle(raw, Busy_Ms(Kind::Gmail));
    // A lost entry is analysed again: the store need not survive a power cut.
    Exec_Constant(raw, "PRAGMA journal_mode=WAL;");
    Exec_Constant(raw, "PRAGMA synchronous=OFF;");
    if (Exec_Constant(raw, kCreate) != SQLITE_OK) return -161;
    db = std::move(opened);
    return 0;
}

}  // namespace

int Mail_Summary_Open(const char* pszUserEmail, const char* pszTaskID, DbHandle& db) {
    db.reset();
    const std::string file = Mail_Summary_File(pszUserEmail, pszTaskID);
    if (file.empty()) return -22;
    if (access(Catalog_Folder(Kind::Gmail, pszTaskID).c_str(), F_OK) != 0) return -161;
    if (Open_Store(file, db) == 0) return 0;
    // A damaged store holds nothing that cannot be made again.
    Remove_Catalog_Files(file);
    return Open_Store(file, db);
}

int Mail_Summary_Find(sqlite3* db, const char* localid, const Mail_File_Stamp& stamp, Mail_Fields& out) {
    // The values must live until the step: texts are bound without a copy.
    const std::vector<Bind_Value> values{std::string(localid), static_cast<long long>(stamp.size),
                                         static_cast<long long>(stamp.mtimeNs)};
    StmtHandle st;
    if (Prepare(db,
                "SELECT sender,sender_mail,recipient,recipient_mail,subject,date,attachment FROM mail_summary "
                "WHERE localid = ? AND file_size = ? AND file_mtime = ?;",
                st) != SQLITE_OK ||
        Bind_All(st.get(), values) != SQLITE_OK)
        return -161;
    const int rc = sqlite3_step(st.get());
    if (rc == SQLITE_DONE) return -2;
    if (rc != SQLITE_ROW) return -161;
    out.sender = Column_String(st.get(), 0);
    out.senderMail = Column_String(st.get(), 1);
    out.recipient = Column_String(st.get(), 2);
    out.recipientMail = Column_String(st.get(), 3);
    out.subject = Column_String(st.get(), 4);
    out.date = sqlite3_column_int64(st.get(), 5);
    out.attachments = sqlite3_column_int(st.get(), 6);
    return 0;
}

int Mail_Summary_Put(sqlite3* db, const char* localid, const Mail_File_Stamp& stamp, const Mail_Fields& f) {
    const std::vector<Bind_Value> values{std::string(localid), static_cast<long long>(stamp.size),
                                         static_cast<long long>(stamp.mtimeNs), f.sender, f.senderMail, f.recipient,
                                         f.recipientMail, f.subject, static_cast<long long>(f.date),
                                         static_cast<long long>(f.attachments)};
    StmtHandle st;
    if (Prepare(db, "INSERT OR REPLACE INTO mail_summary VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?);", st) != SQLITE_OK ||
        Bind_All(st.get(), values) != SQLITE_OK)
        return -161;
    return Step_Row(st.get());
}

}  // namespace qlm
