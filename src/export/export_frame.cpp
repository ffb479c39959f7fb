#include "export/export_frame.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "common/atomicfile.h"
#include "common/clock.h"
#include "common/cmdrun.h"
#include "common/filehelpers.h"
#include "common/paths.h"
#include "common/procinfo.h"
#include "common/reqcheck.h"
#include "common/toolcmd.h"
#include "mission/mission_record.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "web/action_log.h"
#include "plat_cgi.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_nas.h"
#include "plat_string.h"
#include "progress_shm.h"

namespace qlm {

namespace {

constexpr const char* kExportFolderFormat = "Quillmere_Export_%d%02d%02d_%02d%02d%02d";
constexpr const char* kPartPrefix = ".quillmere_part_";
constexpr int kMaxClashNumber = 99999;
constexpr int kCopyChunk = 1 << 20;

// What the SIGTERM handler removes, spelled out before a signal can come so the handler needs
// async-signal-safe calls alone.
char g_szShmName[PATH_MAX];
char g_szMarker[PATH_MAX];
char g_szScratch[PATH_MAX];
char g_szTarget[NAME_MAX + 1];
volatile sig_atomic_t g_nTargetDirFd = -1;

// An abort: the running tool (its own group, or ours as the session leader), the file being
// written, the scratch file, the progress record and the marker go; the history record is the
// abort's to write. SIGTERM stays blocked while the handler runs, and _exit drops it.
void On_Export_Sigterm(int) {
    const pid_t pg = g_current_pgid;
    if (pg > 0) kill(-pg, SIGTERM);
    if (getpgrp() == getpid()) kill(0, SIGTERM);
    if (g_nTargetDirFd >= 0 && g_szTarget[0] != '\0') unlinkat(g_nTargetDirFd, g_szTarget, 0);
    if (g_szScratch[0] != '\0') unlink(g_szScratch);
    if (g_szShmName[0] != '\0') shm_unlink(g_szShmName);
    if (g_szMarker[0] != '\0') unlink(g_szMarker);
    _exit(0);
}

void Set_Text(char* dst, size_t size, const std::string& text) {
    dst[0] = '\0';  // emptied first, so a signal in between never sees half a text
    if (text.size() < size) memcpy(dst, text.c_str(), text.size() + 1);
}

// Blocks SIGTERM for its scope: a step the handler must see whole (a file made and registered).
struct Sigterm_Block {
    sigset_t old;
    Sigterm_Block() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigprocmask(SIG_BLOCK, &set, &old);
    }
    ~Sigterm_Block() { sigprocmask(SIG_SETMASK, &old, nullptr); }
    Sigterm_Block(const Sigterm_Block&) = delete;
    Sigterm_Block& operator=(const Sigterm_Block&) = delete;
};

void Register_Target(int dirFd, const std::string& name) {
    g_nTargetDirFd = -1;
    Set_Text(g_szTarget, sizeof g_szTarget, name);
    g_nTargetDirFd = dirFd;
}

void Clear_Target() {
    g_nTargetDirFd = -1;
    g_szTarget[0] = '\0';
}

bool Has_Dot_Component(const char* path) {
    const char* p = path;
    while (*p) {
        while (*p == '/') ++p;
        const char* end = p;
        while (*end && *end != '/') ++end;
        const size_t len = static_cast<size_t>(end - p);
        if ((len == 1 && p[0] == '.') || (len == 2 && p[0] == '.' && p[1] == '.')) return true;
        p = end;
    }
    return false;
}

// A name that may be created inside a folder descriptor: one component that fits. Control bytes
// stay: Google names may hold tabs or line breaks, and the file system takes them.
bool Is_Entry_Name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= NAME_MAX &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

int Write_Marker(const std::string& path) {
    return Write_File_Atomic(path, std::to_string(static_cast<long long>(getpid())), 0600);
}

// The history record of the export: keys in the order the mission lists expect.
void Write_History(const Export_Run& run, const std::string& strMissionName, int64_t llStart, const char* pszStatus) {
    const std::string dir = History_Mission_Dir();
    smbbackup::Create_Path(dir.c_str(), 0700);
    RAIIful_Json record(Json_Dict_Init());
    PT_JSON services = Json_List_Init();
    Json_List_Add_Str(services, run.pszService);
    Json_Dict_Add_List(record.get(), kKeyService, services);
    Json_Dict_Add_Str(record.get(), kKeyMissionName, strMissionName.c_str());
    Json_Dict_Add_Str(record.get(), kKeyTaskId, run.strTaskId.c_str());
    Json_Dict_Add_Str(record.get(), kKeyDomain, run.strDomain.c_str());
    Json_Dict_Add_Str(record.get(), kKeyMode, "export");
    Json_Dict_Add_Int64(record.get(), kKeyStartTime, llStart);
    Json_Dict_Add_Str(record.get(), kKeyBackupStatus, pszStatus);
    Json_Dict_Add_Int64(record.get(), kKeyEndTime, static_cast<int64_t>(Now()));
    Json_Write_File(dir + "/" + smbbackup::Create_New_ID(), record.get());
}

// Copies what is left of in into out: copy_file_range first (the kernel may share the blocks),
// plain reads and writes where the file systems cannot. 0 or -errno.
int Copy_Fd(int in, int out) {
    bool kernel = true;
    for (;;) {
        if (kernel) {
            const ssize_t n = copy_file_range(in, nullptr, out, nullptr, kCopyChunk, 0);
            if (n > 0) continue;
            if (n == 0) return 0;
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EBADF &&
                errno != EPERM)
                return -errno;
            kernel = false;  // both offsets moved by what was copied; go on from there
        }
        char buf[64 * 1024];
        const ssize_t n = read(in, buf, sizeof buf);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        for (ssize_t off = 0; off < n;) {
            const ssize_t w = write(out, buf + off, static_cast<size_t>(n - off));
            if (w < 0) {
                if (errno == EINTR) continue;
                return -errno;
            }
            off += w;
        }
    }
}

bool Is_Full(int err) { return err == ENOSPC || err == EDQUOT; }

// renameat that never replaces an entry (EEXIST when the name is taken). Where the file system
// has no such rename, a hard link and an unlink do the same. 0 or -1 with errno.
int Rename_No_Replace(int dirFd, const std::string& from, const std::string& to) {
    if (renameat2(dirFd, from.c_str(), dirFd, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
    if (linkat(dirFd, from.c_str(), dirFd, to.c_str(), 0) != 0) return -1;
    unlinkat(dirFd, from.c_str(), 0);
    return 0;
}

}  // namespace

int Export_Begin(O_APP_CGI_AGENT* agent, Export_Run& run) {
    smbbackup::Create_Path(Progress_Mission_Dir().c_str(), 0700);
    const char* task = agent->Get_Param(kExportTaskParam);
    if (task == nullptr) {
        Reply_Error(kReplyMissingParam, kExportTaskParam);
        return -1;
    }
    const char* nas = agent->Get_Param(kExportNasPathParam);
    if (nas == nullptr) {
        Reply_Error(kReplyMissingParam, kExportNasPathParam);
        return -1;
    }
    if (!Is_Id_Form(task)) {
        Reply_Error(kReplyBadParam, kExportTaskParam);
        return -1;
    }
    std::string phys;
    struct stat st {};
    if (Param_Has_Nul(agent, kExportNasPathParam) || strchr(nas, '\\') != nullptr || Has_Dot_Component(nas) ||
        Get_Phy_Path(nas, phys) < 0 || stat(GeneralPath(phys).Head_Slashed().c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
        Reply_Error(kReplyBadParam, kExportNasPathParam);
        return -1;
    }
    run.strTaskId = task;
    run.strNasPath = nas;
    run.strSharePath = GeneralPath(phys).Head_Slashed();
    run.strUser = agent->m_szUser;
    return 0;
}

int Export_Search_Param(O_APP_CGI_AGENT* agent) {
    int search = 0;
    if (agent->Get_Boolean_Param(kExportSearchParam, search) != 0) search = 0;
    return search;
}

int Export_Make_Folder(Export_Run& run) {
    const time_t now = Now();
    struct tm tm {};
    char base[64];
    FdGuard share(open(run.strSharePath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (share.fd < 0 || localtime_r(&now, &tm) == nullptr ||
        snprintf(base, sizeof base, kExportFolderFormat, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                 tm.tm_min, tm.tm_sec) <= 0) {
        Reply_Error(kReplyFailed, kExportNasPathParam);
        return -1;
    }
    // The name is easy to guess, so the folder must be one this export made: mkdir fails on any
    // entry of that name (a share user's folder, a link), and the next free "_n" is taken. Two
    // exports of one second so get a folder each.
    for (int n = 0; n <= kMaxClashNumber; ++n) {
        const std::string name = n == 0 ? std::string(base) : std::string(base) + "_" + std::to_string(n);
        if (mkdirat(share.fd, name.c_str(), 0700) != 0) {
            if (errno == EEXIST) continue;
            break;
        }
        run.dirFd.Reset(openat(share.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        // Between mkdir and open a share user could have put a folder of their own in its place:
        // only one that belongs to this process is taken. The mode is set again past the umask.
        if (run.dirFd.fd < 0 || fstat(run.dirFd.fd, &st) != 0 || st.st_uid != geteuid() ||
            fchmod(run.dirFd.fd, 0700) != 0) {
            run.dirFd.Reset(-1);
            break;
        }
        run.strExportDir = GeneralPath(run.strSharePath).Both_Slashed() + name;
        return 0;
    }
    Reply_Error(kReplyFailed, kExportNasPathParam);
    return -1;
}

int Export_Open_Subfolder(int dirFd, const std::string& strName) {
    if (!Is_Entry_Name(strName)) return -1;
    if (mkdirat(dirFd, strName.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    // O_NOFOLLOW refuses a link of that name; O_DIRECTORY anything but a folder.
    const int fd = openat(dirFd, strName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd;
}

void Export_Split_Name(const std::string& strName, std::string& strStem, std::string& strExt) {
    const size_t dot = strName.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        strStem = strName;
        strExt.clear();
    } else {
        strStem = strName.substr(0, dot);
        strExt = strName.substr(dot);
    }
}

std::string Export_Free_Name(const std::string& strStem, const std::string& strExt,
                             const std::function<bool(const std::string&)>& taken) {
    for (int n = 0; n <= kMaxClashNumber; ++n) {
        std::string name = n == 0 ? strStem + strExt : strStem + "(" + std::to_string(n) + ")" + strExt;
        if (!taken(name)) return name;
    }
    return "";
}

bool Export_Name_Taken(int dirFd, const std::string& strName) {
    struct stat st;
    return fstatat(dirFd, strName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

int Export_Create_File(int dirFd, const std::string& strStem, const std::string& strExt, mode_t mode,
                       std::string& strMade) {
    strMade.clear();
    int fd = -1;
    // The exclusive open is the clash test: it fails on any entry of that name, a dangling link
    // included, and a racing export cannot take the same name between a test and a create.
    const std::string name = Export_Free_Name(strStem, strExt, [&](const std::string& candidate) {
        if (!Is_Entry_Name(candidate)) return false;
        fd = openat(dirFd, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        return fd < 0 && errno == EEXIST;
    });
    if (fd < 0) return -1;
    strMade = name;
    return fd;
}

Export_Part::~Export_Part() { Export_Part_Drop(*this); }

int Export_Part_Open(int dirFd, mode_t mode, Export_Part& part) {
    Export_Part_Drop(part);
    Sigterm_Block block;
    // Hidden, and named by the worker: a file of the share never has this name while it is
    // written. O_EXCL and O_NOFOLLOW as for every file made here.
    const std::string stem = std::string(kPartPrefix) + std::to_string(static_cast<long long>(getpid()));
    std::string name;
    part.fd.Reset(Export_Create_File(dirFd, stem, "", mode, name));
    if (part.fd.fd < 0) return -1;
    part.dirFd = dirFd;
    part.name = name;
    Register_Target(dirFd, name);
    return 0;
}

void Export_Part_Drop(Export_Part& part) {
    if (part.name.empty()) return;
    Sigterm_Block block;
    part.fd.Reset(-1);
    unlinkat(part.dirFd, part.name.c_str(), 0);
    Clear_Target();
    part.name.clear();
}

int Export_Part_Place(Export_Part& part, const std::string& strStem, const std::string& strExt, bool bNumbered,
                      std::string& strMade) {
    strMade.clear();
    if (part.name.empty()) return -EBADF;
    // A network share reports what it kept back at close: the file counts once close says it is
    // whole. (A local file system reserves the space at write; an fsync per file would make an
    // export of many small files ten times slower.)
    int rc = 0;
    const int fd = part.fd.fd;
    part.fd.fd = -1;
    if (close(fd) != 0) rc = -errno;
    Sigterm_Block block;
    if (rc == 0) {
        int err = 0;
        auto taken = [&](const std::string& candidate) {
            err = 0;
            if (!Is_Entry_Name(candidate)) {
                err = ENAMETOOLONG;
                return false;
            }
            if (Rename_No_Replace(part.dirFd, part.name, candidate) == 0) return false;
            err = errno;
            return err == EEXIST;
        };
        std::string name;
        if (bNumbered) {
            name = Export_Free_Name(strStem, strExt, taken);
        } else if (!taken(strStem + strExt) && err == 0) {
            name = strStem + strExt;
        }
        if (!name.empty() && err == 0) {
            Clear_Target();
            part.name.clear();
            strMade = name;
            return 0;
        }
        rc = err != 0 ? -err : -EEXIST;
    }
    Export_Part_Drop(part);
    return rc;
}

int Export_Copy_File(const std::string& strSrc, int dirFd, const std::string& strStem, const std::string& strExt,
                     std::string& strMade) {
    strMade.clear();
    struct stat lst, st;
    // Only a file that is not there (or a link, or no file) is "none"; one the worker may not
    // read is a copy that failed, never a file left out unsaid.
    if (lstat(strSrc.c_str(), &lst) != 0) return errno == ENOENT || errno == ENOTDIR ? -1 : -3;
    if (!S_ISREG(lst.st_mode)) return -1;
    FdGuard in(open(strSrc.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (in.fd < 0) return errno == ENOENT || errno == ELOOP ? -1 : -3;  // gone or made a link meanwhile
    if (fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != lst.st_ino || st.st_dev != lst.st_dev)
        return -1;
    // Written under a part name and renamed when whole: a file under its real name is always
    // complete, whatever stops the copy (a full share, an abort, a kill).
    Export_Part part;
    if (Export_Part_Open(dirFd, st.st_mode & 0777, part) != 0) return Is_Full(errno) ? -4 : -2;
    int rc = Copy_Fd(in.fd, part.fd.fd);
    if (rc == 0) rc = Export_Part_Place(part, strStem, strExt, true, strMade);
    if (rc == 0) return 0;
    if (rc == -EEXIST) return -2;  // every numbered name taken
    return Is_Full(-rc) ? -4 : -3;
}

void Export_Scratch_File(const std::string& strPath) { Set_Text(g_szScratch, sizeof g_szScratch, strPath); }

std::string Exported_To_Nas_Message(const char* pszKind, const std::string& strName, const std::string& strAccount,
                                    const std::string& strPath) {
    return std::string("Exported ") + pszKind + " file \"" + strName + "\" of account " + strAccount +
           " to NAS path: " + strPath + ".";
}

std::string Failed_To_Nas_Message(const char* pszKind, const std::string& strName, const std::string& strAccount,
                                  const std::string& strPath) {
    return std::string("Failed to export ") + pszKind + " file \"" + strName + "\" of account " + strAccount +
           " to NAS path: " + strPath + ".";
}

namespace {

void Queue_Log_Row(Export_Ctx& ctx, const std::string& strDomain, const std::string& strMessage, const char* pszStatus,
                   const char* pszLevel) {
    if (ctx.pLog == nullptr) return;
    const Export_Run& run = *ctx.pRun;
    Sql_Log_Batch_Add(ctx.pLog, ctx.logRows,
                      Sql_Log_Row{"Orvenna", run.strTaskId, strDomain, run.strUser, pszStatus, "backup", pszLevel,
                                  strMessage, static_cast<int64_t>(Now())});
}

}  // namespace

void Export_Log(Export_Ctx& ctx, const std::string& strDomain, const std::string& strMessage) {
    Queue_Log_Row(ctx, strDomain, strMessage, "SUCCESS", "info");
}

void Export_Log_Failed(Export_Ctx& ctx, const std::string& strDomain, const std::string& strMessage) {
    Queue_Log_Row(ctx, strDomain, strMessage, "FAIL", "error");
}

int Export_Log_Flush(Export_Ctx& ctx) { return Sql_Log_Batch_Flush(ctx.pLog, ctx.logRows); }

int Export_Worker(Export_Run& run, const Export_Member& member) {
    setsid();
    const int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devnull >= 0) {
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        if (devnull > 2) close(devnull);
    }
    const std::string shmName = "/" + run.strMissionId;
    const std::string marker = Progress_Mission_Dir() + "/" + run.strMissionId;
    Set_Text(g_szShmName, sizeof g_szShmName, shmName);
    Set_Text(g_szMarker, sizeof g_szMarker, marker);
    struct sigaction sa {};
    sa.sa_handler = On_Export_Sigterm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    // What killed workers left: their tools' result files.
    Remove_Stale_Tool_Files();

    smbbackup::Create_Path(Progress_Mission_Dir().c_str(), 0700);
    smbbackup::Create_Path(History_Mission_Dir().c_str(), 0700);
    const std::string missionName = Get_New_Mission_Name();
    const int64_t llStart = static_cast<int64_t>(Now());
    // Without its marker and its progress record no one could see or stop the export: it ends
    // at once as failed.
    const bool marked = Write_Marker(marker) == 0;
    std::unique_ptr<SharedProgress> progress;
    try {
        progress = std::make_unique<SharedProgress>(shmName.c_str(), true);
    } catch (...) {
        progress.reset();
    }
    bool ok = marked && progress && progress->Is_Open();
    if (ok) {
        progress->SetCurrent(0);
        progress->SetMissionName(missionName);
        progress->SetDomain(run.strDomain);
        progress->SetService(run.pszService);
        progress->SetMode("export");
        progress->SetStartTime(static_cast<int>(llStart));
    }

    Export_Ctx ctx;
    ctx.pRun = &run;
    ctx.pProgress = progress.get();
    Log_Db log;
    if (ok && member.bLogs) {
        sqlite3* db = nullptr;
        ok = Sql_Open_Datebase(&db) == 0;
        log.reset(db);
        ok = ok && Sql_Log_Create_Table(db) == 0;
        ctx.pLog = log.get();
    }
    size_t total = 0;
    if (ok) ok = member.list(ctx, total) == 0;
    if (ok) {
        progress->SetTotal(total > INT_MAX ? INT_MAX : static_cast<int>(total));
        for (size_t i = 0; i < total; ++i) {
            const int rc = member.item(ctx, i);
            progress->AddProgress(1);
            if (rc > 0) ctx.bFailed = true;
            Sql_Log_Batch_Due(ctx.pLog, ctx.logRows);
            if (rc < 0) {
                ok = false;
                break;
            }
        }
    }
    if (ok && member.finish) ok = member.finish(ctx) == 0;
    Export_Log_Flush(ctx);
    log.reset();

    // From here the worker files its own end; an abort arriving now waits for it to go.
    Sigterm_Block block;
    Write_History(run, missionName, llStart, ok && !ctx.bFailed ? "finish" : "error");
    if (g_szScratch[0] != '\0') unlink(g_szScratch);
    g_szScratch[0] = '\0';
    unlink(marker.c_str());
    if (progress) progress->Cleanup(true);
    else shm_unlink(shmName.c_str());
    return 0;
}

int Export_Fork(Export_Run& run, const Export_Member& member) {
    run.strMissionId = smbbackup::Create_New_ID();
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        Reply_Error_No_Msg(kReplyFailed);
        return -1;
    }
    if (pid == 0) _exit(Export_Worker(run, member));
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_Str(reply.get(), kKeyMissionId, run.strMissionId.c_str());
    Json_Dict_Add_Str(reply.get(), "path", (run.strReplyPath.empty() ? run.strExportDir : run.strReplyPath).c_str());
    Reply_Json(reply.get());
    return 0;
}

bool Export_Reap_If_Dead(const std::string& strMissionId) {
    if (!Is_Id_Form(strMissionId.c_str())) return false;
    const std::string marker = Progress_Mission_Dir() + "/" + strMissionId;
    struct stat st {};
    if (lstat(marker.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    pid_t pid = 0;
    if (Marker_Worker_Runs(marker, pid)) return false;
    // A worker writes its marker whole (temporary file and rename), so a marker without a pid of a
    // live worker is one whose worker ended without filing its end. Only the process whose unlink
    // succeeds files it.
    if (unlink(marker.c_str()) != 0) return false;
    const std::string shmName = "/" + strMissionId;
    std::unique_ptr<SharedProgress> progress;
    try {
        progress = std::make_unique<SharedProgress>(shmName.c_str(), false);
    } catch (...) {
        progress.reset();
    }
    if (progress && progress->Is_Open()) {
        Export_Run run;
        run.strDomain = progress->GetDomain();
        const std::string service = progress->GetService();
        run.pszService = service.c_str();
        Write_History(run, progress->GetMissionName(), progress->GetStartTime(), "error");
    }
    shm_unlink(shmName.c_str());
    return true;
}

}  // namespace qlm
