#include "browse/download_reply.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>

#include "common/clock.h"
#include "common/filehelpers.h"
#include "common/guards.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "common/toolcmd.h"
#include "web/action_log.h"
#include "web/reply.h"
#include "plat_cgi.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_string.h"

namespace qlm {

namespace {

constexpr size_t kErrorMsgMax = 254;

long long Magnitude(int err) { return err < 0 ? -static_cast<long long>(err) : err; }

std::string Join_Names(const std::vector<std::string>& names) {
    std::string joined;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) joined += '/';
        joined += names[i];
    }
    return joined;
}

volatile sig_atomic_t g_noted = 0;

// A signal that ends the process outranks a broken pipe, which only fails the writes.
void Note_Signal(int sig) {
    if (g_noted == 0 || g_noted == SIGPIPE) g_noted = sig;
}

constexpr char kFolderPrefix[] = "tnq_";

// The folder at path opened (never through a link) and locked: with wait, once its lock is free;
// without, only when it is free now. The descriptor, or -1 when it cannot be opened or locked,
// or when path no longer names what was opened (the folder went meanwhile).
int Lock_Folder(const std::string& path, bool wait) {
    FdGuard fd{open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    if (fd.fd < 0) return -1;
    int rc;
    while ((rc = flock(fd.fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    struct stat held, named;
    if (rc != 0 || fstat(fd.fd, &held) != 0 || lstat(path.c_str(), &named) != 0 || held.st_dev != named.st_dev ||
        held.st_ino != named.st_ino)
        return -1;
    const int out = fd.fd;
    fd.fd = -1;
    return out;
}

// Removes the download folders of requests that are gone: "tnq_<id>" folders whose lock is free.
// A tool's result file of that form is no folder and stays.
void Remove_Folders_Of_Gone_Requests(const std::string& tmp, const std::string& mine) {
    std::vector<std::string> names;
    GetFolderList(names, tmp.c_str());
    for (const std::string& name : names) {
        if (name.rfind(kFolderPrefix, 0) != 0 || !Is_Id_Form(name.c_str() + sizeof kFolderPrefix - 1)) continue;
        const std::string path = tmp + "/" + name;
        struct stat st;
        if (path == mine || lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        const FdGuard held{Lock_Folder(path, false)};
        // Removed while locked: a request making a folder of this name waits, then sees it gone.
        if (held.fd >= 0) Remove_Folder_Tree(path.c_str(), 0);
    }
}

}  // namespace

Download_Folder::~Download_Folder() {
    if (!m_path.empty()) Remove_Folder_Tree(m_path.c_str(), 0);
    if (m_lockFd >= 0) close(m_lockFd);
    fflush(stdout);
    if (!m_held) return;
    for (size_t i = 0; i < std::size(kHeld); ++i) sigaction(kHeld[i], &m_old[i], nullptr);
    // A signal that came meanwhile now has the effect it would have had.
    if (const int sig = g_noted; sig != 0) {
        g_noted = 0;
        if (sig != SIGPIPE) raise(sig);
    }
}

int Download_Folder::Make() {
    struct sigaction note {};
    note.sa_handler = Note_Signal;
    note.sa_flags = SA_RESTART;
    sigemptyset(&note.sa_mask);
    for (size_t i = 0; i < std::size(kHeld); ++i)
        if (sigaction(kHeld[i], &note, &m_old[i]) != 0) return -errno;
    m_held = true;
    const std::string tmp = Tmp_Dir();
    if (access(tmp.c_str(), F_OK) != 0) smbbackup::Create_Path(tmp.c_str(), 0700);
    // Another request's clean-up may take a fresh folder before it is locked: then a new one.
    for (int attempt = 0; attempt < 8 && m_lockFd < 0; ++attempt) {
        const std::string folder = tmp + "/" + kFolderPrefix + smbbackup::Create_New_ID();
        if (mkdir(folder.c_str(), 0700) != 0) return -errno;
        m_lockFd = Lock_Folder(folder, true);
        if (m_lockFd >= 0)
            m_path = folder;
        else
            rmdir(folder.c_str());  // when still there: it holds nothing yet
    }
    if (m_lockFd < 0) return -EAGAIN;
    Remove_Folders_Of_Gone_Requests(tmp, m_path);
    Remove_Stale_Tool_Files();
    return 0;
}

Download_Request::~Download_Request() {
    if (op.pFileNames) {
        for (char** p = op.pFileNames; *p; ++p) free(*p);
        free(op.pFileNames);
    }
    free(op.pszBrowser);
    free(op.pszpPath);
}

int Prepare_Download(Download_Request& req, const std::string& folder, const std::vector<std::string>& names,
                     const char* browser) {
    // The browser is optional for some downloads: an absent one stays NULL.
    int rc = browser ? Copy_String(&req.op.pszBrowser, browser) : 0;
    if (rc == 0) rc = Copy_String(&req.op.pszpPath, folder.c_str());
    if (rc == 0) {
        const int count = static_cast<int>(names.size());
        rc = Parse_String(count, Join_Names(names).c_str(), "/", &req.op.pFileNames);
        // Nothing to send, or an empty name, is no request.
        for (const std::string& name : names)
            if (rc == 0 && name.empty()) rc = -22;
        if (rc == 0 && count == 0) rc = -22;
        if (rc == 0) {
            req.op.iPathType = 1;
            req.op.iMode = 0;
            req.op.nFiles = count;
        }
    }
    if (rc < 0) Reply_Error_No_Msg(kReplyFailed);
    return rc < 0 ? rc : 0;
}

int Send_Download(const O_APP_CGI_AGENT* agent, Download_Request& req) {
    const int rc = Download_Files(agent->m_idUserType, agent->m_szUser, &req.op);
    if (rc == 0) return 0;
    const int code = Download_Failure_Code(rc);
    Ensure_Reply_Header();
    Show_CGI_Error_Message(code, rc, code == kReplyLackedAcl ? Get_Lacked_ACL_Value() : 0);
    return rc;
}

namespace {

void Log_File_Sent(void* ctx, const char* path) {
    Download_Log& log = *static_cast<Download_Log*>(ctx);
    const auto it = log.pending.find(path);
    if (it == log.pending.end()) return;
    ++log.sent;
    for (std::string& message : it->second)
        Queue_Action_Row(log.db, log.batch, log.task, log.domain.c_str(), log.user, "backup", "info", message);
    log.pending.erase(it);
}

void Log_Waiting(void* ctx) {
    Download_Log& log = *static_cast<Download_Log*>(ctx);
    Sql_Log_Batch_Flush(log.db, log.batch);
}

}  // namespace

void Expect_Download_File(Download_Log& log, const std::string& path) {
    if (log.pending.emplace(path, std::vector<std::string>()).second) ++log.files;
}

void Expect_Download_Row(Download_Log& log, const std::string& path, std::string message) {
    Expect_Download_File(log, path);
    log.pending[path].push_back(std::move(message));
}

std::string Cut_Short_Message(const Download_Log& log) {
    return "Export of " + log.what + " to PC was cut short: " +
           std::to_string(log.sent) + " of " + std::to_string(log.files) + " files sent.";
}

void Send_Entries(const O_APP_CGI_AGENT* agent, const std::string& folder, const std::vector<std::string>& names,
                  const char* browser, int mode, Download_Log* log) {
    Download_Request req;
    if (log) {
        req.op.pfnFileSent = Log_File_Sent;
        req.op.pfnWaiting = Log_Waiting;
        req.op.pCallbackCtx = log;
    }
    if (names.empty()) {
        // Nothing to send is the download service's to answer (no such file), not a bad request.
        if (Copy_String(&req.op.pszpPath, folder.c_str()) != 0 || (browser && Copy_String(&req.op.pszBrowser, browser) != 0)) {
            Reply_Error_No_Msg(kReplyFailed);
            return;
        }
        req.op.iPathType = 1;
    } else if (Prepare_Download(req, folder, names, browser) != 0) {
        return;
    }
    req.op.iMode = mode;
    const int rc = Send_Download(agent, req);
    if (!log) return;
    if (rc != 0 && req.op.bBegun)
        Queue_Action_Row(log->db, log->batch, log->task, log->domain.c_str(), log->user, "backup", "error",
                         Cut_Short_Message(*log), "FAIL");
    Sql_Log_Batch_Flush(log->db, log->batch);
}

std::string Exported_To_Pc_Message(const char* kind, const std::string& name, const std::string& account) {
    return std::string("Exported ") + kind + " file \"" + name + "\" of account " + account + " to PC.";
}

int Download_Failure_Code(int err) {
    switch (Magnitude(err)) {
    case 2: return kReplyDownloadNoFile;
    case 13: return kReplyLackedAcl;
    default: return kReplyDownloadFailed;
    }
}

void Show_CGI_Error_Message(int code, int err, int16_t lackedAcl) {
    char msg[kErrorMsgMax + 1];
    const long long mag = Magnitude(err);
    snprintf(msg, sizeof msg, "%s (%d)", mag <= 0x7fffffff ? strerror(static_cast<int>(mag)) : "Unknown error", err);
    RAIIful_Json reply(Json_Dict_Init());
    if (reply && Json_Dict_Add_Bool(reply.get(), "success", false) == 0 &&
        Json_Dict_Add_Int(reply.get(), "error_code", code) == 0 &&
        (code != kReplyLackedAcl || Json_Dict_Add_Int(reply.get(), "lacked_acl", lackedAcl) == 0) &&
        Json_Dict_Add_Str(reply.get(), "error_msg", msg) == 0) {
        if (const char* text = Json_To_String(reply.get())) {
            Put_Reply_Text(text);
            putchar('\n');
            fflush(stdout);
            return;
        }
    }
    std::string escaped;
    Append_Json_Escaped(msg, escaped);
    printf("{ \"success\": false, \"error_code\": %d, \"error_msg\": \"%s\" }\n", code, Valid_Utf8(escaped).c_str());
    fflush(stdout);
}

}  // namespace qlm
