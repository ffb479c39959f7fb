#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "appgenerallib.h"
#include "web/browse_params.h"
#include "browse/download_reply.h"
#include "browse/downloads.h"
#include "browse/mail_files.h"
#include "common/dlnames.h"
#include "common/filehelpers.h"
#include "common/guards.h"
#include "common/jsontext.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "common/shellquote.h"
#include "common/toolcmd.h"
#include "dbcontrol/gmail_db.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_proc.h"
#include "plat_string.h"

namespace qlm {

namespace {

constexpr const char* kTaskParam = "task_id";
constexpr const char* kAccountParam = "domain_user_email";
constexpr const char* kLocalIdParam = "gmail_localid";
constexpr const char* kIndexParam = "index";
constexpr const char* kBrowserParam = "browser";
constexpr const char* kAll = "ALL";
constexpr const char* kNoSubject = "no_subject";
constexpr const char* kEmlSuffix = ".eml";

// The name the tool printed for the file it wrote: the first quoted text of its output.
std::string Extracted_Name(const std::string& output) {
    std::ifstream in(output);
    for (std::string line; std::getline(in, line);) {
        std::string name = extract_filename_from_line(line);
        if (!name.empty()) return name;
    }
    return "";
}

// The extracted file under a name safe to send: the tool's name when it is one, else the file
// renamed to the clean form of it. Empty when the tool's name is not a regular file of dir.
std::string Sendable_Name(const std::string& dir, const std::string& name) {
    if (!Is_Single_Path_Component(name) || !Is_Regular_File(dir + "/" + name)) return "";
    const std::string clean = CleanDownloadFileName(name);
    if (clean == name) return name;
    struct stat st;
    if (lstat((dir + "/" + clean).c_str(), &st) == 0 || rename((dir + "/" + name).c_str(), (dir + "/" + clean).c_str()) != 0)
        return "";
    return clean;
}

// The subject of the mail made safe as a file name; empty when the tool gives none.
std::string Safe_Subject(const std::string& eml) {
    RAIIful_Json dump;
    if (Run_Emlsift(eml, "--header", dump) != 0) return "";
    PT_JSON headers = nullptr, subjects = nullptr;
    if (Json_Dict_Find_Dict(dump.get(), "headers", headers) != 0 ||
        Json_Dict_Find_List(headers, "Subject", subjects) != 0 || Json_List_Size(subjects) == 0)
        return "";
    const char* text = Json_Get_String(Json_List_Child(subjects, 0));
    return CleanDownloadFileName(text ? text : "");
}

// The local ids an export selects; false after the reply when a search cannot run.
bool Selected_Mails(const O_APP_CGI_AGENT* agent, bool search, const char* localids, const char* task,
                    const char* account, std::vector<std::string>& ids) {
    if (search) {
        GWSTask loaded;
        if (Load_Valid_Request_Task(agent, loaded) != 0) return false;
        if (!Is_Dir(Mail_Store_Dir(loaded.Get_Task_ID(), account))) {
            Reply_Error(kReplyBadParam, kAccountParam);
            return false;
        }
        int early = -1, late = -1, hasAttachment = -1;
        agent->Get_Integer_Param("date_range_early", early);
        agent->Get_Integer_Param("date_range_late", late);
        agent->Get_Boolean_Param("has_attachment", hasAttachment);
        RAIIful_Json rows(Json_List_Init());
        Gmail_Get_DB_Data_For_Advance_Search(rows.get(), account, loaded.Get_Task_ID(), agent->Get_Param("sender_key_word"),
                                             agent->Get_Param("recipient_key_word"),
                                             agent->Get_Param("subject_key_word"), early, late, hasAttachment);
        for (int i = 0; i < Json_List_Size(rows.get()); ++i) {
            const char* id = Json_Text_Of(Json_List_Child(rows.get(), i), "localid");
            if (*id) ids.emplace_back(id);
        }
    } else if (strcmp(localids, kAll) == 0) {
        GetFolderList(ids, Mail_Store_Dir(task, account).c_str());
    } else {
        ids = Distinct_Items(parseCommaSeparatedStrings(localids));
    }
    return true;
}

// "<base>.eml", or "<base>(n).eml" for the first n from 1 that no entry of dir has.
std::string Free_Eml_Name(const std::string& dir, const std::string& base) {
    std::string name = base + kEmlSuffix;
    struct stat st;
    for (int n = 1; lstat((dir + "/" + name).c_str(), &st) == 0; ++n) name = base + "(" + std::to_string(n) + ")" + kEmlSuffix;
    return name;
}

}  // namespace

int Dowload_Gmail_Attachment(O_APP_CGI_AGENT* agent) {
    Download_Folder dl;
    if (dl.Make() != 0) {
        Reply_Error_No_Msg(kReplyFailed);
        return 0;
    }
    int index = 0, mode = 0;
    if (agent->Get_Integer_Param(kIndexParam, index) != 0) {
        Reply_Error(kReplyMissingParam, kIndexParam);
        return 0;
    }
    if (agent->Get_Integer_Param("mod_cntype", mode) != 0) mode = 0;
    const char* browser = agent->Get_Param(kBrowserParam);
    const char* task = Required_Param(agent, kTaskParam);
    const char* localid = task ? Required_Param(agent, kLocalIdParam) : nullptr;
    const char* account = localid ? Required_Param(agent, kAccountParam) : nullptr;
    if (account == nullptr || !Checked_Task_Id(task) || !Checked_Component(account, kAccountParam)) return 0;
    const std::string eml = Eml_Path(task, account, localid);
    if (eml.empty() || !Is_Regular_File(eml)) {
        Reply_Error(kReplyBadParam, kLocalIdParam);
        return 0;
    }
    const std::string output = Worker_Listing_Path();  // a killed request's is swept
    if (Prepare_Tool_Output(output) != 0) {
        Reply_Error_No_Msg(kReplyFailed);
        return 0;
    }
    UnlinkGuard outputGuard = Guard_File(output);
    const std::string line = ShellQuote(Tool_Path("emlsift")) + " -i " + ShellQuote(eml) + " -ea " +
                             std::to_string(index) + " -o " + ShellQuote(dl.Path()) + "  >" + ShellQuote(output) +
                             " 2>" + ShellQuote("/dev/null");
    int status = -1;
    std::string name;
    if (Execute_Command_Line(status, "%s", line.c_str()) == 0 && status == 0)
        name = Sendable_Name(dl.Path(), Extracted_Name(output));
    if (name.empty()) {
        Reply_Error(kReplyFailed, kIndexParam);
        return 0;
    }
    Send_Entries(agent, dl.Path(), {name}, browser, mode);
    return 0;
}

int Export_Eml_File(O_APP_CGI_AGENT* agent) {
    const char* browser = Required_Param(agent, kBrowserParam);
    const char* task = browser ? Required_Param(agent, kTaskParam) : nullptr;
    if (task == nullptr) return 0;
    int search = 0;
    agent->Get_Boolean_Param("search_condition_enable", search);
    const char* localids = nullptr;
    if (!search && (localids = Required_Param(agent, kLocalIdParam)) == nullptr) return 0;
    const char* account = Required_Param(agent, kAccountParam);
    if (account == nullptr || !Checked_Task_Id(task) || !Checked_Component(account, kAccountParam)) return 0;
    std::vector<std::string> ids;
    if (!Selected_Mails(agent, search != 0, localids, task, account, ids)) return 0;
    // A local id that can name no stored mail is a bad value, never a mail left out unsaid.
    if (!search)
        for (const std::string& id : ids)
            if (!Checked_Component(id.c_str(), kLocalIdParam)) return 0;

    Download_Folder dl;
    if (dl.Make() != 0) {
        Reply_Error_No_Msg(kReplyFailed);
        return 0;
    }
    // The mails go into a folder of their own inside the request's, so that several are sent as
    // one folder named as the request's own.
    const std::string bare = dl.Path().substr(dl.Path().rfind('/') + 1);
    const std::string dir = dl.Path() + "/" + bare;
    if (mkdir(dir.c_str(), 0700) != 0) {
        Reply_Error_No_Msg(kReplyFailed);
        return 0;
    }
    std::vector<std::string> written;
    for (const std::string& id : ids) {
        const std::string eml = Eml_Path(task, account, id.c_str());
        if (eml.empty() || !Is_Regular_File(eml)) continue;
        std::string base = Safe_Subject(eml);
        if (base.empty()) base = id.empty() ? kNoSubject : id;
        const std::string name = Free_Eml_Name(dir, base);
        Link_Or_Copy_Free(eml, dir + "/" + name);
        written.push_back(name);
    }
    if (written.empty()) {
        Reply_Error(kReplyFailed, kLocalIdParam);
        return 0;
    }
    if (written.size() == 1)
        Send_Entries(agent, dir, written, browser);
    else
        Send_Entries(agent, dl.Path(), {bare}, browser);
    return 0;
}

}  // namespace qlm
