#include "backup/contact_backup.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>

#include "backup/snapshot_service.h"
#include "common/paths.h"
#include "common/shellquote.h"
#include "dbcontrol/contact_db.h"
#include "plat_json.h"
#include "plat_string.h"

using namespace qlm::drivebk;
using namespace qlm::snapshot;

namespace {

template <typename Record>
struct Contact_Column {
    const char* column;
    std::string Record::*field;
};

constexpr Contact_Column<ContactGroupData> kGroupColumns[] = {
    {"User", &ContactGroupData::strUser},
    {"resourceName", &ContactGroupData::strResourceName},
    {"formattedName", &ContactGroupData::strFormattedName},
    {"groupType", &ContactGroupData::strGroupType},
    {"name", &ContactGroupData::strName},
    {"memberCount", &ContactGroupData::strMemberCount},
};

constexpr Contact_Column<ContactData> kContactColumns[] = {
    {"User", &ContactData::strUser},
    {"resourceName", &ContactData::strResourceName},
    {"emailAddresses", &ContactData::strEmailAddresses},
    {"emailAddresses.0.formattedType", &ContactData::strEmailAddresses_0_FormattedType},
    {"emailAddresses.0.type", &ContactData::strEmailAddresses_0_Type},
    {"emailAddresses.0.value", &ContactData::strEmailAddresses_0_Value},
    {"names", &ContactData::strNames},
    {"names.0.displayName", &ContactData::strNames_0_DisplayName},
    {"names.0.displayNameLastFirst", &ContactData::strNames_0_DisplayNameLastFirst},
    {"names.0.familyName", &ContactData::strNames_0_FamilyName},
    {"names.0.givenName", &ContactData::strNames_0_GivenName},
    {"names.0.unstructuredName", &ContactData::strNames_0_UnstructuredName},
    {"phoneNumbers", &ContactData::strPhoneNumbers},
    {"phoneNumbers.0.formattedType", &ContactData::strPhoneNumbers_0_FormattedType},
    {"phoneNumbers.0.type", &ContactData::strPhoneNumbers_0_Type},
    {"phoneNumbers.0.value", &ContactData::strPhoneNumbers_0_Value},
    {"organizations.0.department", &ContactData::strOrganizations_0_Department},
    {"organizations.0.name", &ContactData::strOrganizations_0_Name},
    {"organizations.0.title", &ContactData::strOrganizations_0_Title},
};

// The columns without which a listing is not a group or contact listing.
constexpr std::initializer_list<const char*> kListingHeader = {"User"};

const Service kContact = {"contact",
                          "Contact",
                          "contact_current",
                          "Contact entries",
                          "Failed to count Contact entries for %s.",
                          {qlm::catalog::Kind::Contact, qlm::catalog::Kind::GroupContact},
                          2};

constexpr const char* kContactListing = "Contact listing";

constexpr const char kOtherContactsPrefix[] = "otherContacts/";
constexpr const char kMembershipPrefix[] = "memberships.";
constexpr const char kMembershipId[] = ".contactGroupMembership.contactGroupId";
constexpr const char kMembershipName[] = ".contactGroupMembership.contactGroupResourceName";

// Column indexes of a record's fields in a listing (-1: missing).
template <typename Record, size_t N>
std::vector<int> Column_Indexes(const csvx::Document& doc, const Contact_Column<Record> (&cols)[N]) {
    std::vector<int> idx;
    for (const auto& c : cols) idx.push_back(doc.ColumnIndex(c.column));
    return idx;
}

template <typename Record, size_t N>
void Fill(Record& r, const csvx::Document& doc, const Contact_Column<Record> (&cols)[N], const std::vector<int>& idx,
          size_t row) {
    for (size_t c = 0; c < N; ++c) r.*(cols[c].field) = Cell(doc, idx[c], row);
}

// Every membership column pair of the header, by membership number: (contactGroupId, resource name).
std::vector<std::pair<int, int>> Membership_Columns(const csvx::Document& doc) {
    std::vector<std::pair<long, std::pair<int, int>>> found;
    const std::string prefix = kMembershipPrefix, suffix = kMembershipId;
    for (const std::string& name : doc.ColumnNames()) {
        if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string d = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        int64_t n = 0;
        if (!csvx::ToInt64(d, n) || n < 0) continue;
        const int nameColumn = doc.ColumnIndex(prefix + d + kMembershipName);
        if (nameColumn < 0) continue;
        found.push_back({static_cast<long>(n), {doc.ColumnIndex(name), nameColumn}});
    }
    std::sort(found.begin(), found.end());
    std::vector<std::pair<int, int>> out;
    for (const auto& f : found) out.push_back(f.second);
    return out;
}

void Add_Membership(PT_JSON list, const char* id, const char* name) {
    PT_JSON o = Json_Dict_Init();
    Json_Dict_Add_Str(o, "id", id);
    Json_Dict_Add_Str(o, "name", name);
    Json_List_Add_Dict(list, o);
}

std::string Membership_List(const csvx::Document& doc, const std::vector<std::pair<int, int>>& pairs, size_t row) {
    RAIIful_Json list(Json_List_Init());
    for (const auto& [idColumn, nameColumn] : pairs) {
        const std::string id = Cell(doc, idColumn, row), name = Cell(doc, nameColumn, row);
        if (!id.empty() && !name.empty()) Add_Membership(list.get(), id.c_str(), name.c_str());
    }
    Add_Membership(list.get(), "contactGroups/all", "all");
    const char* text = Json_To_Plain_String(list.get());
    return text ? std::string(text) : std::string("[]");
}

std::string Group_Listing_Line(const std::string& account) {
    return qlm::ShellQuote(qlm::Tool_Path("gam")) + " user " + qlm::ShellQuote(account) + " print contactgroup";
}

std::string Contact_Listing_Line(const std::string& account) {
    return qlm::ShellQuote(qlm::Tool_Path("gam")) + " user " + qlm::ShellQuote(account) + " print contacts allfields";
}

// A contact keeps its local id from run to run (by its resource name; identical rows take the
// previous ids in turn), so a selection made by local id (a restore) still names it after the
// next backup. Without a readable previous catalog every contact has its fresh id.
void Keep_Local_Ids(std::vector<ContactData>& contacts, const char* acct, const char* task) {
    std::vector<std::pair<std::string, std::string>> ids;
    if (Contact_Read_Local_Ids(ids, acct, task) != 0) return;
    std::map<std::string, std::vector<std::string>> previous;
    for (auto& [name, local] : ids)
        if (!name.empty() && !local.empty()) previous[name].push_back(std::move(local));
    std::map<std::string, size_t> taken;
    std::set<std::string> used;
    for (ContactData& c : contacts) {
        auto p = previous.find(c.strResourceName);
        if (p == previous.end()) continue;
        size_t& n = taken[c.strResourceName];
        // A local id is the catalog's key: never two contacts under one.
        while (n < p->second.size() && !used.insert(p->second[n]).second) ++n;
        if (n < p->second.size()) c.strLocalID = p->second[n++];
    }
}

Turn Backup_Contact_Account(Run& run, const std::string& account) {
    const LogCtx& ctx = run.ctx;
    const char* acct = account.c_str();
    const char* task = run.strTaskID.c_str();

    Listing groups = Run_Listing(Group_Listing_Line(account), run.strErrPath, kListingHeader, csvx::Backslash::Plain);
    if (groups.result != ListingResult::Ok) {
        // One account's failing group listing is that account's failure: neither catalog changes, so
        // the previous snapshot stays, and the other accounts go on.
        if (groups.result != ListingResult::Lost)
            printf("Fail get contact group list cmd. (%d, %d)\n", groups.ret, groups.status);
        const Turn t = Failed_Listing(run, groups, "Contact group listing", account,
                                      Format("Failed to retrieve Contact list for user account %s.", acct));
        return groups.result == ListingResult::Unreadable ? Turn::FileFailure : t;
    }

    Log_Progress(ctx, Format("Start retrieving Contact list for user account %s.", acct));
    Listing contacts = Run_Listing(Contact_Listing_Line(account), run.strErrPath, kListingHeader);
    if (contacts.result == ListingResult::Unreadable) {
        Log_Stored(ctx, "FAIL", "info", Format("Failed to open Contact list result file for user account %s.", acct));
        printf("Failed to open files. (%d, %d)\n", contacts.ret, contacts.status);
        return Turn::FileFailure;
    }
    // Neither catalog changes on a failed listing: new groups never stand beside old contacts.
    const std::string failRow = Format("Failed to retrieve Contact list for user account %s. ret=%d sys_ret=%d", acct,
                                       contacts.ret, contacts.status);
    if (contacts.result != ListingResult::Ok) {
        if (contacts.result != ListingResult::Lost)
            printf("Fail get contact list cmd. (%d, %d)\n", contacts.ret, contacts.status);
        return Failed_Listing(run, contacts, kContactListing, account, failRow);
    }
    std::vector<std::pair<std::string, std::string>> prev;
    Contact_Read_Local_Ids(prev, acct, task);
    std::set<std::string> keys;
    for (const ContactData& c : Contacts_From_Listing(contacts.doc)) keys.insert(c.strResourceName);
    Listing again;
    const bool bAgain = Needs_Second_Listing(prev, keys);
    if (bAgain) {
        again = Run_Listing(Contact_Listing_Line(account), run.strErrPath, kListingHeader);
        if (again.result != ListingResult::Ok) return Failed_Listing(run, again, kContactListing, account, failRow);
    }
    Log_Progress(ctx, Format("Finished retrieving Contact list for user account %s.", acct));

    Log_Progress(ctx, Format("Start writing Contact group information to database for user account %s.", acct));
    int rc = Group_Contact_Write_DB(Contact_Groups_From_Listing(groups.doc), acct, task);
    if (rc != 0) {
        Log_Stored(ctx, "FAIL", "info",
                   Format("Failed to write Contact group information to database for user account %s. ret=%d", acct,
                          rc));
        return Turn::FileFailure;
    }
    Log_Progress(ctx, Format("Finished writing Contact group information to database for user account %s.", acct));

    Log_Progress(ctx, Format("Start writing Contact information to database for user account %s.", acct));
    int64_t stored = 0;
    rc = Contact_Replace_Snapshot(contacts.doc, acct, task, &stored, bAgain ? &again.doc : nullptr);
    Mission_Progress_Add(run.progress, stored);
    if (rc != 0) {
        Log_Stored(ctx, "FAIL", "info",
                   Format("Failed to write Contact information to database for user account %s. ret=%d", acct, rc));
        return Turn::FileFailure;
    }
    Log_Progress(ctx, Format("Finished writing Contact information to database for user account %s.", acct));
    return Turn::Done;
}

}  // namespace

std::vector<ContactGroupData> Contact_Groups_From_Listing(const csvx::Document& doc) {
    const std::vector<int> idx = Column_Indexes(doc, kGroupColumns);
    std::vector<ContactGroupData> groups(doc.RowCount());
    for (size_t i = 0; i < doc.RowCount(); ++i) Fill(groups[i], doc, kGroupColumns, idx, i);
    return groups;
}

std::vector<ContactData> Contacts_From_Listing(const csvx::Document& doc) {
    const std::vector<int> idx = Column_Indexes(doc, kContactColumns);
    const std::vector<std::pair<int, int>> memberships = Membership_Columns(doc);
    const int resourceColumn = doc.ColumnIndex("resourceName");
    std::vector<ContactData> contacts;
    contacts.reserve(doc.RowCount());
    for (size_t i = 0; i < doc.RowCount(); ++i) {
        if (Cell(doc, resourceColumn, i).rfind(kOtherContactsPrefix, 0) == 0) continue;
        ContactData c;
        Fill(c, doc, kContactColumns, idx, i);
        c.strLocalID = smbbackup::Create_New_ID();
        c.strMembershipList = Membership_List(doc, memberships, i);
        contacts.push_back(std::move(c));
    }
    return contacts;
}

std::map<std::string, ContactData> Contact_Snapshot(std::vector<ContactData>& contacts) {
    std::map<std::string, ContactData> snapshot;
    for (ContactData& c : contacts) {
        const std::string id = c.strLocalID;
        snapshot.emplace(id, std::move(c));
    }
    return snapshot;
}

int Contact_Replace_Snapshot(const csvx::Document& doc, const char* account, const char* task, int64_t* stored,
                             const csvx::Document* again) {
    if (stored != nullptr) *stored = 0;
    // A header alone: the account has no contacts and keeps no contact catalog.
    if (doc.RowCount() == 0 && (again == nullptr || again->RowCount() == 0)) return Contact_Remove_DB(account, task);
    std::vector<ContactData> rows = Contacts_From_Listing(again != nullptr ? *again : doc);
    if (again != nullptr) {
        // What only the first listing holds stays too: a contact goes only when neither holds it.
        std::set<std::string> names;
        for (const ContactData& c : rows) names.insert(c.strResourceName);
        for (ContactData& c : Contacts_From_Listing(doc))
            if (names.count(c.strResourceName) == 0) rows.push_back(std::move(c));
    }
    Keep_Local_Ids(rows, account, task);
    if (stored != nullptr) *stored = static_cast<int64_t>(rows.size());
    return Contact_Write_DB(Contact_Snapshot(rows), account, task);
}

int Backup_Contact(GWSTask* pTask, std::string strMissionPath, const char* pszCurrentLoginUser, sqlite3* sqlDatabase) {
    return Run_Service(kContact, pTask, strMissionPath, pszCurrentLoginUser, sqlDatabase, Backup_Contact_Account);
}

int Count_Contact(GWSTask* pTask, int64_t* llCount, const char* pszCurrentLoginUser, sqlite3* sqlDatabase) {
    return Count_Service(kContact, pTask, llCount, pszCurrentLoginUser, sqlDatabase,
                         [](const std::string& account, const std::string& errPath, int64_t& n) {
                             Listing l = Run_Listing(Contact_Listing_Line(account), errPath, kListingHeader);
                             if (l.result != ListingResult::Ok) return false;
                             n = static_cast<int64_t>(Contacts_From_Listing(l.doc).size());
                             return true;
                         });
}
