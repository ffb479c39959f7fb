#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "common/dlnames.h"
#include "common/filehelpers.h"
#include "common/jsontext.h"
#include "common/mailheader.h"
#include "common/paths.h"
#include "common/toolcmd.h"
#include "dbcontrol/gmail_db.h"
#include "export/export_frame.h"
#include "export/exports.h"
#include "web/browse_params.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_file.h"
#include "plat_string.h"

namespace qlm {

namespace {

constexpr const char* kLocalIdParam = "gmail_localid";
constexpr const char* kNoSubject = "no_subject";
constexpr const char* kEmlSuffix = ".eml";
// The header tool of one mail: ample for any mail, short enough that a hung tool does not hold
// the export for ever.
constexpr int kHeaderTimeoutSec = 600;

struct Gmail_Export {
    O_APP_CGI_AGENT* agent = nullptr;
    bool bSearch = false;
    std::string strSelection;  // "gmail_localid" with search off
    std::string strAccount;
    std::vector<std::string> vIds;
    std::string strScratch;  // the header tool's result file, one for the whole run
    // The subjects the backup read from the stored mails (by local id): a mail found here needs
    // no header run of its own.
    std::unordered_map<std::string, std::string> subjects;
};

int List_Mails(Gmail_Export& g, Export_Ctx& ctx, size_t& total) {
    const Export_Run& run = *ctx.pRun;
    const std::string store = Mail_Store_Dir(run.strTaskId.c_str(), g.strAccount.c_str());
    if (g.bSearch) {
        O_APP_CGI_AGENT* agent = g.agent;
        int early = -1, late = -1, hasAttachment = -1;
        agent->Get_Integer_Param("date_range_early", early);
        agent->Get_Integer_Param("date_range_late", late);
        agent->Get_Boolean_Param("has_attachment", hasAttachment);
        RAIIful_Json rows(Json_List_Init());
        if (Gmail_Get_DB_Data_For_Advance_Search(rows.get(), g.strAccount.c_str(), run.strTaskId.c_str(),
                                                 agent->Get_Param("sender_key_word"),
                                                 agent->Get_Param("recipient_key_word"),
                                                 agent->Get_Param("subject_key_word"), early, late, hasAttachment) != 0)
            return -1;
        for (int i = 0; i < Json_List_Size(rows.get()); ++i) {
            const char* id = Json_Text_Of(Json_List_Child(rows.get(), i), "localid");
            if (*id) g.vIds.emplace_back(id);
        }
    } else if (g.strSelection == kExportAll) {
        GetFolderList(g.vIds, store.c_str());
    } else {
        g.vIds = Distinct_Items(parseCommaSeparatedStrings(g.strSelection));
    }
    std::vector<std::pair<std::string, std::string>> catalogued;
    if (Gmail_Read_Subjects(catalogued, g.strAccount.c_str(), run.strTaskId.c_str()) == 0)
        for (auto& [id, subject] : catalogued)
            if (!subject.empty()) g.subjects.emplace(std::move(id), std::move(subject));
    smbbackup::Create_Path(Tmp_Dir().c_str(), 0700);
    // Named with this worker's pid: a killed worker's file goes when the next worker starts.
    g.strScratch = Worker_Listing_Path();
    Export_Scratch_File(g.strScratch);
    total = g.vIds.size();
    return 0;
}

// The mail's subject made safe as a file name; empty when the tool gives none.
std::string Safe_Subject(const Gmail_Export& g, const std::string& id, const std::string& eml) {
    if (auto it = g.subjects.find(id); it != g.subjects.end()) return CleanDownloadFileName(it->second);
    RAIIful_Json dump;
    if (Run_Emlsift_Into(eml, "--header", g.strScratch, Tool_Timeout_Sec(kHeaderTimeoutSec), dump) != 0) return "";
    PT_JSON headers = nullptr;
    if (Json_Dict_Find_Dict(dump.get(), "headers", headers) != 0) return "";
    const std::string subject = Get_First_Header_Value(headers, "Subject");
    return subject.empty() ? "" : CleanDownloadFileName(subject);
}

int Export_Mail(Gmail_Export& g, Export_Ctx& ctx, size_t i) {
    const Export_Run& run = *ctx.pRun;
    const std::string& id = g.vIds[i];
    const std::string eml = Eml_Path(run.strTaskId.c_str(), g.strAccount.c_str(), id.c_str());
    struct stat st {};
    // Not stored: only the progress moves. One that is there but cannot be read fails below.
    if (eml.empty() || (lstat(eml.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR))) return 0;
    std::string base = Safe_Subject(g, id, eml);
    if (base.empty()) base = id.empty() ? kNoSubject : id;
    std::string made;
    const int rc = Export_Copy_File(eml, run.dirFd.fd, base, kEmlSuffix, made);
    if (rc == -1) return 0;  // no regular file (a link planted in the store)
    // Anything else (a full share included) fails this mail alone: the next one may still fit.
    if (rc != 0) {
        Export_Log_Failed(ctx, g.strAccount, Failed_To_Nas_Message("Gmail", base + kEmlSuffix, g.strAccount, run.strNasPath));
        return 1;
    }
    return 0;
}

}  // namespace

int Export_Gmail_To_Nas(O_APP_CGI_AGENT* agent) {
    Export_Run run;
    if (Export_Begin(agent, run) != 0) return 0;
    Gmail_Export g;
    g.agent = agent;
    g.bSearch = Export_Search_Param(agent) != 0;
    if (!g.bSearch) {
        const char* selection = Required_Param(agent, kLocalIdParam);
        if (selection == nullptr) return 0;
        g.strSelection = selection;
    }
    const char* account = Account_Param(agent, kExportAccountParam);
    if (account == nullptr) return 0;
    g.strAccount = account;
    // An unknown task, or an account without a backup, is refused here as the other exports
    // refuse it, never a worker that exports nothing and says "finish".
    GWSTask task;
    if ((g.bSearch ? Load_Valid_Request_Task(agent, task) : Load_Request_Task(agent, task)) != 0) return 0;
    if (!Is_Dir(Mail_Store_Dir(task.Get_Task_ID(), account))) {
        Reply_Error(kReplyBadParam, kExportAccountParam);
        return 0;
    }
    if (Export_Make_Folder(run) != 0) return 0;
    run.pszService = "gmail";
    run.strDomain = account;
    Export_Member member;
    member.bLogs = true;  // for the mails that cannot be copied
    member.list = [&g](Export_Ctx& ctx, size_t& total) { return List_Mails(g, ctx, total); };
    member.item = [&g](Export_Ctx& ctx, size_t i) { return Export_Mail(g, ctx, i); };
    Export_Fork(run, member);
    return 0;
}

}  // namespace qlm
