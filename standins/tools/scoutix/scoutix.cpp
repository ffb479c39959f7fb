// scoutix stand-in: the key's permission checks and the domain's user and shared-drive listings.
//
//   scoutix -check_drive|-check_contacts|-check_calendar|-check_gmail KEYFILE ADMIN   {"is_pass": bool}
//   scoutix -info KEYFILE ADMIN     {"user_list": [{"iD", "Email"}], "domain_list": [...], "customer_id"}
//   scoutix -shared KEYFILE ADMIN   {"shared_drive_list": [{"id", "shared_drive_name"}]}
//
// The checks answer from the key's grants for any user of the key's domain; the listings need a
// domain administrator. A key that is unknown, revoked or of another domain, or an account that
// is not in the domain, fails the call (exit 1, nothing on stdout).
#include <gwssim/cli.h>
#include <gwssim/json_util.h>
#include <gwssim/state.h>
#include <gwssim/toolrun.h>

#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] = "usage: scoutix -check_drive|-check_contacts|-check_calendar|-check_gmail|-info|-shared "
                      "KEYFILE ADMIN_EMAIL\n";

int Fail(const std::string& line) {
    fprintf(stderr, "%s\n", line.c_str());
    return 1;
}

std::string Check(const GwsKey& key, const char* grant) {
    GwsJson o(json_object_new_object());
    Gwssim_Json_Put_Bool(o.get(), "is_pass", Gwssim_Key_Has_Grant(key, grant));
    return Gwssim_Json_Text(o.get());
}

std::string Info(const GwsDomain& dom) {
    GwsJson o(json_object_new_object());
    json_object* users = json_object_new_array_ext((int)dom.users.size());
    for (const auto& u : dom.users) {
        json_object* e = json_object_new_object();
        Gwssim_Json_Put_Str(e, "iD", u.id);
        Gwssim_Json_Put_Str(e, "Email", u.email);
        json_object_array_add(users, e);
    }
    json_object_object_add(o.get(), "user_list", users);
    Gwssim_Json_Put_Str_List(o.get(), "domain_list", dom.domains);
    Gwssim_Json_Put_Str(o.get(), "customer_id", dom.customer_id);
    return Gwssim_Json_Text(o.get());
}

std::string Shared(const GwsDomain& dom) {
    GwsJson o(json_object_new_object());
    json_object* list = json_object_new_array();
    for (const auto& sd : dom.shared_drives) {
        json_object* e = json_object_new_object();
        Gwssim_Json_Put_Str(e, "id", sd.id);
        Gwssim_Json_Put_Str(e, "shared_drive_name", sd.name);
        json_object_array_add(list, e);
    }
    json_object_object_add(o.get(), "shared_drive_list", list);
    return Gwssim_Json_Text(o.get());
}

int Scoutix_Body(int argc, char** argv) {
    static const struct {
        const char* option;
        const char* grant;  // nullptr: a listing
    } kOptions[] = {{"-check_drive", "drive"}, {"-check_contacts", "contacts"}, {"-check_calendar", "calendar"},
                    {"-check_gmail", "gmail"}, {"-info", nullptr},              {"-shared", nullptr}};
    if (argc != 4) {
        fputs(kUsage, stderr);
        return 2;
    }
    const char* grant = nullptr;
    bool known = false;
    for (const auto& o : kOptions)
        if (strcmp(o.option, argv[1]) == 0) {
            known = true;
            grant = o.grant;
        }
    if (!known) {
        fputs(kUsage, stderr);
        return 2;
    }
    std::string root = Gwssim_Key_Root(Gwssim_Root(), argv[2]), err, admin = argv[3];
    GwsDomain dom;
    GwsKey key;
    if (Gwssim_Authorize(root, argv[2], dom, key, err) != 0) return Fail(err);
    const GwsUser* user = Gwssim_Find_User(dom, admin);
    if (!user) return Fail("ERROR: 404: User " + admin + ": Does not exist");
    std::string out;
    if (grant) {
        out = Check(key, grant);
    } else if (!user->admin) {
        return Fail("ERROR: 403: Not Authorized to access this resource/api (" + admin + " is not an administrator)");
    } else if (strcmp(argv[1], "-info") == 0) {
        out = Info(dom);
    } else {
        if (!Gwssim_Key_Has_Grant(key, "drive")) return Fail("ERROR: 403: Request had insufficient authentication scopes");
        out = Shared(dom);
    }
    return Gwssim_Print(out + "\n") == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) { return Gwssim_Tool_Main("scoutix", argc, argv, Scoutix_Body); }
