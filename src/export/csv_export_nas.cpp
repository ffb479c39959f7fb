#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/csv_export.h"
#include "common/dlnames.h"
#include "common/timeconv.h"
#include "dbcontrol/calendar_db.h"
#include "dbcontrol/catalog_common.h"
#include "dbcontrol/contact_db.h"
#include "export/export_frame.h"
#include "export/exports.h"
#include "web/browse_params.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_json.h"

namespace qlm {

namespace {

constexpr const char* kLocalIdParam = "localid";
constexpr const char* kCsvExt = ".csv";

// What differs between the contacts and the events.
struct Csv_Side {
    catalog::Kind kind;
    const char* service;
    const char* logWord;
    const char* header;
    std::string (*row)(PT_JSON);
};

const Csv_Side kContacts{catalog::Kind::Contact, "contact", "Contact", kContactCsvHeader, Build_Contact_Csv_Row};
const Csv_Side kEvents{catalog::Kind::Calendar, "calendar", "Calendar", kCalendarCsvHeader, Build_Calendar_Csv_Row};

struct Csv_Export {
    const Csv_Side* side = nullptr;
    O_APP_CGI_AGENT* agent = nullptr;
    bool bSearch = false;
    bool bAll = true;
    std::unordered_set<std::string> wanted;  // the comma list, when not "ALL"
    std::string strAccount;
    std::string strStem;  // the CSV file's name without ".csv", fixed by the parent (the reply names it)
    Export_Part csv;      // the worker's CSV file until it is whole
    // The written rows' log messages: logged once the file stands whole under its name, since a
    // file that cannot be finished is removed with every row in it.
    std::vector<std::string> written;
    RAIIful_Json rows;
};

// 0, or -errno of the failed write.
int Write_All(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? -errno : -EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// The CSV file could not be written whole: it goes, and its failed row says so.
int Csv_Failed(Csv_Export& x, Export_Ctx& ctx) {
    Export_Part_Drop(x.csv);
    Export_Log_Failed(ctx, x.strAccount,
                      Failed_To_Nas_Message(x.side->logWord, x.strStem + kCsvExt, x.strAccount,
                                            ctx.pRun->strSharePath));
    return -1;
}

int List_Rows(Csv_Export& x, Export_Ctx& ctx, size_t& total) {
    const Export_Run& run = *ctx.pRun;
    x.rows.reset(Json_List_Init());
    const char* account = x.strAccount.c_str();
    const char* task = run.strTaskId.c_str();
    int rc;
    if (x.side->kind == catalog::Kind::Contact) {
        rc = Contact_Get_DB_Data(x.rows.get(), account, task);
    } else if (x.bSearch) {
        int early = -1, late = -1;
        x.agent->Get_Integer_Param("date_early", early);
        x.agent->Get_Integer_Param("date_late", late);
        rc = Calendar_Get_DB_Data_For_Advance_Search(x.rows.get(), account, task, x.agent->Get_Param("key_word"),
                                                     x.agent->Get_Param("location_key_word"), early, late);
    } else {
        rc = Calendar_Get_DB_Data(x.rows.get(), account, task);
    }
    if (rc != 0) return -1;
    if (Export_Part_Open(run.dirFd.fd, 0644, x.csv) != 0 ||
        Write_All(x.csv.fd.fd, std::string(kCsvByteOrderMark) + x.side->header) != 0)
        return Csv_Failed(x, ctx);
    total = static_cast<size_t>(Json_List_Size(x.rows.get()));
    return 0;
}

int Write_Row(Csv_Export& x, Export_Ctx& ctx, size_t i) {
    PT_JSON row = Json_List_Child(x.rows.get(), static_cast<int>(i));
    const char* localid = nullptr;
    if (!x.bAll && (Json_Dict_Find_Str(row, "localid", localid) != 0 || !localid || !x.wanted.count(localid)))
        return 0;
    const std::string line = x.side->row(row);
    // A row that cannot be written leaves the file cut short: it goes, and the export stops failed.
    if (Write_All(x.csv.fd.fd, line) != 0) return Csv_Failed(x, ctx);
    x.written.push_back(Exported_To_Nas_Message(x.side->logWord, line, x.strAccount, ctx.pRun->strSharePath));
    return 0;
}

int Finish_Csv(Csv_Export& x, Export_Ctx& ctx) {
    std::string made;
    if (Export_Part_Place(x.csv, x.strStem, kCsvExt, false, made) != 0) return Csv_Failed(x, ctx);
    for (const std::string& message : x.written) Export_Log(ctx, x.strAccount, message);
    return 0;
}

int Export_Csv_To_Nas(O_APP_CGI_AGENT* agent, const Csv_Side& side) {
    Export_Run run;
    if (Export_Begin(agent, run) != 0) return 0;
    Csv_Export x;
    x.side = &side;
    x.agent = agent;
    x.bSearch = side.kind == catalog::Kind::Calendar && Export_Search_Param(agent) != 0;
    if (!x.bSearch) {
        const char* selection = Required_Param(agent, kLocalIdParam);
        if (selection == nullptr) return 0;
        x.bAll = strcmp(selection, kExportAll) == 0;
        if (!x.bAll)
            for (std::string& id : parseCommaSeparatedStrings(selection)) x.wanted.insert(std::move(id));
    }
    const char* account = Account_Param(agent, kExportAccountParam);
    if (account == nullptr) return 0;
    x.strAccount = account;
    if (x.bSearch) {
        GWSTask task;
        if (Load_Valid_Request_Task(agent, task) != 0) return 0;
    }
    // The catalog is only read: a user without one has nothing to export.
    if (!Is_Regular_File(catalog::Catalog_File(side.kind, account, run.strTaskId.c_str()))) {
        Reply_Error(kReplyBadParam, kExportAccountParam);
        return 0;
    }
    if (Export_Make_Folder(run) != 0) return 0;
    // The folder is this export's own, so the name is free; the worker gives it to the file once
    // the file is whole.
    x.strStem = GetCurrentDateTimeString();
    run.strReplyPath = run.strExportDir + "/" + x.strStem + kCsvExt;
    run.pszService = side.service;
    run.strDomain = account;
    Export_Member member;
    member.bLogs = true;
    member.list = [&x](Export_Ctx& ctx, size_t& total) { return List_Rows(x, ctx, total); };
    member.item = [&x](Export_Ctx& ctx, size_t i) { return Write_Row(x, ctx, i); };
    member.finish = [&x](Export_Ctx& ctx) { return Finish_Csv(x, ctx); };
    Export_Fork(run, member);
    return 0;
}

}  // namespace

int Export_Contact_To_Nas(O_APP_CGI_AGENT* agent) { return Export_Csv_To_Nas(agent, kContacts); }
int Export_Calendar_To_Nas(O_APP_CGI_AGENT* agent) { return Export_Csv_To_Nas(agent, kEvents); }

}  // namespace qlm
