#include "orvenna_cgi/log_actions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "browse/download_reply.h"
#include "browse/tree_reply.h"
#include "common/csv_export.h"
#include "common/paths.h"
#include "log/log_db.h"
#include "web/action_log.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "plat_cgi.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_string.h"

namespace qlm {

namespace {

constexpr const char* kCsvHeader = "\"Type\",\"Time\",\"User\",\"Event\",\"Name\"\r\n";

struct File_Closer {
    void operator()(FILE* f) const { fclose(f); }
};
using File_Ptr = std::unique_ptr<FILE, File_Closer>;

// A page of the log written row by row as it is read, so that no page holds the log in memory.
// The reply's head waits for the first row: a page that cannot be read at all still gets its
// error reply.
class Log_Page {
public:
    catalog::Json_Row_Sink Sink() {
        return [this](RAIIful_Json& row) {
            Stream().Add(row.get());
            return 0;
        };
    }
    bool Started() const { return m_reply.has_value(); }
    long long Rows() const { return m_reply ? m_reply->Rows() : 0; }
    void Finish(long long total) { Stream().Finish(total); }

private:
    Tree_Reply_Stream& Stream() {
        if (!m_reply) m_reply.emplace("log");
        return *m_reply;
    }
    std::optional<Tree_Reply_Stream> m_reply;
};

std::string Csv_Line(PT_JSON row) {
    const char *type = "", *user = "", *event = "", *name = "";
    int64_t stamp = 0;
    Json_Dict_Find_Str(row, "sql_type", type);
    Json_Dict_Find_Int64(row, "sql_timestamp", stamp);
    Json_Dict_Find_Str(row, "user", user);
    Json_Dict_Find_Str(row, "sql_event", event);
    Json_Dict_Find_Str(row, "sql_name", name);
    std::string line;
    Append_Csv_Field(line, type);
    line += ',';
    Append_Csv_Field(line, std::to_string(stamp).c_str());
    line += ',';
    Append_Csv_Field(line, user);
    line += ',';
    Append_Csv_Field(line, event);
    line += ',';
    Append_Csv_Field(line, name);
    line += "\r\n";
    return line;
}

// Writes the header and every row of the log, newest first, each row as it is read. 0; -5052
// when the rows cannot be read or written.
int Write_Log_Rows(FILE* out, sqlite3* db) {
    if (fputs(kCsvHeader, out) == EOF) return -5052;
    const long rowsAt = ftell(out);
    if (rowsAt < 0) return -5052;
    // A log found damaged part way through has gone aside: the copy starts again from the fresh log.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (fflush(out) != 0 || ftruncate(fileno(out), rowsAt) != 0 || fseek(out, rowsAt, SEEK_SET) != 0) return -5052;
        bool written = true;
        const int rc = Sql_Log_Each_Row(
            db,
            [out, &written](RAIIful_Json& row) {
                const std::string line = Csv_Line(row.get());
                written = fwrite(line.data(), 1, line.size(), out) == line.size();
                return written ? 0 : -1;
            },
            "All", -1, -1, nullptr);
        if (!written) return -5052;
        if (rc == SQLITE_OK) return 0;
        if (!Sql_Log_Damage_Code(rc)) return -5052;
    }
    return -5052;
}

}  // namespace

int List_Log(O_APP_CGI_AGENT* agent) {
    int start = 0, limit = 0;
    if (Get_Paging_Params(agent, start, limit) != 0) return 0;
    sqlite3* raw = nullptr;
    const int rc = Sql_Open_Datebase(&raw);
    Log_Db db(raw);
    if (rc != 0) {
        Reply_Error(kReplyLogDbUnusable, "KVT_Sql_Open_Datebase error.");
        return 0;
    }
    Log_Page page;
    const int read = Sql_Log_Each_Row(db.get(), page.Sink(), "All", start, limit, agent->Get_Param("task_id"));
    // A log without its table reads as an empty page (the statement cannot be prepared: SQLITE_ERROR);
    // a read that fails is not an empty log. Rows already sent stand: the page ends there.
    if (!page.Started() && read != SQLITE_OK && read != SQLITE_ERROR) {
        Reply_Error(kReplyLogDbUnusable, "KVT_Sql_Open_Datebase error.");
        return 0;
    }
    page.Finish(Sql_Get_Number_Of_Log(db.get()));
    return 0;
}

int Find_Log(O_APP_CGI_AGENT* agent) {
    int start = 0, limit = 0;
    if (Get_Paging_Params(agent, start, limit) != 0) return 0;
    const char* pszKeyWord = agent->Get_Param("key_word");
    if (pszKeyWord == nullptr) {
        Reply_Error(kReplyMissingParam, "key_word");
        return 0;
    }
    Log_Db db;
    if (Open_Action_Log(db) != 0) return 0;
    Log_Page page;
    // A page that cannot be read is no empty page: the answer list_log gives such a log.
    const int read = Sql_Log_Find_Each(db.get(), page.Sink(), agent->Get_Param("task_id"), pszKeyWord, start, limit);
    if (!page.Started() && read != 0) {
        Reply_Error(kReplyLogDbUnusable, "KVT_Sql_Open_Datebase error.");
        return 0;
    }
    page.Finish(page.Rows());
    return 0;
}

int Delete_Log(O_APP_CGI_AGENT* agent) {
    const char* pszTaskID = agent->Get_Param("task_id");
    if (pszTaskID == nullptr) {
        Reply_Error(kReplyMissingParam, "task_id");
        return 0;
    }
    const int deleted = Sql_Log_Delete_Data(pszTaskID);
    Log_Db db;
    if (Open_Action_Log(db) != 0) return 0;
    // A clear that did not happen (the insert lock or the delete failed) is neither logged nor
    // answered as done.
    if (deleted != 0) {
        Reply_Error_No_Msg(kReplyFailed);
        return 0;
    }
    const std::string msg = std::string("Cleared log entries before ") + agent->m_szUser + ".";
    Log_Action_Row(db.get(), pszTaskID, agent->m_szUser, agent->m_szUser, "backup", "info", msg.c_str());
    Reply_Success();
    return 0;
}

int Save_Log(O_APP_CGI_AGENT* agent) {
    // The copy of the log goes with its folder on every way out.
    Download_Folder dl;
    if (dl.Make() != 0) {
        Reply_Error_No_Msg(kReplyFailed);
        return 0;
    }
    const std::string& folder = dl.Path();
    const std::string name = GetCurrentDateTimeString() + kCsvFileSuffix;
    Log_Db db;
    {
        const std::string path = folder + "/" + name;
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        File_Ptr out(fd >= 0 ? fdopen(fd, "wb") : nullptr);
        if (!out) {
            if (fd >= 0) close(fd);
            Reply_Error_No_Msg(kReplyFailed);
            return 0;
        }
        int rc = fwrite(kCsvByteOrderMark, 1, sizeof kCsvByteOrderMark - 1, out.get()) == sizeof kCsvByteOrderMark - 1 ? 0 : -5052;
        if (Open_Action_Log(db) != 0) return 0;
        if (rc == 0) rc = Write_Log_Rows(out.get(), db.get());
        // A file cut short must not reach the browser as the whole log.
        if (rc != 0 || fclose(out.release()) != 0) {
            Reply_Error_No_Msg(kReplyFailed);
            return 0;
        }
    }
    const char* pszBrowser = agent->Get_Param("browser");
    if (pszBrowser == nullptr) {
        Reply_Error(kReplyMissingParam, "browser");
        return 0;
    }
    // The row is written once the file has been sent whole.
    Download_Log rows;
    rows.db = db.get();
    rows.task = "-";
    rows.domain = agent->m_szUser;
    rows.user = agent->m_szUser;
    rows.what = "backup logs";
    Expect_Download_Row(rows, name, "Exported backup logs to PC.");
    Send_Entries(agent, folder, {name}, pszBrowser, 0, &rows);
    return 0;
}

}  // namespace qlm
