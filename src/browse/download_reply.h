// What every download to the browser shares: the request handed to the platform's download
// service, and the reply when the service could not send it. The actions that stream a file print
// the content-type header themselves before any JSON reply; these functions do so when needed.
#pragma once

#include "common/timeconv.h"

#include <signal.h>

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "log/log_db.h"

#include "plat_download.h"

class O_APP_CGI_AGENT;

namespace qlm {

// A download request that frees its texts and its name list when it goes out of scope.
struct Download_Request {
    _FILE_DL_OP_ op{};

    Download_Request() = default;
    ~Download_Request();
    Download_Request(const Download_Request&) = delete;
    Download_Request& operator=(const Download_Request&) = delete;
};

// The folder one download prepares its files in: "<tmp>/tnq_<fresh id>", mode 0700, removed
// with everything in it when the object goes out of scope. From Make on, the signals that end a
// CGI (SIGTERM, which the web server sends once the response is complete, SIGHUP, SIGINT, and
// SIGPIPE when the browser went away) are only noted, and take effect once the folder is gone:
// nothing the request made outlives it. Noting rather than blocking them leaves the tools the
// request runs with the usual signal dispositions.
//
// A request killed outright (SIGKILL, a crash) cannot remove its folder, which holds hard links
// into the store. So the folder is locked (flock on its own descriptor) for as long as the request
// has it, and Make removes every such folder whose lock is free: its request is gone.
class Download_Folder {
public:
    Download_Folder() = default;
    ~Download_Folder();
    Download_Folder(const Download_Folder&) = delete;
    Download_Folder& operator=(const Download_Folder&) = delete;

    // 0; -errno when the folder cannot be made.
    int Make();
    const std::string& Path() const { return m_path; }

private:
    static constexpr int kHeld[] = {SIGTERM, SIGHUP, SIGINT, SIGPIPE};
    std::string m_path;
    int m_lockFd = -1;  // the folder, locked while the request has it
    struct sigaction m_old[4]{};
    bool m_held = false;
};


// Fills req for the names of folder (each one entry directly inside it) and the browser text:
// path type 1, mode 0. 0; when the names cannot be split back from their "/"-joined form (a name
// holding "/", an empty name, no name) or memory runs out, the reply
// { "success": false, "error_code": 5052 } is printed and a negative number returned.
int Prepare_Download(Download_Request& req, const std::string& folder, const std::vector<std::string>& names,
                     const char* browser);

// Hands req to the download service as the signed-in user. Its result: 0 when the whole response
// was written; otherwise the header and the download failure reply went out.
int Send_Download(const O_APP_CGI_AGENT* agent, Download_Request& req);

// The activity-log rows of one download, each waiting for the file it stands for. A row goes into
// the log only once its file was sent whole, so the log never names a file the browser did not
// get. Rows of files sent are queued and written in batches, and always before the download waits
// long for a stalled browser: a request killed while it waits has a row for every file it sent. A
// download that breaks off after it began (the browser gone, a failed write) adds one FAIL row.
struct Download_Log {
    sqlite3* db = nullptr;
    const char* task = "";
    std::string domain;        // the rows' domain column
    const char* user = "";     // the signed-in user
    std::string what;          // what the FAIL row says was exported: "Drive files of account x"
    // The messages of each file, by its path relative to the download folder.
    std::unordered_map<std::string, std::vector<std::string>> pending;
    size_t files = 0;  // files that have rows
    size_t sent = 0;   // of these, the ones sent whole
    Sql_Log_Batch batch;
};

// Counts the file at path (relative to the download folder) among the files of the download,
// without a row of its own (a CSV file with no rows still counts in the FAIL row).
void Expect_Download_File(Download_Log& log, const std::string& path);
// Notes message as a row of the file at path.
void Expect_Download_Row(Download_Log& log, const std::string& path, std::string message);

// The FAIL row of a download cut short:
// Export of <what> to PC was cut short: <sent> of <files> files sent.
std::string Cut_Short_Message(const Download_Log& log);

// Prepare_Download and Send_Download in one, with the request's mode: the names of folder go to
// the browser, or the matching failure reply (with the header) is printed. With log, its rows are
// written for the files sent (see Download_Log).
void Send_Entries(const O_APP_CGI_AGENT* agent, const std::string& folder, const std::vector<std::string>& names,
                  const char* browser, int mode = 0, Download_Log* log = nullptr);

// The activity-log text of one item sent to the browser:
// Exported <kind> file "<name>" of account <account> to PC.
std::string Exported_To_Pc_Message(const char* kind, const std::string& name, const std::string& account);

// The reply code of a failed download: 5028 for no such file (2), 5025 for permission denied (13),
// 5011 for anything else; the sign of the error number does not matter.
int Download_Failure_Code(int err);

// Prints the download failure reply: success false, error_code, lacked_acl (5025 only) and
// error_msg "<system text of |err|> (<err>)" of at most 254 bytes, in json-c's spaced form.
// The header is the caller's.
void Show_CGI_Error_Message(int code, int err, int16_t lackedAcl);

}  // namespace qlm
