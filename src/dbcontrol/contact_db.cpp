#include "dbcontrol/contact_db.h"

#include <cstdlib>
#include <cstring>

#include "common/reqcheck.h"
#include "dbcontrol/catalog_common.h"

using namespace qlm::catalog;

namespace {

// Column order of the table and of the insert.
constexpr Text_Column<ContactData> kContactColumns[] = {
    {"localid", "localid", nullptr},
    {"User", "User", &ContactData::strUser},
    {"resourceName", "resourceName", &ContactData::strResourceName},
    {"emailAddresses", "emailAddresses", &ContactData::strEmailAddresses},
    {"emailAddresses_0_formattedType", "emailAddresses.0.formattedType", &ContactData::strEmailAddresses_0_FormattedType},
    {"emailAddresses_0_type", "emailAddresses.0.type", &ContactData::strEmailAddresses_0_Type},
    {"emailAddresses_0_value", "emailAddresses.0.value", &ContactData::strEmailAddresses_0_Value},
    {"names", "names", &ContactData::strNames},
    {"names_0_displayName", "names.0.displayName", &ContactData::strNames_0_DisplayName},
    {"names_0_displayNameLastFirst", "names.0.displayNameLastFirst", &ContactData::strNames_0_DisplayNameLastFirst},
    {"names_0_familyName", "names.0.familyName", &ContactData::strNames_0_FamilyName},
    {"names_0_givenName", "names.0.givenName", &ContactData::strNames_0_GivenName},
    {"names_0_unstructuredName", "names.0.unstructuredName", &ContactData::strNames_0_UnstructuredName},
    {"phoneNumbers", "phoneNumbers", &ContactData::strPhoneNumbers},
    {"phoneNumbers_0_formattedType", "phoneNumbers.0.formattedType", &ContactData::strPhoneNumbers_0_FormattedType},
    {"phoneNumbers_0_type", "phoneNumbers.0.type", &ContactData::strPhoneNumbers_0_Type},
    {"phoneNumbers_0_value", "phoneNumbers.0.value", &ContactData::strPhoneNumbers_0_Value},
    {"organizations_0_department", "organizations.0.department", &ContactData::strOrganizations_0_Department},
    {"organizations_0_name", "organizations.0.name", &ContactData::strOrganizations_0_Name},
    {"organizations_0_title", "organizations.0.title", &ContactData::strOrganizations_0_Title},
    {"MembershipList", "MembershipList", &ContactData::strMembershipList},
};

constexpr Text_Column<ContactGroupData> kGroupColumns[] = {
    {"User", "User", &ContactGroupData::strUser},
    {"resourceName", "resourceName", &ContactGroupData::strResourceName},
    {"formattedName", "formattedName", &ContactGroupData::strFormattedName},
    {"groupType", "groupType", &ContactGroupData::strGroupType},
    {"name", "name", &ContactGroupData::strName},
    {"memberCount", "memberCount", &ContactGroupData::strMemberCount},
};

const std::vector<Json_Column>& Contact_Form() {
    static const std::vector<Json_Column> form = Form_Of(kContactColumns);
    return form;
}
const std::vector<Json_Column>& Group_Form() {
    static const std::vector<Json_Column> form = Form_Of(kGroupColumns);
    return form;
}

constexpr const char* kCreateContacts =
    "CREATE TABLE contact_sql_database(id INTEGER PRIMARY KEY AUTOINCREMENT,localid TEXT NOT NULL,User TEXT NOT NULL,"
    "resourceName TEXT NOT NULL,emailAddresses TEXT NOT NULL,emailAddresses_0_formattedType TEXT NOT NULL,"
    "emailAddresses_0_type TEXT NOT NULL,emailAddresses_0_value TEXT NOT NULL,names TEXT NOT NULL,"
    "names_0_displayName TEXT NOT NULL,names_0_displayNameLastFirst TEXT NOT NULL,names_0_familyName TEXT NOT NULL,"
    "names_0_givenName TEXT NOT NULL,names_0_unstructuredName TEXT NOT NULL,phoneNumbers TEXT NOT NULL,"
    "phoneNumbers_0_formattedType TEXT NOT NULL,phoneNumbers_0_type TEXT NOT NULL,phoneNumbers_0_value TEXT NOT NULL,"
    "organizations_0_department TEXT NOT NULL,organizations_0_name TEXT NOT NULL,organizations_0_title TEXT NOT NULL,"
    "MembershipList TEXT NOT NULL);";

constexpr const char* kInsertContact =
    "INSERT INTO contact_sql_database (localid,User,resourceName,emailAddresses,emailAddresses_0_formattedType,"
    "emailAddresses_0_type,emailAddresses_0_value,names,names_0_displayName,names_0_displayNameLastFirst,"
    "names_0_familyName,names_0_givenName,names_0_unstructuredName,phoneNumbers,phoneNumbers_0_formattedType,"
    "phoneNumbers_0_type,phoneNumbers_0_value,organizations_0_department,organizations_0_name,organizations_0_title,"
    "MembershipList) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);";

constexpr const char* kCreateGroups =
    "CREATE TABLE group_contact_sql_database(id INTEGER PRIMARY KEY AUTOINCREMENT,User TEXT NOT NULL,"
    "resourceName TEXT NOT NULL,formattedName TEXT NOT NULL,groupType TEXT NOT NULL,name TEXT NOT NULL,"
    "memberCount TEXT NOT NULL);";

constexpr const char* kInsertGroup =
    "INSERT INTO group_contact_sql_database (User,resourceName,formattedName,groupType,name,memberCount) VALUES "
    "(?, ?, ?, ?, ?, ?);";

// The keyword columns of the page, which the count must search too, or "total" would not match
// the pages.
constexpr const char* kKeywordCondition =
    "(names_0_displayName LIKE ?2 OR emailAddresses_0_value LIKE ?2 OR phoneNumbers_0_value LIKE ?2 OR "
    "organizations_0_department LIKE ?2 OR organizations_0_name LIKE ?2 OR organizations_0_title LIKE ?2)";

// The group's resource name as the membership list stores it: a whole JSON string written by
// the same library, quotes included, so "contactGroups/abc" never matches "contactGroups/abcd"
// and nothing in the name acts as a wildcard.
std::string Membership_Needle(const char* group) {
    RAIIful_Json text(json_object_new_string(group));
    if (!text) return std::string();
    return Json_To_Plain_String(text.get());
}

// WHERE clause and values of a group's contacts with an optional keyword (?1 group, ?2 keyword).
std::string Group_Where(const char* group, const char* keyword, std::vector<Bind_Value>& binds) {
    binds.emplace_back(Membership_Needle(group));
    std::string where = "instr(MembershipList, ?1) > 0";
    if (keyword && *keyword) {
        where = std::string(kKeywordCondition) + " AND " + where;
        binds.emplace_back(Like_Contains(keyword));
    }
    return where;
}

}  // namespace

int Contact_SQL_Open_Datebase(sqlite3** ppDb, const char* pszUserEmail, const char* pszTaskID, bool bDelOldDBIfExist) {
    return Open_Catalog_For_Caller(Kind::Contact, ppDb, pszUserEmail, pszTaskID,
                                   bDelOldDBIfExist ? Open_Mode::Writer_Fresh : Open_Mode::Writer);
}

int Group_Contact_SQL_Open_Datebase(sqlite3** ppDb, const char* pszUserEmail, const char* pszTaskID,
                                    bool bDelOldDBIfExist) {
    return Open_Catalog_For_Caller(Kind::GroupContact, ppDb, pszUserEmail, pszTaskID,
                                   bDelOldDBIfExist ? Open_Mode::Writer_Fresh : Open_Mode::Writer);
}

char* EscapeSlashForJson(const char* pszText) {
    if (pszText == nullptr) return nullptr;
    const size_t n = strlen(pszText);
    char* out = static_cast<char*>(malloc(2 * n + 1));
    if (out == nullptr) return nullptr;
    char* p = out;
    for (const char* s = pszText; *s; ++s) {
        if (*s == '/') *p++ = '\\';
        *p++ = *s;
    }
    *p = '\0';
    return out;
}

int Contact_Write_DB(const std::map<std::string, ContactData>& mapContactData, const char* pszUserEmail,
                     const char* pszTaskID) {
    return Rewrite_Snapshot(Kind::Contact, pszUserEmail, pszTaskID, "DROP TABLE IF EXISTS contact_sql_database;",
                            kCreateContacts, kInsertContact, [&](sqlite3_stmt* st) {
                                for (const auto& [localid, c] : mapContactData)
                                    if (Bind_Texts(st, kContactColumns, &localid, c) != 0 || Step_Row(st) != 0)
                                        return -161;
                                return 0;
                            });
}

int Group_Contact_Write_DB(const std::vector<ContactGroupData>& vecGroupData, const char* pszUserEmail,
                           const char* pszTaskID) {
    return Rewrite_Snapshot(Kind::GroupContact, pszUserEmail, pszTaskID,
                            "DROP TABLE IF EXISTS group_contact_sql_database;", kCreateGroups, kInsertGroup,
                            [&](sqlite3_stmt* st) {
                                for (const ContactGroupData& g : vecGroupData)
                                    if (Bind_Texts(st, kGroupColumns, nullptr, g) != 0 || Step_Row(st) != 0)
                                        return -161;
                                return 0;
                            });
}

int Contact_Read_Local_Ids(std::vector<std::pair<std::string, std::string>>& vecIds, const char* pszUserEmail, const char* pszTaskID) {
    return Read_Text_Pairs(Kind::Contact, pszUserEmail, pszTaskID, "contact_sql_database",
                           "SELECT resourceName,localid FROM contact_sql_database ORDER BY id;", vecIds);
}

int Contact_Remove_DB(const char* pszUserEmail, const char* pszTaskID) {
    if (pszUserEmail == nullptr || pszTaskID == nullptr) return -22;
    if (!qlm::Is_Single_Path_Component(pszUserEmail) || !qlm::Is_Single_Path_Component(pszTaskID)) return -22;
    Remove_Catalog_Files(Catalog_File(Kind::Contact, pszUserEmail, pszTaskID));
    return 0;
}

int Contact_Get_DB_Data(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID) {
    return Reported(Query_Json(Kind::Contact, pszUserEmail, pszTaskID,
                               "SELECT * from contact_sql_database ORDER BY ID DESC;", {}, Contact_Form(), jsonList));
}

int Contact_Get_DB_Data_For_Pagination(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID, int iStart,
                                       int iLimit, const char* pszGroupName, const char* pszKeyWord) {
    if (pszGroupName == nullptr) return 0;
    std::vector<Bind_Value> binds;
    const std::string where = Group_Where(pszGroupName, pszKeyWord, binds);
    // Start and limit follow the one or two values of the clause.
    const std::string n = std::to_string(binds.size() + 1), m = std::to_string(binds.size() + 2);
    binds.emplace_back(static_cast<long long>(iStart));
    binds.emplace_back(static_cast<long long>(iLimit));
    const std::string sql =
        "SELECT * FROM contact_sql_database WHERE " + where + " ORDER BY ID DESC LIMIT ?" + n + ",?" + m + ";";
    Query_Json(Kind::Contact, pszUserEmail, pszTaskID, sql.c_str(), binds, Contact_Form(), jsonList);
    return 0;
}

int Contact_Get_Number_Of_Record(const char* pszUserEmail, const char* pszTaskID, const char* pszGroupName,
                                 const char* pszKeyWord) {
    if (pszGroupName == nullptr) return 0;
    std::vector<Bind_Value> binds;
    const std::string sql = "SELECT COUNT(*) FROM contact_sql_database WHERE " + Group_Where(pszGroupName, pszKeyWord, binds) + ";";
    return static_cast<int>(Query_Count(Kind::Contact, pszUserEmail, pszTaskID, sql.c_str(), binds));
}

int Group_Contact_Get_DB_Data(PT_JSON jsonList, const char* pszUserEmail, const char* pszTaskID) {
    Query_Json(Kind::GroupContact, pszUserEmail, pszTaskID, "SELECT * from group_contact_sql_database ORDER BY ID DESC;",
               {}, Group_Form(), jsonList);
    return 0;
}
