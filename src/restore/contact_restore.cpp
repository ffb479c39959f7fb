// The Contacts restore: backed-up contacts created anew in the receiving account, from their
// given and family name, first phone number, first e-mail address and first organization.
#include <string>

#include "common/paths.h"
#include "common/shellquote.h"
#include "mission/mission_record.h"
#include "restore/account_restore.h"

namespace qlm {

std::string Contact_Create_Line(const std::string& account, PT_JSON row) {
    std::string options;
    // Each item is followed by one blank; the value is one shell word, never split.
    auto add = [&](const char* before, const char* key, const char* after = "") {
        const std::string value = Row_Text(row, key);
        if (!value.empty()) options += before + (" " + ShellQuote(value)) + after + " ";
        return !value.empty();
    };
    add("firstname", "names.0.givenName");
    add("familyname", "names.0.familyName");
    add("phone work", "phoneNumbers.0.value", " primary");
    add("email work", "emailAddresses.0.value", " primary");
    // A title or department belongs to an organization: without its name they are not restored.
    if (add("organization work", "organizations.0.name")) {
        add("title", "organizations.0.title");
        add("department", "organizations.0.department");
    }
    return ShellQuote(Tool_Path("gam")) + " user " + ShellQuote(account) + " create contacts " + options +
           " >/dev/null 2>/dev/null";
}

namespace {

int Create_Contact(const AccountRestoreRun& run, PT_JSON row, const std::string& account) {
    return Run_Row_Command(run, Contact_Create_Line(account, row), account, "Failed to restore Contact data.");
}

const AccountRestore kContactRestore = {
    &kContactCatalog, kKeyContactCurrent, true, true, "", Create_Contact,
};

}  // namespace
}  // namespace qlm

int Restore_Contact(GWSTask* pTask, const char* pszDomainUserEmail, const char* pszTargetAccount,
                    PT_JSON ptjLocalList, std::string strMissionPath, int nRestoreMode, sqlite3* sqlDatabase) {
    return qlm::Run_Account_Restore(qlm::kContactRestore, pTask, pszDomainUserEmail, pszTargetAccount, ptjLocalList,
                                    strMissionPath, nRestoreMode, sqlDatabase);
}
