// The Calendar restore: backed-up events imported into the primary calendar of the receiving
// account, with their title, location and start and end as stored.
#include <openssl/evp.h>

#include <memory>
#include <string>

#include "common/paths.h"
#include "common/shellquote.h"
#include "mission/mission_record.h"
#include "restore/account_restore.h"

namespace qlm {

std::string Restore_Event_UID(const std::string& strMissionID, const std::string& account,
                              const std::string& localid) {
    const std::string text = strMissionID + "/" + account + "/" + localid;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), text.data(), text.size()) != 1 || EVP_DigestFinal_ex(ctx.get(), md, &n) != 1 ||
        n < 16)
        return "";
    static const char kHex[] = "0123456789abcdef";
    std::string id;
    for (unsigned int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
        id += kHex[md[i] >> 4];
        id += kHex[md[i] & 0xf];
    }
    return id;
}

std::string Calendar_Event_Options(PT_JSON row) {
    std::string options;
    auto add = [&](const char* name, const std::string& value) { options += name + (" " + ShellQuote(value) + " "); };
    const std::string summary = Row_Text(row, "summary"), location = Row_Text(row, "location");
    const std::string startDate = Row_Text(row, "start.date"), endDate = Row_Text(row, "end.date");
    const std::string start = Row_Text(row, "start.dateTime"), end = Row_Text(row, "end.dateTime");
    if (!summary.empty()) add("summary", summary);
    if (!location.empty()) add("location", location);
    if (!startDate.empty() && !endDate.empty()) {
        add("allday", startDate);
        add("end allday", endDate);
    } else if (!start.empty() && !end.empty()) {
        add("start", start);
        add("end", end);
    } else {
        return "";
    }
    return options;
}

std::string Calendar_Import_Line(const std::string& account, const std::string& uid, const std::string& options) {
    return ShellQuote(Tool_Path("gam")) + " calendar " + ShellQuote(account) + " import event icaluid " +
           ShellQuote(uid) + " " + options + " >/dev/null 2>/dev/null";
}

namespace {

int Import_Event(const AccountRestoreRun& run, PT_JSON row, const std::string& account) {
    const std::string options = Calendar_Event_Options(row);
    if (options.empty()) return 1;
    const std::string uid = Restore_Event_UID(run.strMissionID, account, Row_Text(row, "localid"));
    return Run_Row_Command(run, uid.empty() ? "" : Calendar_Import_Line(account, uid, options), account,
                           "Failed to restore Calendar event.");
}

const AccountRestore kCalendarRestore = {
    &kCalendarCatalog, kKeyCalendarCurrent, false, false,
    "Skipped Calendar events without both start and end during restore.", Import_Event,
};

}  // namespace
}  // namespace qlm

int Restore_Calendar(GWSTask* pTask, const char* pszDomainUserEmail, const char* pszTargetAccount,
                     PT_JSON ptjLocalList, std::string strMissionPath, int nRestoreMode, sqlite3* sqlDatabase) {
    return qlm::Run_Account_Restore(qlm::kCalendarRestore, pTask, pszDomainUserEmail, pszTargetAccount, ptjLocalList,
                                    strMissionPath, nRestoreMode, sqlDatabase);
}
