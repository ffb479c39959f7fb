// The contact and contact-group catalogs: stored form, whole-snapshot rewrites, group pages with
// keywords and the counts that must match them.
#include "dbcontrol/contact_db.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "../catalog_testutil.h"

namespace {

using cattest::kTask;
using cattest::kUser;
using cattest::List;
using Ids = std::vector<std::string>;

// A membership list as the backup writes it: compact JSON, "/" escaped, the "all" group last.
std::string Memberships(const std::vector<std::string>& groups) {
    RAIIful_Json list(Json_List_Init());
    for (std::string g : groups) {
        g = "contactGroups/" + g;
        PT_JSON item = Json_Dict_Init();
        Json_Dict_Add_Str(item, "id", g.c_str());
        Json_Dict_Add_Str(item, "name", g.c_str() + 14);
        Json_List_Add_Dict(list.get(), item);
    }
    PT_JSON all = Json_Dict_Init();
    Json_Dict_Add_Str(all, "id", "contactGroups/all");
    Json_Dict_Add_Str(all, "name", "all");
    Json_List_Add_Dict(list.get(), all);
    return Json_To_Plain_String(list.get());
}

ContactData Contact(const char* name, const char* mail, const char* phone, const char* org, const char* dept,
                    const char* title, const std::vector<std::string>& groups) {
    ContactData c;
    c.strUser = kUser;
    c.strResourceName = "people/abc-" + std::string(name);
    c.strNames_0_DisplayName = name;
    c.strEmailAddresses_0_Value = mail;
    c.strPhoneNumbers_0_Value = phone;
    c.strOrganizations_0_Name = org;
    c.strOrganizations_0_Department = dept;
    c.strOrganizations_0_Title = title;
    c.strNames_0_GivenName = "sales";  // not a page column: it must not count either
    c.strMembershipList = Memberships(groups);
    return c;
}

std::map<std::string, ContactData> Fixture() {
    return {
        {"c1", Contact("Ann Lee", "ann@x.org", "111", "Acme", "Sales", "Boss", {"abc"})},
        {"c2", Contact("Bob Ray", "bob@x.org", "222", "Initech", "", "", {"abcd"})},
        {"c3", Contact("Cy_Ann", "", "333", "", "", "", {"abc", "a_c"})},
        {"c4", Contact("Dee", "dee@y.org", "", "", "", "", {})},
        {"c5", Contact("Eve's", "eve@x.org", "", "", "", "Sales lead", {"abc"})},
    };
}

struct ContactCatalog : ::testing::Test {
    cattest::Root root;
    std::string contacts = root.Backup(std::string("contact_db/") + kTask + "/" + kUser + ".db");
    std::string groups = root.Backup(std::string("group_contact_db/") + kTask + "/" + kUser + ".db");
};

TEST_F(ContactCatalog, StoredFilesShowTheirTablesToTheCli) {
    ASSERT_EQ(Contact_Write_DB({}, kUser, kTask), 0);
    ASSERT_EQ(Group_Contact_Write_DB({}, kUser, kTask), 0);
    std::vector<std::pair<std::string, std::string>> cols;
    for (const char* c : {"localid", "User", "resourceName", "emailAddresses", "emailAddresses_0_formattedType",
                          "emailAddresses_0_type", "emailAddresses_0_value", "names", "names_0_displayName",
                          "names_0_displayNameLastFirst", "names_0_familyName", "names_0_givenName",
                          "names_0_unstructuredName", "phoneNumbers", "phoneNumbers_0_formattedType",
                          "phoneNumbers_0_type", "phoneNumbers_0_value", "organizations_0_department",
                          "organizations_0_name", "organizations_0_title", "MembershipList"})
        cols.emplace_back(c, "TEXT");
    EXPECT_EQ(cattest::Cli_Columns(contacts, "contact_sql_database"), cattest::Expected_Columns("id", cols));
    EXPECT_EQ(cattest::Cli_Columns(groups, "group_contact_sql_database"),
              cattest::Expected_Columns("id", {{"User", "TEXT"}, {"resourceName", "TEXT"}, {"formattedName", "TEXT"},
                                               {"groupType", "TEXT"}, {"name", "TEXT"}, {"memberCount", "TEXT"}}));
    EXPECT_EQ(cattest::Sqlite_Cli(contacts, "SELECT COUNT(*) FROM sqlite_master WHERE type='index';"), "0\n");
}

TEST_F(ContactCatalog, ARewriteHoldsExactlyTheNewSnapshotWithIdsFromOne) {
    ASSERT_EQ(Contact_Write_DB(Fixture(), kUser, kTask), 0);
    ASSERT_EQ(Contact_Write_DB({{"z9", Fixture()["c4"]}, {"a1", Fixture()["c1"]}}, kUser, kTask), 0);
    EXPECT_EQ(cattest::Sqlite_Cli(contacts, "SELECT id,localid,names_0_displayName FROM contact_sql_database;"),
              "1|a1|Ann Lee\n2|z9|Dee\n");
    ASSERT_EQ(Contact_Write_DB({}, kUser, kTask), 0);
    List none;
    EXPECT_EQ(Contact_Get_DB_Data(none.get(), kUser, kTask), 0);
    EXPECT_EQ(none.size(), 0);

    ContactGroupData g1{kUser, "contactGroups/abc", "Friends", "USER_CONTACT_GROUP", "Friends", "12"};
    ContactGroupData g2{kUser, "contactGroups/def", "Work", "USER_CONTACT_GROUP", "Work", ""};
    ASSERT_EQ(Group_Contact_Write_DB({g1, g2, g1}, kUser, kTask), 0);
    ASSERT_EQ(Group_Contact_Write_DB({g2, g1}, kUser, kTask), 0);
    List list;
    EXPECT_EQ(Group_Contact_Get_DB_Data(list.get(), kUser, kTask), 0);
    EXPECT_EQ(list.Strings("resourceName"), (Ids{"contactGroups/abc", "contactGroups/def"}));  // vector order, newest first
    EXPECT_EQ(cattest::Keys(list.at(0)),
              (std::set<std::string>{"User", "resourceName", "formattedName", "groupType", "name", "memberCount"}));
    EXPECT_EQ(cattest::Type_Of(list.at(0), "memberCount"), json_type_string);
    EXPECT_EQ(cattest::Scalar(groups, "SELECT MAX(id) FROM group_contact_sql_database;"), 2);
}

TEST_F(ContactCatalog, AFailedRewriteKeepsThePreviousSnapshot) {
    ASSERT_EQ(Contact_Write_DB(Fixture(), kUser, kTask), 0);
    std::map<std::string, ContactData> big;
    for (int i = 0; i < 3000; ++i) {
        ContactData c = Fixture()["c1"];
        c.strNames = std::string(400, 'n');
        big["n" + std::to_string(i)] = c;
    }
    EXPECT_EQ(cattest::Run_With_File_Limit(64 * 1024, [&] { return Contact_Write_DB(big, kUser, kTask); }), -161);
    List all;
    ASSERT_EQ(Contact_Get_DB_Data(all.get(), kUser, kTask), 0);
    EXPECT_EQ(all.Strings("localid"), (Ids{"c5", "c4", "c3", "c2", "c1"}));
}

TEST_F(ContactCatalog, JsonKeysSpellTheFlattenedColumns) {
    ASSERT_EQ(Contact_Write_DB({{"c1", Fixture()["c1"]}}, kUser, kTask), 0);
    List all;
    ASSERT_EQ(Contact_Get_DB_Data(all.get(), kUser, kTask), 0);
    ASSERT_EQ(all.size(), 1);
    EXPECT_EQ(cattest::Keys(all.at(0)),
              (std::set<std::string>{"localid", "User", "resourceName", "emailAddresses",
                                     "emailAddresses.0.formattedType", "emailAddresses.0.type",
                                     "emailAddresses.0.value", "names", "names.0.displayName",
                                     "names.0.displayNameLastFirst", "names.0.familyName", "names.0.givenName",
                                     "names.0.unstructuredName", "phoneNumbers", "phoneNumbers.0.formattedType",
                                     "phoneNumbers.0.type", "phoneNumbers.0.value", "organizations.0.department",
                                     "organizations.0.name", "organizations.0.title", "MembershipList"}));
    EXPECT_EQ(all.Strings("names.0.displayName")[0], "Ann Lee");
    EXPECT_EQ(all.Strings("MembershipList")[0],
              R"([{"id":"contactGroups\/abc","name":"abc"},{"id":"contactGroups\/all","name":"all"}])");
}

TEST_F(ContactCatalog, GroupPagesMatchTheGroupExactlyAndCountWhatThePagesHold) {
    ASSERT_EQ(Contact_Write_DB(Fixture(), kUser, kTask), 0);
    struct Case {
        const char* group;
        const char* keyword;
        Ids page;
    } cases[] = {
        {"contactGroups/abc", "", {"c5", "c3", "c1"}},
        {"contactGroups/abcd", nullptr, {"c2"}},
        {"contactGroups/a_c", "", {"c3"}},  // "_" in a group name is no wildcard
        {"contactGroups/ab", "", {}},       // nor is a prefix a match
        {"contactGroups/all", "", {"c5", "c4", "c3", "c2", "c1"}},
        {"contactGroups/abc", "ANN", {"c3", "c1"}},
        {"contactGroups/abc", "sales", {"c5", "c1"}},   // department or title, never the given name
        {"contactGroups/abcd", "ann", {}},              // never a contact outside the group
        {"contactGroups/abc", "abc", {}},               // resource names and memberships are not searched
        {"contactGroups/all", "x.org", {"c5", "c2", "c1"}},
        {"contactGroups/all", "2", {"c2"}},             // the phone number
        {"contactGroups/all", "y_a", {"c3"}},           // keywords keep their wildcards: "Cy_Ann" and none else
        {"contactGroups/abc", "'s", {"c5"}},            // a quote stays data
        {"x\" OR 1=1 --", "", {}},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.group) + " / " + (c.keyword ? c.keyword : "NULL");
        List page;
        EXPECT_EQ(Contact_Get_DB_Data_For_Pagination(page.get(), kUser, kTask, 0, 50, c.group, c.keyword), 0);
        EXPECT_EQ(page.Strings("localid"), c.page) << label;
        EXPECT_EQ(Contact_Get_Number_Of_Record(kUser, kTask, c.group, c.keyword), static_cast<int>(c.page.size())) << label;
    }
    List page;
    Contact_Get_DB_Data_For_Pagination(page.get(), kUser, kTask, 1, 2, "contactGroups/all", "");
    EXPECT_EQ(page.Strings("localid"), (Ids{"c4", "c3"}));
    List none;
    EXPECT_EQ(Contact_Get_DB_Data_For_Pagination(none.get(), kUser, kTask, 0, 50, nullptr, ""), 0);
    EXPECT_EQ(none.size(), 0);
    EXPECT_EQ(Contact_Get_Number_Of_Record(kUser, kTask, nullptr, ""), 0);
}

TEST(EscapeSlashForJson, PutsABackslashBeforeEverySlash) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {{"contactGroups/abc", "contactGroups\\/abc"}, {"//", "\\/\\/"}, {"", ""}, {"plain", "plain"}};
    for (const Case& c : cases) {
        char* out = EscapeSlashForJson(c.in);
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(out, c.out);
        free(out);
    }
    EXPECT_EQ(EscapeSlashForJson(nullptr), nullptr);
}

}  // namespace
