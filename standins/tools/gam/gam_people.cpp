// Contacts commands: contact groups, contacts flattened as the People API's fields, and the
// creation of one contact.
#include "gam.h"
#include "gam_out.h"

#include <cctype>

namespace {

int Load_Contacts(GamCtx& ctx, GwsContacts& c) {
    if (Gwssim_Load_Contacts(ctx.root, ctx.user->email, c) != 0)
        return Gam_Error("500: backendError: the contacts of " + ctx.user->email + " cannot be read");
    return 0;
}

const char kGroupPrefix[] = "contactGroups/";

// "work" -> "Work", as the People API's formattedType.
std::string Formatted_Type(std::string type) {
    if (!type.empty()) type[0] = (char)toupper((unsigned char)type[0]);
    return type;
}

void Put(FlatRow& row, const std::string& key, const std::string& value) {
    if (!value.empty()) row[key] = value;
}

void Put_Typed(FlatRow& row, const char* list, const std::vector<GwsTypedValue>& values) {
    if (values.empty()) return;
    row[list] = std::to_string(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        std::string k = std::string(list) + "." + std::to_string(i) + ".";
        Put(row, k + "formattedType", Formatted_Type(values[i].type));
        Put(row, k + "type", values[i].type);
        Put(row, k + "value", values[i].value);
    }
}

std::string Join(const std::string& a, const char* sep, const std::string& b) {
    return a.empty() ? b : b.empty() ? a : a + sep + b;
}

FlatRow Contact_Row(const GwsContact& c, const std::string& user) {
    FlatRow row{{"User", user}, {"resourceName", c.resource_name}};
    std::string display = c.display_name.empty() ? Join(c.given_name, " ", c.family_name) : c.display_name;
    if (!display.empty()) {
        row["names"] = "1";
        Put(row, "names.0.displayName", display);
        Put(row, "names.0.displayNameLastFirst", Join(c.family_name, ", ", c.given_name));
        Put(row, "names.0.familyName", c.family_name);
        Put(row, "names.0.givenName", c.given_name);
        Put(row, "names.0.unstructuredName", display);
    }
    Put_Typed(row, "emailAddresses", c.emails);
    Put_Typed(row, "phoneNumbers", c.phones);
    if (!(c.org_name + c.org_title + c.org_department).empty()) {
        row["organizations"] = "1";
        Put(row, "organizations.0.name", c.org_name);
        Put(row, "organizations.0.title", c.org_title);
        Put(row, "organizations.0.department", c.org_department);
    }
    if (!c.groups.empty()) row["memberships"] = std::to_string(c.groups.size());
    for (size_t d = 0; d < c.groups.size(); ++d) {
        const std::string& g = c.groups[d];
        std::string k = "memberships." + std::to_string(d) + ".contactGroupMembership.";
        Put(row, k + "contactGroupId", g.rfind(kGroupPrefix, 0) == 0 ? g.substr(sizeof kGroupPrefix - 1) : g);
        Put(row, k + "contactGroupResourceName", g);
    }
    return row;
}

}  // namespace

int Gam_Print_Groups(const GamCmd&, GamCtx& ctx) {
    GwsContacts c;
    if (int rc = Load_Contacts(ctx, c)) return rc;
    std::vector<FlatRow> rows;
    for (const GwsContactGroup& g : c.groups) {
        size_t members = 0;
        for (const GwsContact& p : c.contacts)
            for (const std::string& r : p.groups) members += r == g.resource_name;
        rows.push_back({{"User", ctx.user->email},
                        {"resourceName", g.resource_name},
                        {"formattedName", g.formatted_name},
                        {"groupType", g.group_type},
                        {"name", g.name},
                        {"memberCount", std::to_string(members)}});
    }
    // User and resourceName lead, the other columns follow sorted; this listing's writer leaves
    // a backslash as it is.
    Csv_Table(ctx.out, {"User", "resourceName"}, rows, {"formattedName", "groupType", "memberCount", "name"},
              CsvBackslash::Plain);
    return Listing_Status(c.groups.size());
}

int Gam_Print_Contacts(const GamCmd&, GamCtx& ctx) {
    GwsContacts c;
    if (int rc = Load_Contacts(ctx, c)) return rc;
    std::vector<FlatRow> rows;
    for (const auto* list : {&c.contacts, &c.other_contacts})
        for (const GwsContact& p : *list) rows.push_back(Contact_Row(p, ctx.user->email));
    Csv_Table(ctx.out, {"User", "resourceName"}, rows);
    // Unlike the other listings, no contacts is no failure: the header alone and status 0.
    return kGamOk;
}

int Gam_Create_Contact(const GamCmd& cmd, GamCtx& ctx) {
    GwsLock lock;
    if (Gwssim_Lock_State(ctx.root, lock) != 0) return Gam_Error("500: backendError: the domain cannot be locked");
    GwsContacts c;
    if (int rc = Load_Contacts(ctx, c)) return rc;
    GwsContact p;
    std::string id;
    if (Gwssim_New_Id(ctx.root, "contact", id) != 0) return Gam_Error("500: backendError: no new id");
    p.resource_name = "people/" + id;
    p.given_name = cmd.given_name;
    p.family_name = cmd.family_name;
    p.display_name = Join(cmd.given_name, " ", cmd.family_name);
    if (cmd.email.set) p.emails.push_back({cmd.email.type, cmd.email.value});
    if (cmd.phone.set) p.phones.push_back({cmd.phone.type, cmd.phone.value});
    p.org_name = cmd.organization.value;
    p.org_title = cmd.title;
    p.org_department = cmd.department;
    // A contact made through the API joins "My Contacts", as in Google.
    p.groups.push_back(std::string(kGroupPrefix) + "myContacts");
    c.contacts.push_back(std::move(p));
    if (Gwssim_Save_Contacts(ctx.root, ctx.user->email, c) != 0)
        return Gam_Error("500: backendError: the contacts cannot be written");
    return 0;
}
