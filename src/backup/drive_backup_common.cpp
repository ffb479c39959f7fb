#include "backup/drive_backup_common.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "appgenerallib/keystore.h"
#include "backup/drive_backup.h"
#include "common/clock.h"
#include "common/cmdrun.h"
#include "common/csvreader.h"
#include "common/filehelpers.h"
#include "common/gam_status.h"
#include "common/listing_check.h"
#include "common/paths.h"
#include "common/shellquote.h"
#include "common/timeconv.h"
#include "common/toolcmd.h"
#include "log/log_db.h"
#include "orvenna_task.h"
#include "plat_string.h"

namespace qlm::drivebk {

namespace {

// The hand-picked ids of a task as a set; bAll when no selection applies. With auto-add off the
// hand-picked list is the selection even when it is empty (or stored as no text at all): nobody
// picked means nobody backed up, as the record's backed-up amount says.
void Selection(int nAutoAdd, const char* pszManual, bool& bAll, std::set<std::string>& ids) {
    bAll = nAutoAdd != 0;
    if (bAll || pszManual == nullptr || *pszManual == '\0') return;
    RAIIful_Json list(Json_From_String(pszManual));
    for (int i = 0; i < Json_List_Size(list.get()); ++i) {
        const char* s = Json_Get_String(Json_List_Child(list.get(), i));
        if (s != nullptr) ids.insert(s);
    }
}

std::string Str(PT_JSON o, const char* key) {
    const char* s = nullptr;
    return Json_Dict_Find_Str(o, key, s) == 0 ? std::string(s) : std::string();
}

// scoutix's JSON reply with its list under listKey; "<what> of domain <admin>" names it in the FAIL
// row of a reply that fails its check.
int Run_Scoutix_List(const char* pszOption, const char* pszListKey, const char* pszWhat, GWSTask* pTask,
                     const LogCtx& ctx, const std::string& errPath, RAIIful_Json& out, PT_JSON& list) {
    UnlinkGuard result = New_Temp_File();
    const std::string line = ShellQuote(Tool_Path("scoutix")) + " " + pszOption + " " + ShellQuote(Gam_Process_Key_Path()) + " " +
                             ShellQuote(pTask->Get_Admin_Email());
    const ToolRun r = Run_Checked_Listing(line, *result, errPath, false, [&] {
        std::string problem;
        out.reset(listing::Load_Json_Listing(*result, problem));
        if (out && Json_Dict_Find_List(out.get(), pszListKey, list) != 0) {
            out.reset();
            problem = std::string("is unreadable: it holds no ") + pszListKey;
        }
        return problem;
    });
    if (!r.problem.empty())
        Log_Stored(ctx, "FAIL", "info",
                   listing::Listing_Problem_Text(pszWhat, std::string("domain ") + pTask->Get_Admin_Email(), r.problem));
    return r.result == RunResult::Ok ? 0 : -1;
}

}  // namespace

LogCtx Make_Log_Ctx(GWSTask* pTask, const char* pszUser, sqlite3* db) {
    LogCtx c;
    c.db = db;
    c.pszTaskID = pTask->Get_Task_ID();
    c.pszDomain = pTask->Get_Admin_Email();
    c.pszUser = pszUser != nullptr ? pszUser : "";
    return c;
}

void Log_Progress(const LogCtx&, const std::string& msg) { DBG(false, "%s", msg.c_str()); }

void Log_Stored(const LogCtx& ctx, const char* pszStatus, const char* pszType, const std::string& msg) {
    if (ctx.db == nullptr) return;
    Sql_Log_Insert_Data(ctx.db, "Orvenna", ctx.pszTaskID, ctx.pszDomain, ctx.pszUser, pszStatus, "backup", pszType,
                        msg.c_str());
}

std::string Format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char* out = nullptr;
    const int n = vasprintf(&out, fmt, ap);
    va_end(ap);
    if (n < 0) return std::string();
    std::string s(out, static_cast<size_t>(n));
    free(out);
    return s;
}

UnlinkGuard New_Temp_File() {
    const std::string path = Worker_Listing_Path();
    // Made by us, private, before a shell writes into it: never a link planted in the shared folder.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) close(fd);
    return Guard_File(path);
}

ToolRun Run_Checked_Listing(const std::string& cmdline, const std::string& outPath, const std::string& errPath,
                            bool bGam, const std::function<std::string()>& check) {
    ToolRun r;
    for (int n = 0; n < listing::kListingTries; ++n) {
        if (n > 0) Sleep_Seconds(static_cast<double>(n));
        r = Run_Tool(cmdline, outPath, errPath);
        if (r.result == RunResult::Lost) return r;
        if (bGam ? !Gam_Listing_Ended(r.ret, r.status) : r.ret < 0 || r.status != 0) {
            r.result = RunResult::Failed;
            return r;
        }
        r.problem = check();
        r.result = r.problem.empty() ? RunResult::Ok : RunResult::Failed;
        if (r.result == RunResult::Ok) return r;
    }
    return r;
}

ToolRun Run_Tool(const std::string& cmdline, const std::string& outPath, const std::string& errPath) {
    ToolRun r;
    const std::string line = cmdline + " >" + ShellQuote(outPath) + " 2>" + ShellQuote(errPath);
    r.ret = Execute_Tool_Line(r.status, "%s", line.c_str());
    if (IsConnectionError(errPath))
        r.result = RunResult::Lost;
    else
        r.result = (r.ret >= 0 && r.status == 0) ? RunResult::Ok : RunResult::Failed;
    return r;
}

int List_Selected_Users(GWSTask* pTask, const LogCtx& ctx, const std::string& errPath, std::vector<std::string>& vUsers) {
    RAIIful_Json info;
    PT_JSON list = nullptr;
    if (Run_Scoutix_List("-info", "user_list", "User listing", pTask, ctx, errPath, info, list) != 0) return -1;
    bool bAll = true;
    std::set<std::string> ids;
    Selection(pTask->Get_Auto_Add_User_Enable(), pTask->Get_Manual_Select_Domain_User(), bAll, ids);
    for (int i = 0; i < Json_List_Size(list); ++i) {
        PT_JSON u = Json_List_Child(list, i);
        if (!bAll) {
            const char* id = nullptr;
            if (Json_Dict_Find_Str(u, "iD", id) != 0 || ids.count(id) == 0) continue;
        }
        const std::string email = Str(u, "Email");
        if (!email.empty()) vUsers.push_back(email);
    }
    return 0;
}

int List_Selected_Shared_Drives(GWSTask* pTask, const LogCtx& ctx, const std::string& errPath,
                                std::vector<SharedDriveEntry>& vDrives) {
    RAIIful_Json info;
    PT_JSON list = nullptr;
    if (Run_Scoutix_List("-shared", "shared_drive_list", "Shared drive listing", pTask, ctx, errPath, info, list) != 0)
        return -1;
    bool bAll = true;
    std::set<std::string> ids;
    Selection(pTask->Get_Auto_Add_Shared_Drive_Enable(), pTask->Get_Manual_Select_Shared_Drive(), bAll, ids);
    for (int i = 0; i < Json_List_Size(list); ++i) {
        PT_JSON d = Json_List_Child(list, i);
        SharedDriveEntry e{Str(d, "id"), Str(d, "shared_drive_name")};
        if (e.id.empty() || (!bAll && ids.count(e.id) == 0)) continue;
        vDrives.push_back(std::move(e));
    }
    return 0;
}

int Order_Users_By_Usage(std::vector<std::string>& vUsers, const std::string& errPath) {
    UnlinkGuard in = New_Temp_File();
    UnlinkGuard out = New_Temp_File();
    RAIIful_Json list(Json_List_Init());
    for (const std::string& u : vUsers) {
        PT_JSON o = Json_Dict_Init();
        Json_Dict_Add_Str(o, "Email", u.c_str());
        Json_List_Add_Dict(list.get(), o);
    }
    if (Json_To_File(in->c_str(), list.get()) != 0) return 0;
    const std::string line = ShellQuote(Tool_Path("tallyx")) + " -k " + ShellQuote(Gam_Process_Key_Path()) + " -f " +
                             ShellQuote(*in) + " -o " + ShellQuote(*out) + " --asc";
    UnlinkGuard stdoutFile = New_Temp_File();
    RAIIful_Json ordered;
    const ToolRun r = Run_Checked_Listing(line, *stdoutFile, errPath, false, [&] {
        std::string problem;
        ordered.reset(listing::Load_Json_Listing(*out, problem));
        if (ordered && !Json_Is_List(ordered.get())) {
            ordered.reset();
            problem = "is unreadable: it holds no list";
        }
        return problem;
    });
    if (r.result == RunResult::Lost || (r.result == RunResult::Failed && r.problem.empty())) return -1;
    // An order that cannot be read only leaves the accounts in their listed order.
    if (r.result != RunResult::Ok) return 0;
    std::set<std::string> selected(vUsers.begin(), vUsers.end()), placed;
    std::vector<std::string> result;
    for (int i = 0; i < Json_List_Size(ordered.get()); ++i) {
        const std::string e = Str(Json_List_Child(ordered.get(), i), "Email");
        if (selected.count(e) != 0 && placed.insert(e).second) result.push_back(e);
    }
    for (const std::string& u : vUsers)
        if (placed.insert(u).second) result.push_back(u);
    vUsers.swap(result);
    return 0;
}

namespace {

std::string Drive_Listing_Line(const std::string& account, const std::string& sdID, const char* what,
                               const char* fields, const char* extra) {
    std::string line = ShellQuote(Tool_Path("gam")) + " user " + ShellQuote(account) + " print " + what;
    if (!sdID.empty()) line += " select " + ShellQuote(sdID);
    line += std::string(" fields ") + fields + extra + " excludetrashed";
    return line;
}

// Rows after a second top row belong to GAM's made-up "Orphans" folder: it becomes a folder in
// the root, and its rows move one level down under it.
void Place_Orphans(std::vector<TreeRow>& rows) {
    const TreeRow* root = nullptr;
    std::string orphans;
    for (TreeRow& t : rows) {
        if (t.depth == -1 && root == nullptr) {
            root = &t;
            continue;
        }
        if (root == nullptr) continue;
        if (t.depth == -1) {
            orphans = t.id;
            t.bOrphans = true;
            t.depth = 0;
            t.parents = root->id;
            t.mimeType = kFolderMime;
            continue;
        }
        if (orphans.empty() || t.depth < 0) continue;
        if (t.depth == 0) t.parents = orphans;
        ++t.depth;
    }
}

long long Cell_Int(const csvx::Document& doc, const char* col, size_t row, long long dflt) {
    std::string cell;
    int64_t v = 0;
    if (doc.GetCell(col, row, cell) && !cell.empty() && csvx::ToInt64(cell, v)) return v;
    return dflt;
}

std::string Cell(const csvx::Document& doc, const char* col, size_t row) {
    std::string cell;
    doc.GetCell(col, row, cell);
    return cell;
}

}  // namespace

ToolRun List_Tree(const std::string& account, const std::string& sdID, const std::string& errPath,
                  std::vector<TreeRow>& rows) {
    UnlinkGuard out = New_Temp_File();
    csvx::Document doc;
    ToolRun r = Run_Checked_Listing(
        Drive_Listing_Line(account, sdID, "filetree", "id,mimetype,parents", " noindent"), *out, errPath, true, [&] {
            std::string problem;
            // GAM prints one line of its own before the CSV: the number of top rows (depth -1).
            if (doc.LoadListing(*out, 1, csvx::Backslash::Escape, {"id", "depth"}, problem) != 0) return problem;
            long long tops = 0;
            for (size_t i = 0; i < doc.RowCount(); ++i) tops += Cell_Int(doc, "depth", i, -2) == -1 ? 1 : 0;
            return listing::Check_Tree_Count_Line(*out, tops);
        });
    if (r.result != RunResult::Ok) return r;
    for (size_t i = 0; i < doc.RowCount(); ++i) {
        TreeRow t;
        t.id = Cell(doc, "id", i);
        if (t.id.empty()) continue;
        t.name = Cell(doc, "name", i);
        t.mimeType = Cell(doc, "mimeType", i);
        t.parents = Cell(doc, "parents", i);
        t.index = Cell_Int(doc, "index", i, 0);
        t.depth = Cell_Int(doc, "depth", i, -2);
        rows.push_back(std::move(t));
    }
    Place_Orphans(rows);
    return r;
}

ToolRun List_Files(const std::string& account, const std::string& sdID, const std::string& errPath,
                   std::vector<ListRow>& rows) {
    UnlinkGuard out = New_Temp_File();
    const char* fields = sdID.empty() ? "id,name,modifiedTime,md5,size" : "id,name,modifiedTime,createddate,md5,size";
    csvx::Document doc;
    ToolRun r = Run_Checked_Listing(Drive_Listing_Line(account, sdID, "filelist", fields, ""), *out, errPath, true, [&] {
        std::string problem;
        doc.LoadListing(*out, 0, csvx::Backslash::Escape, {"id"}, problem);
        return problem;
    });
    if (r.result != RunResult::Ok) return r;
    for (size_t i = 0; i < doc.RowCount(); ++i) {
        ListRow l;
        l.id = Cell(doc, "id", i);
        if (l.id.empty()) continue;
        if (sdID.empty()) l.owner = Cell(doc, "Owner", i);
        l.md5 = Cell(doc, "md5Checksum", i);
        l.modifiedTime = Cell(doc, "modifiedTime", i);
        l.modifyTime = calendar_parse_iso8601(l.modifiedTime);
        l.size = Cell_Int(doc, "size", i, -1);
        rows.push_back(std::move(l));
    }
    return r;
}

bool Has_No_Drive_Export(const std::string& mime) {
    return mime == "application/vnd.google-apps.drawing" || mime == "application/vnd.google-apps.script";
}

bool Is_Downloadable(const std::string& mime) {
    return mime != kFolderMime && !Is_NonDownloadable_Drive_MimeType(mime) && !Has_No_Drive_Export(mime);
}

bool Is_Unchanged(const std::string& prevMD5, long long prevTime, const std::string& curMD5, long long curTime) {
    if (!prevMD5.empty() && !curMD5.empty()) return prevMD5 == curMD5;
    return prevTime == curTime;
}

bool Is_Complete_Copy(const std::string& path, long long size, const std::string& md5) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (md5.empty()) return st.st_size > 0;
    if (size >= 0 && st.st_size != size) return false;
    return strcasecmp(File_MD5(path).c_str(), md5.c_str()) == 0;
}

bool Stored_Copy_Present(const std::string& folder, const std::string& localID, long long size,
                         const std::string& md5) {
    struct stat st {};
    if (localID.empty()) return stat(folder.c_str(), &st) == 0;
    if (stat((folder + "/" + localID).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // As the download check, without reading the MD5 again (it was checked at the commit): a
    // truncated copy left by an older version is repaired by downloading it again, and an editor
    // file's copy is never measured against its listed (storage) size.
    if (md5.empty()) return st.st_size > 0;
    return size < 0 || st.st_size == size;
}

void Remove_Stale_Downloads(const std::string& folder) {
    std::vector<std::string> names;
    GetFolderList(names, folder.c_str());
    for (const std::string& n : names)
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".tmp") == 0) unlink((folder + "/" + n).c_str());
}

void Remove_Unlisted_Files(const std::string& folder, const std::set<std::string>& named) {
    std::vector<std::string> names;
    GetFolderList(names, folder.c_str());
    for (const std::string& n : names)
        if (named.count(n) == 0) unlink((folder + "/" + n).c_str());
}

RunResult Confirm_Removals(const LogCtx& ctx, const std::string& what, const std::string& who, size_t held,
                           const std::function<bool(const std::string&)>& listed, std::vector<std::string>& gone,
                           const std::function<ToolRun(std::set<std::string>& ids)>& relist) {
    if (!listing::Removal_Needs_Second_Listing(held, gone.size())) return RunResult::Ok;
    std::set<std::string> again;
    const ToolRun r = relist(again);
    if (r.result != RunResult::Ok) {
        std::string row = Format("%s of %s lacked %zu of %zu backed-up items and a second listing failed: nothing was "
                                 "removed.",
                                 what.c_str(), who.c_str(), gone.size(), held);
        if (!r.problem.empty()) row += " The second listing " + r.problem + ".";
        if (r.result != RunResult::Lost) Log_Stored(ctx, "FAIL", "info", row);
        gone.clear();
        return r.result == RunResult::Lost ? RunResult::Lost : RunResult::Ok;
    }
    size_t missed = 0;
    for (const std::string& id : again) missed += listed(id) ? 0 : 1;
    std::erase_if(gone, [&](const std::string& id) { return again.count(id) != 0; });
    if (missed > 0)
        Log_Stored(ctx, "FAIL", "info",
                   Format("%s of %s was incomplete: a second listing holds %zu items it lacked; they are kept and "
                          "backed up by the next run.",
                          what.c_str(), who.c_str(), missed));
    return RunResult::Ok;
}

std::string File_MD5(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return std::string();
    char buf[65536];
    while (in) {
        in.read(buf, sizeof buf);
        if (in.gcount() > 0 && EVP_DigestUpdate(ctx.get(), buf, static_cast<size_t>(in.gcount())) != 1)
            return std::string();
    }
    if (in.bad()) return std::string();
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(ctx.get(), md, &n) != 1) return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < n; ++i) {
        hex += kHex[md[i] >> 4];
        hex += kHex[md[i] & 15];
    }
    return hex;
}

DownloadResult Download_File(const std::string& account, const std::string& fileID, const std::string& storedPath,
                             long long size, const std::string& md5, const std::string& errPath, int& lastRet,
                             int& lastStatus, int maxTries) {
    const std::string tmpPath = storedPath + ".tmp";
    UnlinkGuard tmp = Guard_File(tmpPath);
    const std::string line = ShellQuote(Tool_Path("gam")) + " user " + ShellQuote(account) + " get drivefile id " +
                             ShellQuote(fileID) + " targetfolder " + ShellQuote(Backup_Dir() + "/") +
                             " targetname - >" + ShellQuote(tmpPath) + " 2>" + ShellQuote(errPath);
    for (int n = 0; n < maxTries; ++n) {
        unlink(tmpPath.c_str());
        lastStatus = 0;
        lastRet = Execute_Command_Line_Timeout(lastStatus, Tool_Timeout_Sec(600), "%s", line.c_str());
        if (IsConnectionError(errPath)) return DownloadResult::Lost;
        if (lastRet >= 0 && lastStatus == kGamNotPerformedStatus) return DownloadResult::Failed;
        if (lastRet >= 0 && lastStatus == 0 && Is_Complete_Copy(tmpPath, size, md5)) {
            if (rename(tmpPath.c_str(), storedPath.c_str()) != 0) {
                printf("rename failed: %s -> %s\n", tmpPath.c_str(), storedPath.c_str());
                return DownloadResult::CommitFailed;
            }
            Disarm(tmp);
            return DownloadResult::Ok;
        }
        if (n + 1 < maxTries) Sleep_Seconds(static_cast<double>(1 << n));
    }
    return DownloadResult::Failed;
}

}  // namespace qlm::drivebk
