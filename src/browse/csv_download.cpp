#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/guards.h"
#include "appgenerallib.h"
#include "web/browse_params.h"
#include "browse/download_reply.h"
#include "browse/downloads.h"
#include "common/dlnames.h"
#include "common/jsontext.h"
#include "common/csv_export.h"
#include "common/reqcheck.h"
#include "dbcontrol/calendar_db.h"
#include "dbcontrol/catalog_common.h"
#include "dbcontrol/contact_db.h"
#include "web/action_log.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_json.h"

namespace qlm {

namespace {

constexpr const char* kTaskParam = "task_id";
constexpr const char* kAccountParam = "domain_user_email";
constexpr const char* kLocalIdParam = "localid";
constexpr const char* kBrowserParam = "browser";
constexpr const char* kReadFailedParam = "contact_name";  // both catalogs' read failure names it
constexpr const char* kAll = "ALL";

// What differs between the contacts and the events.
struct Csv_Side {
    catalog::Kind kind;
    const char* nameParam;  // required, its value unused
    const char* logWord;
    const char* header;
    std::string (*row)(PT_JSON);
};

const Csv_Side kContacts{catalog::Kind::Contact, "contact_name", "Contact", kContactCsvHeader, Build_Contact_Csv_Row};
const Csv_Side kEvents{catalog::Kind::Calendar, "calendar_name", "Calendar", kCalendarCsvHeader, Build_Calendar_Csv_Row};

bool Write_All(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

int Export_Csv(O_APP_CGI_AGENT* agent, const Csv_Side& side) {
    Log_Db log;
    if (Open_Action_Log(log) != 0) return 0;
    const std::string name = GetCurrentDateTimeString() + kCsvFileSuffix;
    int search = 0;
    if (side.kind == catalog::Kind::Calendar) agent->Get_Boolean_Param("search_condition_enable", search);
    const char* localids = nullptr;
    if (!search && (localids = Required_Param(agent, kLocalIdParam)) == nullptr) return 0;

    // The file lives in a folder of this request alone: two downloads in the same second each
    // get their own file under the same name.
    Download_Folder dl;
    if (dl.Make() != 0) {
        Reply_Error_No_Msg(kReplyFailed);
        return 0;
    }
    FdGuard out{open((dl.Path() + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (out.fd < 0 || !Write_All(out.fd, kCsvByteOrderMark)) {
        Reply_Error_No_Msg(kReplyFailed);
        return 0;
    }
    GWSTask task;
    if (Load_Request_Task(agent, task) != 0) return 0;
    const char* account = Required_Param(agent, kAccountParam);
    if (account == nullptr) return 0;
    if (task.Validate_Task_Data() != 0) {
        Reply_Error(kReplyFailed, kTaskParam);
        return 0;
    }
    const char* taskId = task.Get_Task_ID();
    if (!Is_Single_Path_Component(account) || !Is_Regular_File(catalog::Catalog_File(side.kind, account, taskId))) {
        Reply_Error(kReplyBadParam, kAccountParam);
        return 0;
    }
    if (Required_Param(agent, side.nameParam) == nullptr) return 0;

    RAIIful_Json rows(Json_List_Init());
    if (side.kind == catalog::Kind::Contact) {
        if (Contact_Get_DB_Data(rows.get(), account, taskId) != 0) {
            Reply_Error(kReplyBadParam, kReadFailedParam);
            return 0;
        }
    } else if (search) {
        int early = -1, late = -1;
        agent->Get_Integer_Param("date_early", early);
        agent->Get_Integer_Param("date_late", late);
        Calendar_Get_DB_Data_For_Advance_Search(rows.get(), account, taskId, agent->Get_Param("key_word"),
                                                agent->Get_Param("location_key_word"), early, late);
    } else if (Calendar_Get_DB_Data(rows.get(), account, taskId) != 0) {
        Reply_Error(kReplyBadParam, kReadFailedParam);
        return 0;
    }

    const bool all = localids == nullptr || strcmp(localids, kAll) == 0;
    const std::vector<std::string> picked = all ? std::vector<std::string>() : parseCommaSeparatedStrings(localids);
    const std::unordered_set<std::string> wanted(picked.begin(), picked.end());
    std::vector<std::string> lines;
    bool written = Write_All(out.fd, side.header);
    for (int i = 0; written && i < Json_List_Size(rows.get()); ++i) {
        PT_JSON row = Json_List_Child(rows.get(), i);
        const char* localid = nullptr;
        if (!all && (Json_Dict_Find_Str(row, "localid", localid) != 0 || !localid || !wanted.count(localid))) continue;
        lines.push_back(side.row(row));
        written = Write_All(out.fd, lines.back());
    }
    const int fd = out.fd;
    out.fd = -1;
    // A file cut short must not reach the browser as the whole export.
    if (close(fd) != 0 || !written) {
        Reply_Error_No_Msg(kReplyFailed);
        return 0;
    }
    const char* browser = Required_Param(agent, kBrowserParam);
    if (browser == nullptr) return 0;
    // The log says what was exported once the file has been sent whole.
    Download_Log sent;
    sent.db = log.get();
    sent.task = taskId;
    sent.domain = task.Get_Admin_Email();
    sent.user = agent->m_szUser;
    sent.what = std::string(side.logWord) + " files of account " + task.Get_Admin_Email();
    Expect_Download_File(sent, name);
    for (const std::string& line : lines)
        Expect_Download_Row(sent, name, Exported_To_Pc_Message(side.logWord, line, task.Get_Admin_Email()));
    Send_Entries(agent, dl.Path(), {name}, browser, 0, &sent);
    return 0;
}

}  // namespace

int Export_Contact(O_APP_CGI_AGENT* agent) { return Export_Csv(agent, kContacts); }
int Export_Calendar(O_APP_CGI_AGENT* agent) { return Export_Csv(agent, kEvents); }

}  // namespace qlm
