// The Gmail service of a backup run and its pre-count.
//
// Per user: lettrix lists the message ids (newest first); every id the catalog does not hold with
// a non-empty file is saved as an EML file by GAM and analysed by emlsift; the rows go to the
// catalog in batches, each batch moving the resume point in the running record; ids gone from the
// listing lose their file and row; the five label flags are refreshed from five lettrix queries.
// A stored EML file always has its catalog row: the files of rows not yet appended are appended
// or removed before the pass ends, and files left by a killed run are swept at the next pass.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "appgenerallib/keystore.h"
#include "backup/backup_service.h"
#include "backup/drive_backup_common.h"
#include "backup/gmail_count.h"
#include "backup/mission_record.h"
#include "common/atomicfile.h"
#include "common/clock.h"
#include "common/cmdrun.h"
#include "common/csvreader.h"
#include "common/filehelpers.h"
#include "common/guards.h"
#include "common/listing_check.h"
#include "common/mailheader.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "common/shellquote.h"
#include "common/timeconv.h"
#include "common/toolcmd.h"
#include "dbcontrol/catalog_common.h"
#include "dbcontrol/gmail_db.h"
#include "orvenna_task.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_lock.h"
#include "plat_proc.h"
#include "plat_string.h"

using namespace qlm::drivebk;

namespace {

constexpr size_t kBatch = 500;
constexpr size_t kPendingLimit = 2000;
constexpr int kExportTries = 5;
constexpr int kToolTimeoutSec = 600;

const struct {
    const char* pszQuery;
    int GmailData::*pFlag;
} kLabels[] = {
    {"is:starred", &GmailData::nStarred}, {"is:important", &GmailData::nImportant}, {"in:sent", &GmailData::nSent},
    {"in:draft", &GmailData::nDraft},     {"in:trash", &GmailData::nTrash},
};

using RowMap = std::map<std::string, GmailData>;

// One attempt of the service.
struct GmailRun {
    LogCtx ctx;
    std::string strTaskID;
    std::string strRecordPath;
    int64_t G = 0;  // this attempt's Gmail messages
    int64_t B = 0;  // the run's overall count
    std::string strResumeUser;
    int64_t llResumeIndex = 0;
    bool bResumeSeen = false;  // the first pass that gets to its listing takes the resume point
    // The resume point the record holds now, and when the record was last written.
    std::string strMarkUser;
    int64_t llMarkIndex = 0;
    int64_t llWrittenMs = 0;
    std::string strOutPath, strErrPath, strHeaderPath, strAttachPath;
};

// Writes the counters and the resume point into the running record; its other keys stay.
int64_t Monotonic_Ms() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void Write_Record(GmailRun& run, const std::string& lastUser, int64_t lastIndex) {
    run.strMarkUser = lastUser;
    run.llMarkIndex = lastIndex;
    run.llWrittenMs = Monotonic_Ms();
    RAIIful_Json record(Json_From_File(run.strRecordPath.c_str()));
    if (!record || !json_object_is_type(record.get(), json_type_object)) return;
    Json_Dict_Add_Int64(record.get(), qlm::kKeyGmailCurrent, run.G);
    Json_Dict_Add_Int64(record.get(), qlm::kKeyBackupCurrent, run.B);
    Json_Dict_Add_Str(record.get(), qlm::kKeyGmailLastUser, lastUser.c_str());
    Json_Dict_Add_Int64(record.get(), qlm::kKeyGmailLastIndex, lastIndex);
    qlm::Json_Write_File(run.strRecordPath, record.get());
}

void Read_Record(GmailRun& run) {
    RAIIful_Json record(Json_From_File(run.strRecordPath.c_str()));
    if (!record) return;
    const int64_t g = qlm::Mission_Int(record.get(), qlm::kKeyGmailCurrent);
    const int64_t b = qlm::Mission_Int(record.get(), qlm::kKeyBackupCurrent);
    run.B = b - g > 0 ? b - g : 0;
    run.G = 0;
    const char* user = nullptr;
    if (Json_Dict_Find_Str(record.get(), qlm::kKeyGmailLastUser, user) == 0 && user != nullptr) run.strResumeUser = user;
    run.llResumeIndex = qlm::Mission_Int(record.get(), qlm::kKeyGmailLastIndex);
    run.strMarkUser = run.strResumeUser;
    run.llMarkIndex = run.llResumeIndex;
    run.llWrittenMs = Monotonic_Ms();
}

// The counters between batches, at most once a second, so the progress moves while a large
// mailbox is saved; the resume point stays where the last batch put it.
void Progress_Tick(GmailRun& run) {
    if (Monotonic_Ms() - run.llWrittenMs >= 1000) Write_Record(run, run.strMarkUser, run.llMarkIndex);
}

int64_t File_Size(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

constexpr const char* kMessageListing = "Gmail message listing";

// One lettrix run into a listing file, read back with its "id" column and checked whole; the
// message listing (no query) also against the messages counted for the user (counted < 0: no
// count). Failed: a non-zero exit, or a listing that fails its check (problem says why); Lost:
// the error output shows a lost connection.
ToolRun Run_Lettrix(const GmailRun& run, const std::string& user, const std::string& listPath, const char* pszQuery,
                    int64_t counted, std::vector<std::string>& ids) {
    ids.clear();
    unlink(listPath.c_str());
    std::string line = qlm::ShellQuote(qlm::Tool_Path("lettrix")) + " --service-account-file " +
                       qlm::ShellQuote(qlm::Gam_Process_Key_Path()) + " --impersonate-user " + qlm::ShellQuote(user) +
                       " --output " + qlm::ShellQuote(listPath) + " --include-spam-trash";
    if (pszQuery != nullptr) line += std::string(" --query ") + qlm::ShellQuote(pszQuery);
    return Run_Checked_Listing(line, "/dev/null", run.strErrPath, false, [&] {
        csvx::Document doc;
        std::string problem;
        doc.LoadListing(listPath, 0, csvx::Backslash::Plain, {"id"}, problem);
        // The next run of the tool must not find this one's file.
        unlink(listPath.c_str());
        if (!problem.empty()) return problem;
        ids = doc.GetColumn("id");
        if (pszQuery == nullptr) problem = qlm::listing::Check_Against_Count(ids.size(), counted);
        return problem;
    });
}

// The users in order of their counts, smallest first; users without a count follow in their order.
void Sort_User_List_By_Gmail_Count_Asc(std::vector<std::string>& users,
                                       const std::vector<std::pair<std::string, int64_t>>& counts) {
    std::unordered_map<std::string, size_t> position;
    for (size_t i = 0; i < counts.size(); ++i) position[counts[i].first] = i;
    std::stable_sort(users.begin(), users.end(), [&position](const std::string& a, const std::string& b) {
        const auto pa = position.find(a), pb = position.find(b);
        const size_t ia = pa == position.end() ? SIZE_MAX : pa->second;
        const size_t ib = pb == position.end() ? SIZE_MAX : pb->second;
        return ia < ib;
    });
}

// The message counts of the users, smallest first, from parallel GAM counts.
std::vector<std::pair<std::string, int64_t>> Gmail_Users_Get_Count_Internal(GWSTask* pTask,
                                                                            const std::vector<std::string>& users) {
    std::vector<std::pair<std::string, int64_t>> counts;
    if (users.empty()) return counts;
    qlm::gmailbk::Remove_Stale_Backup_Counts();
    const std::string id = qlm::gmailbk::Backup_Count_ID();
    const std::string work = qlm::gmailbk::Count_Work_Folder(pTask->Get_Auth_ID(), id);
    DirGuard workRoot = Guard_Dir(qlm::gmailbk::Count_Work_Root(pTask->Get_Auth_ID(), id));
    if (smbbackup::Create_Path(work.c_str(), 0700) != 0) return counts;
    qlm::gmailbk::Run_Count_Workers(users, work, {});
    for (const std::string& u : users) {
        std::string who;
        int64_t n = 0;
        if (qlm::Is_Single_Path_Component(u) && qlm::gmailbk::Read_Count_Row(work + u + ".out", who, n))
            counts.emplace_back(u, n);
    }
    std::stable_sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    return counts;
}

enum class ExportResult { Ok, Failed, Lost };

ExportResult Export_Message(const GmailRun& run, const std::string& user, const std::string& gmailID,
                            const std::string& emlPath) {
    const std::string line = qlm::ShellQuote(qlm::Tool_Path("gam")) + " user " + qlm::ShellQuote(user) + " export messages ids " +
                             qlm::ShellQuote(gmailID) + " targetname " + qlm::ShellQuote(emlPath) + " >" +
                             qlm::ShellQuote(run.strOutPath) + " 2>" + qlm::ShellQuote(run.strErrPath);
    for (int t = 0; t < kExportTries; ++t) {
        unlink(emlPath.c_str());
        int status = 0;
        const int ret = Execute_Command_Line_Timeout(status, qlm::Tool_Timeout_Sec(kToolTimeoutSec), "%s", line.c_str());
        if (IsConnectionError(run.strErrPath)) {
            unlink(emlPath.c_str());
            return ExportResult::Lost;
        }
        if (ret >= 0 && status == 0 && File_Size(emlPath) > 0) return ExportResult::Ok;
        if (t + 1 < kExportTries) qlm::Sleep_Seconds(static_cast<double>(1 << t));
    }
    unlink(emlPath.c_str());
    return ExportResult::Failed;
}

// One emlsift dump of the file as JSON; nullptr when the run or its output fails.
PT_JSON Run_Emlsift(const std::string& emlPath, const char* pszOption, const std::string& resultPath) {
    if (qlm::Prepare_Tool_Output(resultPath) != 0) return nullptr;
    const std::string line = qlm::ShellQuote(qlm::Tool_Path("emlsift")) + " -i " + qlm::ShellQuote(emlPath) +
                             " --format json " + pszOption + " >" + qlm::ShellQuote(resultPath) + " 2>/dev/null";
    int status = 0;
    const int ret = Execute_Command_Line_Timeout(status, qlm::Tool_Timeout_Sec(kToolTimeoutSec), "%s", line.c_str());
    if (ret < 0 || status != 0) return nullptr;
    return Json_From_File(resultPath.c_str());
}

// The catalog row of a saved message. What a dump that fails cannot tell stays empty (no header
// fields, no attachment); false then. The saved file is the backup all the same.
bool Analyse_Message(const GmailRun& run, const std::string& emlPath, GmailData& row) {
    RAIIful_Json headerDump(Run_Emlsift(emlPath, "--header", run.strHeaderPath));
    RAIIful_Json attachDump(Run_Emlsift(emlPath, "--a", run.strAttachPath));
    PT_JSON headers = nullptr;
    const bool bHeaders = headerDump && Json_Dict_Find_Dict(headerDump.get(), "headers", headers) == 0;
    qlm::parseNameEmail(qlm::Get_First_Header_Value(bHeaders ? headers : nullptr, "From"), row.strSenderName,
                        row.strSenderMail);
    qlm::parseNameEmail(qlm::Get_First_Header_Value(bHeaders ? headers : nullptr, "To"), row.strRecipientName,
                        row.strRecipientMail);
    row.strDate = qlm::Get_First_Header_Value(bHeaders ? headers : nullptr, "Date");
    row.tDate = parseDateToTimestamp(row.strDate);
    row.strSubject = qlm::Get_First_Header_Value(bHeaders ? headers : nullptr, "Subject");
    PT_JSON attachments = nullptr;
    if (attachDump) Json_Dict_Find_List(attachDump.get(), "attachments", attachments);
    row.bHasAttachment = attachments != nullptr && Json_List_Size(attachments) > 0 ? 1 : 0;
    return bHeaders && attachDump;
}

enum class PassResult { Done, Lost };

// One user's pass. Lost ends the attempt: the wrapper runs the service again.
PassResult Backup_Gmail_User(GmailRun& run, const std::string& user, int64_t counted) {
    const LogCtx& ctx = run.ctx;
    const char* acct = user.c_str();
    if (!qlm::Is_Single_Path_Component(user)) {
        Log_Stored(ctx, "FAIL", "warn",
                   Format("Skipped Gmail backup for user account %s: the account name cannot name a folder.", acct));
        return PassResult::Done;
    }
    const std::string gmailDir = qlm::Backup_Service_Dir("gmail");
    int fd = -1;
    if (Get_File_Lock((gmailDir + "/" + run.strTaskID + "/" + user + ".gmail_lck").c_str(), 30000, fd) != 0) {
        Log_Stored(ctx, "FAIL", "warn", Format("Gmail backup skipped for user account %s: the account is busy.", acct));
        return PassResult::Done;
    }
    LockGuard lock(&fd);

    const char* task = run.strTaskID.c_str();
    const std::string store = gmailDir + "/" + run.strTaskID + "/" + user;
    smbbackup::Create_Path(store.c_str(), 0700);
    RowMap old;
    // A damaged catalog is kept aside for the administrator and the mailbox is saved into a fresh
    // one; the old store's files no row names go at the end of the pass. A catalog that only cannot
    // be read now is left alone: saving every message again beside it would pile up copies.
    bool bFresh = false;
    if (Gmail_Read_DB(old, acct, task) != 0) {
        printf("Fail read gmail db. user=%s\n", acct);
        old.clear();
        const std::string file = qlm::catalog::Catalog_File(qlm::catalog::Kind::Gmail, acct, task);
        std::string moved;
        if (!qlm::catalog::Catalog_Damaged(qlm::catalog::Kind::Gmail, acct, task) ||
            qlm::catalog::Move_Catalog_Aside(qlm::catalog::Kind::Gmail, acct, task, moved) != 0) {
            Log_Stored(ctx, "FAIL", "info",
                       Format("Failed to read Gmail catalog %s for user account %s.", file.c_str(), acct));
            return PassResult::Done;
        }
        Log_Stored(ctx, "FAIL", "warn",
                   Format("Gmail catalog %s of user account %s is damaged: it was kept as %s and the account is "
                          "backed up into a fresh catalog.",
                          file.c_str(), acct, moved.c_str()));
        bFresh = true;
    } else {
        Remove_Files_Without_Rows(store, old);
    }

    UnlinkGuard listing = Guard_File(qlm::Worker_Listing_Path());
    std::vector<std::string> ids;
    const ToolRun lr = Run_Lettrix(run, user, *listing, nullptr, counted, ids);
    if (lr.result == RunResult::Lost) return PassResult::Lost;
    if (lr.result == RunResult::Failed) {
        Log_Stored(ctx, "FAIL", "info",
                   lr.problem.empty() ? Format("Failed to retrieve Gmail message list for user account %s.", acct)
                                      : qlm::listing::Listing_Problem_Text(kMessageListing, user, lr.problem));
        return PassResult::Done;
    }
    const size_t n = ids.size();
    std::unordered_set<std::string> cloud;
    for (const std::string& d : ids)
        if (!d.empty()) cloud.insert(d);

    // Entries before the resume point are stored already, unless new mail shifted the listing.
    size_t resumeAt = 0;
    if (!run.bResumeSeen) {
        run.bResumeSeen = true;
        if (run.strResumeUser == user && run.llResumeIndex > 0 && static_cast<uint64_t>(run.llResumeIndex) < n)
            resumeAt = static_cast<size_t>(run.llResumeIndex);
    }

    RowMap pending, processed;
    std::set<std::string> failedIds;
    // Ids whose row is known to be in the catalog under the local id processed holds.
    std::unordered_set<std::string> catalogued;
    // Files saved in this pass, and the empty files they replace (removed once the new row is in).
    std::unordered_set<std::string> saved;
    std::map<std::string, std::string> replaced;
    bool bSaved = false, bWriteFailed = false;
    // Appends the pending rows and moves the resume point to next; false (rows kept) on failure.
    auto appendPending = [&](size_t next) {
        if (pending.empty()) return true;
        if (Gmail_Write_DB_Append(pending, acct, task, nullptr) != 0) {
            bWriteFailed = true;
            return false;
        }
        for (const auto& [id, p] : pending) catalogued.insert(id);
        pending.clear();
        Write_Record(run, user, static_cast<int64_t>(next));
        return true;
    };
    for (size_t i = 0; i < n; ++i) {
        const std::string& d = ids[i];
        // An id listed twice is one message: a second export would orphan the first file.
        if (d.empty() || processed.count(d) != 0 || failedIds.count(d) != 0) continue;
        const auto prev = old.find(d);
        GmailData row;
        if (prev != old.end() && (i < resumeAt || File_Size(store + "/" + prev->second.strLocalID) > 0)) {
            row = prev->second;
            processed[d] = row;
            catalogued.insert(d);
            ++run.G;
            ++run.B;
            continue;
        }
        row.strLocalID = smbbackup::Create_New_ID();
        const std::string eml = store + "/" + row.strLocalID;
        const ExportResult er = Export_Message(run, user, d, eml);
        if (er == ExportResult::Lost) {
            // The rows made so far are complete: keep them, or their files when they cannot be kept.
            if (!appendPending(i))
                for (const auto& [id, p] : pending) unlink((store + "/" + p.strLocalID).c_str());
            return PassResult::Lost;
        }
        if (er == ExportResult::Failed) {
            unlink(eml.c_str());
            failedIds.insert(d);
            continue;
        }
        if (!Analyse_Message(run, eml, row))
            Log_Stored(ctx, "FAIL", "warn",
                       Format("Gmail message %s of user account %s could not be analysed: it is backed up with the "
                              "details that could be read.",
                              d.c_str(), acct));
        if (prev != old.end() && !prev->second.strLocalID.empty() && prev->second.strLocalID != row.strLocalID)
            replaced[d] = prev->second.strLocalID;
        saved.insert(d);
        pending[d] = row;
        processed[d] = row;
        bSaved = true;
        ++run.G;
        ++run.B;
        if (pending.size() >= kBatch && !appendPending(i + 1) && pending.size() > kPendingLimit) break;
        Progress_Tick(run);
    }
    appendPending(n);

    std::vector<std::string> gone;
    if (!cloud.empty())
        for (const auto& [id, p] : old)
            if (cloud.count(id) == 0) gone.push_back(id);
    const RunResult cr = Confirm_Removals(
        ctx, kMessageListing, user, old.size(), [&](const std::string& id) { return cloud.count(id) != 0; }, gone,
        [&](std::set<std::string>& again) {
            std::vector<std::string> listed;
            const ToolRun r = Run_Lettrix(run, user, *listing, nullptr, counted, listed);
            again.insert(listed.begin(), listed.end());
            return r;
        });
    // The pass still ends whole (labels, catalog, files); the attempt is then made again.
    const bool bLostLate = cr == RunResult::Lost;
    for (const std::string& id : gone) {
        const GmailData& p = old.at(id);
        // The file is set aside first and goes once its row is gone: a file that cannot be moved
        // keeps its row (never an orphan), a row that cannot be deleted gets its file back (never
        // a row without its file). A catalog that refuses one deletion refuses the others too.
        const std::string file = store + "/" + p.strLocalID;
        const std::string aside = store + "/." + p.strLocalID + ".deleting";
        bool bAside = false;
        if (!p.strLocalID.empty()) {
            struct stat st {};
            if (lstat(file.c_str(), &st) == 0) {
                if (!S_ISREG(st.st_mode) || rename(file.c_str(), aside.c_str()) != 0) continue;
                bAside = true;
            } else if (errno != ENOENT) {
                continue;
            }
        }
        if (Gmail_Delete_DB(task, acct, id.c_str()) != 0) {
            if (bAside) rename(aside.c_str(), file.c_str());
            break;
        }
        if (bAside) unlink(aside.c_str());
    }
    unlink((qlm::catalog::Catalog_Folder(qlm::catalog::Kind::Gmail, run.strTaskID.c_str()) + "/" + user + ".cache")
               .c_str());

    // A query that fails leaves its flag as the catalog had it; it never sets or clears it.
    for (const auto& label : kLabels) {
        std::vector<std::string> listed;
        const ToolRun r = Run_Lettrix(run, user, *listing, label.pszQuery, -1, listed);
        if (r.result != RunResult::Ok) {
            printf("Fail get gmail list cmd. (%d, %d)\n", r.ret, r.status);
            if (!r.problem.empty())
                Log_Stored(ctx, "FAIL", "warn",
                           qlm::listing::Listing_Problem_Text(std::string("Gmail listing of ") + label.pszQuery, user,
                                                              r.problem) +
                               " Those flags keep the values the catalog had.");
            continue;
        }
        const std::unordered_set<std::string> set(listed.begin(), listed.end());
        for (auto& [id, row] : processed) row.*label.pFlag = set.count(id) != 0 ? 1 : 0;
    }
    // The whole mailbox is written again in Gmail-id order, so the catalog's row order (the mail
    // list's order) is the mailbox's and not that of the batches. A pass that saved nothing and
    // changed no flag leaves the catalog as it is: an unchanged mailbox costs one catalog read.
    bool bRewrite = bSaved || resumeAt > 0;
    for (auto it = processed.begin(); !bRewrite && it != processed.end(); ++it) {
        const auto prev = old.find(it->first);
        bRewrite = prev == old.end();
        for (const auto& label : kLabels)
            bRewrite = bRewrite || prev->second.*label.pFlag != it->second.*label.pFlag;
    }
    if (bRewrite) {
        if (Gmail_Write_DB_Append(processed, acct, task, nullptr) == 0) {
            for (const auto& [id, p] : processed) catalogued.insert(id);
        } else {
            bWriteFailed = true;
        }
    }
    // After a failed write the catalog itself says which rows went in.
    if (bWriteFailed) {
        RowMap now;
        if (Gmail_Read_DB(now, acct, task) == 0) {
            catalogued.clear();
            for (const auto& [id, p] : processed) {
                const auto it = now.find(id);
                if (it != now.end() && it->second.strLocalID == p.strLocalID) catalogued.insert(id);
            }
        }
    }
    // No file without its row: a message saved in this pass but not catalogued loses its file and
    // is saved again by the next run; one the pass never reached is not catalogued either.
    const size_t reached = processed.size() + failedIds.size();
    size_t uncatalogued = cloud.size() > reached ? cloud.size() - reached : 0;
    size_t stored = 0;
    for (const auto& [id, p] : processed) {
        if (catalogued.count(id) != 0) {
            ++stored;
            if (const auto r = replaced.find(id); r != replaced.end()) unlink((store + "/" + r->second).c_str());
            continue;
        }
        ++uncatalogued;
        if (saved.count(id) != 0) unlink((store + "/" + p.strLocalID).c_str());
        // The record's counters count what is in the backup.
        if (run.G > 0) --run.G;
        if (run.B > 0) --run.B;
    }
    if (bFresh) {
        RowMap now;
        if (Gmail_Read_DB(now, acct, task) == 0) Remove_Files_Without_Rows(store, now);
    }

    Write_Record(run, "", 0);
    std::string summary = Format("Gmail backup summary. user=%s total=%zu success=%zu fail=%zu", acct, n, stored,
                                 failedIds.size());
    if (uncatalogued > 0) summary += Format(" uncatalogued=%zu", uncatalogued);
    Log_Stored(ctx, failedIds.empty() && uncatalogued == 0 ? "SUCCESS" : "FAIL", "info", summary);
    return bLostLate ? PassResult::Lost : PassResult::Done;
}

}  // namespace

int Backup_Gmail(GWSTask* pTask, std::string strMissionPath, const char* pszCurrentLoginUser, sqlite3* sqlDatabase) {
    GmailRun run;
    run.ctx = Make_Log_Ctx(pTask, pszCurrentLoginUser, sqlDatabase);
    run.strTaskID = pTask->Get_Task_ID();
    run.strRecordPath = strMissionPath;
    if (!qlm::Is_Single_Path_Component(run.strTaskID)) return -161;
    const std::string gmailDir = qlm::Backup_Service_Dir("gmail");
    smbbackup::Create_Path((gmailDir + "/" + run.strTaskID).c_str(), 0700);
    int fd = -1;
    if (Get_File_Lock((gmailDir + "/" + run.strTaskID + ".gmail_lck").c_str(), 15000, fd) != 0) return -1;
    LockGuard lock(&fd);
    Read_Record(run);

    // Named with the worker's pid, so the next worker removes them when this one is killed.
    run.strOutPath = qlm::Worker_Out_Path();
    run.strErrPath = qlm::Worker_Err_Path();
    UnlinkGuard out = Guard_File(run.strOutPath), err = Guard_File(run.strErrPath);
    UnlinkGuard header = New_Temp_File(), attach = New_Temp_File();
    run.strHeaderPath = *header;
    run.strAttachPath = *attach;

    std::vector<std::string> users;
    if (List_Selected_Users(pTask, run.ctx, run.strErrPath, users) != 0) return -1;
    const std::vector<std::pair<std::string, int64_t>> counts = Gmail_Users_Get_Count_Internal(pTask, users);
    Sort_User_List_By_Gmail_Count_Asc(users, counts);
    const std::map<std::string, int64_t> counted(counts.begin(), counts.end());
    for (const std::string& user : users) {
        const auto c = counted.find(user);
        if (Backup_Gmail_User(run, user, c != counted.end() ? c->second : -1) == PassResult::Lost) return -1;
    }
    return 0;
}

void Write_Start_Record_Keeping_Gmail_Resume(const std::string& strMissionPath, json_object* startRecord) {
    RAIIful_Json left(Json_From_File(strMissionPath.c_str()));
    const char* user = nullptr;
    if (left && Json_Dict_Find_Str(left.get(), qlm::kKeyGmailLastUser, user) == 0 && user != nullptr &&
        user[0] != '\0') {
        Json_Dict_Add_Str(startRecord, qlm::kKeyGmailLastUser, user);
        Json_Dict_Add_Int64(startRecord, qlm::kKeyGmailLastIndex, qlm::Mission_Int(left.get(), qlm::kKeyGmailLastIndex));
    }
    qlm::Json_Write_File(strMissionPath, startRecord);
}

void Drop_Gmail_Resume(json_object* record) {
    Json_Dict_Remove(record, qlm::kKeyGmailLastUser);
    Json_Dict_Remove(record, qlm::kKeyGmailLastIndex);
}

int Count_Gmail(GWSTask* pTask, int64_t* llCount, const char* pszCurrentLoginUser, sqlite3* sqlDatabase) {
    const LogCtx ctx = Make_Log_Ctx(pTask, pszCurrentLoginUser, sqlDatabase);
    Log_Progress(ctx, "Start counting backup Gmail emails.");
    const std::string errPath = qlm::Worker_Err_Path();
    UnlinkGuard err = Guard_File(errPath);
    std::vector<std::string> users;
    if (List_Selected_Users(pTask, ctx, errPath, users) != 0) {
        Log_Stored(ctx, "FAIL", "info", "Failed to retrieve user information while counting backup Gamil emails.");
        return -1;
    }
    const std::string gmailDir = qlm::Backup_Service_Dir("gmail") + "/" + pTask->Get_Task_ID();
    int64_t sum = 0;
    for (const std::string& user : users) {
        if (!qlm::Is_Single_Path_Component(user)) continue;
        Log_Progress(ctx, Format("Start counting Gmail emails for %s.", user.c_str()));
        smbbackup::Create_Path((gmailDir + "/" + user).c_str(), 0700);
        UnlinkGuard result = New_Temp_File();
        const std::string line =
            qlm::gmailbk::Gmail_Count_Line(user) + " >" + qlm::ShellQuote(*result) + " 2>/dev/null";
        int status = 0;
        if (Execute_Command_Line(status, "%s", line.c_str()) < 0) {
            Log_Stored(ctx, "FAIL", "warn", Format("Fail to count Gmail emails for %s.", user.c_str()));
            return -1;
        }
        // An empty mailbox is GAM's exit 60 with a row of 0; a failed count has no row and counts 0.
        std::string who;
        int64_t n = 0;
        if (qlm::gmailbk::Read_Count_Row(*result, who, n)) {
            sum += n;
            Log_Progress(ctx, Format("Finished counting Gmail emails for %s.", user.c_str()));
        } else {
            Log_Stored(ctx, "FAIL", "warn", Format("Fail to count Gmail emails for %s.", user.c_str()));
        }
    }
    if (llCount != nullptr) *llCount = sum;
    Log_Progress(ctx, "Finished counting backup Gmail emails.");
    return 0;
}
