#include "web/action_log.h"

#include "common/clock.h"
#include "log/log_db.h"
#include "web/reply.h"

namespace qlm {

int Open_Action_Log(Log_Db& db) {
    sqlite3* pDb = nullptr;
    int rc = Sql_Open_Datebase(&pDb);
    db.reset(pDb);
    if (rc != 0) {
        Reply_Error(kReplyLogDbUnusable, "KVT_Sql_Open_Datebase error.");
        return -1;
    }
    if (Sql_Log_Create_Table(db.get()) != 0) {
        Reply_Error(kReplyLogDbUnusable, "KVT_Sql_Log_Create_Table error.");
        return -1;
    }
    return 0;
}

int Log_Action_Row(sqlite3* db, const char* pszTaskID, const char* pszDomain, const char* pszUser,
                   const char* pszEvent, const char* pszType, const char* pszMessage) {
    return Sql_Log_Insert_Data(db, "Orvenna", pszTaskID, pszDomain, pszUser, "SUCCESS", pszEvent, pszType, pszMessage);
}

int Queue_Action_Row(sqlite3* db, Sql_Log_Batch& batch, const char* pszTaskID, const char* pszDomain,
                     const char* pszUser, const char* pszEvent, const char* pszType, const std::string& strMessage,
                     const char* pszStatus) {
    if (!pszTaskID || !pszDomain || !pszUser || !pszEvent || !pszType || !pszStatus) return -22;
    return Sql_Log_Batch_Add(db, batch, Sql_Log_Row{"Orvenna", pszTaskID, pszDomain, pszUser, pszStatus, pszEvent,
                                                    pszType, strMessage, static_cast<int64_t>(Now())});
}

}  // namespace qlm
