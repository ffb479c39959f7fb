// The records of state.h to and from their JSON files.
#include <gwssim/state.h>

#include <gwssim/json_util.h>

#include "index.h"

#include <dirent.h>

#include <algorithm>

namespace {

json_object* Members_Json(const std::vector<GwsMember>& v) {
    json_object* a = json_object_new_array_ext((int)v.size());
    for (const auto& m : v) {
        json_object* o = json_object_new_object();
        Gwssim_Json_Put_Str(o, "type", m.type);
        Gwssim_Json_Put_Str(o, "emailAddress", m.email);
        Gwssim_Json_Put_Str(o, "displayName", m.display_name);
        Gwssim_Json_Put_Str(o, "role", m.role);
        json_object_array_add(a, o);
    }
    return a;
}

std::vector<GwsMember> Members_From(json_object* o, const char* key) {
    std::vector<GwsMember> v;
    json_object* a = Gwssim_Json_Array(o, key);
    size_t n = a ? json_object_array_length(a) : 0;
    for (size_t i = 0; i < n; ++i) {
        json_object* e = json_object_array_get_idx(a, i);
        GwsMember m;
        m.type = Gwssim_Json_Str(e, "type");
        m.email = Gwssim_Json_Str(e, "emailAddress");
        m.display_name = Gwssim_Json_Str(e, "displayName");
        m.role = Gwssim_Json_Str(e, "role");
        v.push_back(std::move(m));
    }
    return v;
}

int Save_Json(const std::string& path, json_object* o, bool pretty) {
    GwsJson guard(o);
    return Gwssim_Write_File(path, Gwssim_Json_Text(o, pretty) + "\n");
}

// Loads a JSON object file; a missing file is reported as -2 with out left empty.
int Load_Object(const std::string& path, GwsJson& out) {
    int rc = Gwssim_Json_Load(path, out);
    if (rc != 0) return rc;
    return json_object_is_type(out.get(), json_type_object) ? 0 : -1;
}

// A per-user file: 1 when absent (nothing stored yet), else as Load_Object.
int Load_User_File(const std::string& root, const std::string& email, const char* name, GwsJson& out) {
    if (!Gwssim_Is_Path_Component(email)) return -1;
    int rc = Load_Object(Gwssim_User_Dir(root, email) + "/" + name, out);
    return rc == -2 ? 1 : rc;
}

// The one conversion of a Drive item to and from its JSON object.
json_object* Item_Json(const GwsDriveItem& it) {
    json_object* e = json_object_new_object();
    Gwssim_Json_Put_Str(e, "id", it.id);
    Gwssim_Json_Put_Str(e, "name", it.name);
    Gwssim_Json_Put_Str(e, "mimeType", it.mime_type);
    Gwssim_Json_Put_Str(e, "parent", it.parent);
    if (!it.owner.empty()) Gwssim_Json_Put_Str(e, "owner", it.owner);
    Gwssim_Json_Put_Str(e, "createdTime", it.created_time);
    Gwssim_Json_Put_Str(e, "modifiedTime", it.modified_time);
    if (!it.md5.empty()) Gwssim_Json_Put_Str(e, "md5", it.md5);
    if (it.size >= 0) Gwssim_Json_Put_Int(e, "size", it.size);
    if (it.trashed) Gwssim_Json_Put_Bool(e, "trashed", true);
    if (it.has_blob) Gwssim_Json_Put_Bool(e, "has_blob", true);
    if (!it.permissions.empty()) json_object_object_add(e, "permissions", Members_Json(it.permissions));
    if (!it.shortcut_target.empty()) Gwssim_Json_Put_Str(e, "shortcutTarget", it.shortcut_target);
    return e;
}

GwsDriveItem Item_From(json_object* e) {
    GwsDriveItem it;
    it.id = Gwssim_Json_Str(e, "id");
    it.name = Gwssim_Json_Str(e, "name");
    it.mime_type = Gwssim_Json_Str(e, "mimeType");
    it.parent = Gwssim_Json_Str(e, "parent");
    it.owner = Gwssim_Json_Str(e, "owner");
    it.created_time = Gwssim_Json_Str(e, "createdTime");
    it.modified_time = Gwssim_Json_Str(e, "modifiedTime");
    it.md5 = Gwssim_Json_Str(e, "md5");
    it.size = Gwssim_Json_Int(e, "size", -1);
    it.trashed = Gwssim_Json_Bool(e, "trashed", false);
    it.has_blob = Gwssim_Json_Bool(e, "has_blob", false);
    it.permissions = Members_From(e, "permissions");
    it.shortcut_target = Gwssim_Json_Str(e, "shortcutTarget");
    return it;
}

json_object* Drive_Json(const GwsDrive& d) {
    json_object* o = json_object_new_object();
    Gwssim_Json_Put_Str(o, "root_id", d.root_id);
    json_object* items = json_object_new_array_ext((int)d.items.size());
    for (const auto& it : d.items) json_object_array_add(items, Item_Json(it));
    json_object_object_add(o, "items", items);
    return o;
}

int Drive_From(const std::string& path, GwsDrive& d) {
    d = GwsDrive();
    GwsJson o;
    int rc = Gwssim_Index_Load(path, o);
    if (rc == -2) return 0;  // nothing stored yet: an empty Drive
    if (rc != 0) return rc;
    d.root_id = Gwssim_Json_Str(o.get(), "root_id");
    json_object* a = Gwssim_Json_Array(o.get(), "items");
    size_t n = a ? json_object_array_length(a) : 0;
    d.items.reserve(n);
    for (size_t i = 0; i < n; ++i) d.items.push_back(Item_From(json_object_array_get_idx(a, i)));
    return 0;
}

// The one conversion of a message and of a label to and from their JSON objects.
json_object* Message_Json(const GwsMessage& msg) {
    json_object* e = json_object_new_object();
    Gwssim_Json_Put_Str(e, "id", msg.id);
    Gwssim_Json_Put_Str(e, "threadId", msg.thread_id);
    Gwssim_Json_Put_Int(e, "internalDate", msg.internal_date);
    Gwssim_Json_Put_Str_List(e, "labelIds", msg.labels);
    return e;
}

GwsMessage Message_From(json_object* e) {
    GwsMessage msg;
    msg.id = Gwssim_Json_Str(e, "id");
    msg.thread_id = Gwssim_Json_Str(e, "threadId");
    msg.internal_date = Gwssim_Json_Int(e, "internalDate", 0);
    msg.labels = Gwssim_Json_Str_List(e, "labelIds");
    return msg;
}

json_object* Label_Json(const GwsLabel& l) {
    json_object* e = json_object_new_object();
    Gwssim_Json_Put_Str(e, "id", l.id);
    Gwssim_Json_Put_Str(e, "name", l.name);
    return e;
}

GwsLabel Label_From(json_object* e) { return {Gwssim_Json_Str(e, "id"), Gwssim_Json_Str(e, "name")}; }

std::string Mail_Path(const std::string& root, const std::string& email) {
    return Gwssim_User_Dir(root, email) + "/mail.json";
}

std::string Drive_Path(const std::string& root, const std::string& email) {
    return Gwssim_User_Dir(root, email) + "/drive.json";
}

std::string Shared_Path(const std::string& root, const std::string& drive_id) {
    return root + "/shared/" + drive_id + "/drive.json";
}

json_object* Contact_Json(const GwsContact& c) {
    json_object* o = json_object_new_object();
    Gwssim_Json_Put_Str(o, "resourceName", c.resource_name);
    Gwssim_Json_Put_Str(o, "givenName", c.given_name);
    Gwssim_Json_Put_Str(o, "familyName", c.family_name);
    Gwssim_Json_Put_Str(o, "displayName", c.display_name);
    for (auto [key, list] : {std::pair{"emails", &c.emails}, std::pair{"phones", &c.phones}}) {
        json_object* a = json_object_new_array();
        for (const auto& tv : *list) {
            json_object* e = json_object_new_object();
            Gwssim_Json_Put_Str(e, "type", tv.type);
            Gwssim_Json_Put_Str(e, "value", tv.value);
            json_object_array_add(a, e);
        }
        json_object_object_add(o, key, a);
    }
    Gwssim_Json_Put_Str(o, "orgName", c.org_name);
    Gwssim_Json_Put_Str(o, "orgTitle", c.org_title);
    Gwssim_Json_Put_Str(o, "orgDepartment", c.org_department);
    Gwssim_Json_Put_Str_List(o, "groups", c.groups);
    return o;
}

GwsContact Contact_From(json_object* o) {
    GwsContact c;
    c.resource_name = Gwssim_Json_Str(o, "resourceName");
    c.given_name = Gwssim_Json_Str(o, "givenName");
    c.family_name = Gwssim_Json_Str(o, "familyName");
    c.display_name = Gwssim_Json_Str(o, "displayName");
    for (auto [key, list] : {std::pair{"emails", &c.emails}, std::pair{"phones", &c.phones}}) {
        json_object* a = Gwssim_Json_Array(o, key);
        size_t n = a ? json_object_array_length(a) : 0;
        for (size_t i = 0; i < n; ++i) {
            json_object* e = json_object_array_get_idx(a, i);
            list->push_back({Gwssim_Json_Str(e, "type"), Gwssim_Json_Str(e, "value")});
        }
    }
    c.org_name = Gwssim_Json_Str(o, "orgName");
    c.org_title = Gwssim_Json_Str(o, "orgTitle");
    c.org_department = Gwssim_Json_Str(o, "orgDepartment");
    c.groups = Gwssim_Json_Str_List(o, "groups");
    return c;
}

}  // namespace

// ---- domain -------------------------------------------------------------------------------------

int Gwssim_Load_Domain(const std::string& root, GwsDomain& d) {
    d = GwsDomain();
    GwsJson o;
    int rc = Load_Object(root + "/domain.json", o);
    if (rc != 0) return rc;
    d.domains = Gwssim_Json_Str_List(o.get(), "domains");
    d.customer_id = Gwssim_Json_Str(o.get(), "customer_id");
    json_object* a = Gwssim_Json_Array(o.get(), "users");
    size_t n = a ? json_object_array_length(a) : 0;
    d.users.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        json_object* e = json_object_array_get_idx(a, i);
        GwsUser u;
        u.id = Gwssim_Json_Str(e, "id");
        u.email = Gwssim_Json_Str(e, "email");
        u.name = Gwssim_Json_Str(e, "name");
        u.admin = Gwssim_Json_Bool(e, "admin", false);
        d.users.push_back(std::move(u));
    }
    a = Gwssim_Json_Array(o.get(), "shared_drives");
    n = a ? json_object_array_length(a) : 0;
    for (size_t i = 0; i < n; ++i) {
        json_object* e = json_object_array_get_idx(a, i);
        GwsSharedDrive s;
        s.id = Gwssim_Json_Str(e, "id");
        s.name = Gwssim_Json_Str(e, "name");
        s.members = Members_From(e, "members");
        d.shared_drives.push_back(std::move(s));
    }
    return d.domains.empty() ? -1 : 0;
}

int Gwssim_Save_Domain(const std::string& root, const GwsDomain& d) {
    json_object* o = json_object_new_object();
    Gwssim_Json_Put_Str_List(o, "domains", d.domains);
    Gwssim_Json_Put_Str(o, "customer_id", d.customer_id);
    json_object* users = json_object_new_array_ext((int)d.users.size());
    for (const auto& u : d.users) {
        json_object* e = json_object_new_object();
        Gwssim_Json_Put_Str(e, "id", u.id);
        Gwssim_Json_Put_Str(e, "email", u.email);
        Gwssim_Json_Put_Str(e, "name", u.name);
        Gwssim_Json_Put_Bool(e, "admin", u.admin);
        json_object_array_add(users, e);
    }
    json_object_object_add(o, "users", users);
    json_object* sds = json_object_new_array();
    for (const auto& s : d.shared_drives) {
        json_object* e = json_object_new_object();
        Gwssim_Json_Put_Str(e, "id", s.id);
        Gwssim_Json_Put_Str(e, "name", s.name);
        json_object_object_add(e, "members", Members_Json(s.members));
        json_object_array_add(sds, e);
    }
    json_object_object_add(o, "shared_drives", sds);
    return Save_Json(root + "/domain.json", o, true);
}

const GwsUser* Gwssim_Find_User(const GwsDomain& d, const std::string& email) {
    for (const auto& u : d.users)
        if (u.email == email) return &u;
    return nullptr;
}

const GwsSharedDrive* Gwssim_Find_Shared_Drive(const GwsDomain& d, const std::string& id) {
    for (const auto& s : d.shared_drives)
        if (s.id == id) return &s;
    return nullptr;
}

bool Gwssim_In_Domain(const GwsDomain& d, const std::string& email) {
    size_t at = email.find_last_of('@');
    if (at == std::string::npos) return false;
    std::string dom = email.substr(at + 1);
    return std::find(d.domains.begin(), d.domains.end(), dom) != d.domains.end();
}

// ---- keys -------------------------------------------------------------------------------------------

int Gwssim_Load_Key(const std::string& root, const std::string& key_id, GwsKey& k) {
    k = GwsKey();
    if (!Gwssim_Is_Path_Component(key_id)) return -1;
    GwsJson o;
    int rc = Load_Object(root + "/keys/" + key_id + ".json", o);
    if (rc != 0) return rc;
    k.key_id = key_id;
    k.client_email = Gwssim_Json_Str(o.get(), "client_email");
    k.client_id = Gwssim_Json_Str(o.get(), "client_id");
    k.domain = Gwssim_Json_Str(o.get(), "domain");
    k.grants = Gwssim_Json_Str_List(o.get(), "grants");
    k.enabled = Gwssim_Json_Bool(o.get(), "enabled", true);
    return 0;
}

int Gwssim_Load_Key_File(const std::string& root, const std::string& key_file, GwsKey& k) {
    k = GwsKey();
    GwsJson o;
    int rc = Load_Object(key_file, o);
    if (rc != 0) return rc;
    std::string id = Gwssim_Json_Str(o.get(), "private_key_id");
    if (Gwssim_Json_Str(o.get(), "type") != "service_account" || id.empty()) return -1;
    rc = Gwssim_Load_Key(root, id, k);
    return rc == 0 ? 0 : -1;
}

std::string Gwssim_Key_Root(const std::string& root, const std::string& key_file) {
    GwsKey k;
    if (Gwssim_Load_Key_File(root, key_file, k) == 0) return root;
    const std::string base = root + "/domains";
    DIR* d = opendir(base.c_str());
    if (!d) return root;
    std::vector<std::string> names;
    while (const dirent* e = readdir(d))
        if (Gwssim_Is_Path_Component(e->d_name)) names.emplace_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        if (Gwssim_Load_Key_File(base + "/" + name, key_file, k) == 0) return base + "/" + name;
    return root;
}

int Gwssim_Save_Key(const std::string& root, const GwsKey& k) {
    if (!Gwssim_Is_Path_Component(k.key_id)) return -1;
    json_object* o = json_object_new_object();
    Gwssim_Json_Put_Str(o, "client_email", k.client_email);
    Gwssim_Json_Put_Str(o, "client_id", k.client_id);
    Gwssim_Json_Put_Str(o, "domain", k.domain);
    Gwssim_Json_Put_Str_List(o, "grants", k.grants);
    Gwssim_Json_Put_Bool(o, "enabled", k.enabled);
    return Save_Json(root + "/keys/" + k.key_id + ".json", o, true);
}

bool Gwssim_Key_In_Domain(const GwsDomain& d, const GwsKey& k) {
    return std::find(d.domains.begin(), d.domains.end(), k.domain) != d.domains.end();
}

bool Gwssim_Key_Has_Grant(const GwsKey& k, const char* grant) {
    return std::find(k.grants.begin(), k.grants.end(), grant) != k.grants.end();
}

int Gwssim_Authorize(const std::string& root, const std::string& key_file, GwsDomain& dom, GwsKey& key,
                     std::string& err) {
    if (Gwssim_Load_Domain(root, dom) != 0) {
        err = "ERROR: the simulated domain in " + root + " cannot be read";
        return -1;
    }
    int rc = Gwssim_Load_Key_File(root, key_file, key);
    if (rc == -2) {
        err = "ERROR: key file " + key_file + " does not exist";
        return -1;
    }
    if (rc != 0) {
        err = "ERROR: 401: invalid_client: the key file is not a known service-account key";
        return -1;
    }
    if (!key.enabled) {
        err = "ERROR: 401: invalid_grant: the key has been revoked";
        return -1;
    }
    if (!Gwssim_Key_In_Domain(dom, key)) {
        err = "ERROR: 403: the key belongs to domain " + key.domain + ", not to this Workspace";
        return -1;
    }
    return 0;
}

// ---- Drive -----------------------------------------------------------------------------------------

int Gwssim_Load_Drive(const std::string& root, const std::string& email, GwsDrive& d) {
    if (!Gwssim_Is_Path_Component(email)) return -1;
    return Drive_From(Drive_Path(root, email), d);
}

int Gwssim_Save_Drive(const std::string& root, const std::string& email, const GwsDrive& d) {
    if (!Gwssim_Is_Path_Component(email)) return -1;
    return Gwssim_Index_Save(Drive_Path(root, email), Drive_Json(d));
}

int Gwssim_Load_Shared_Drive(const std::string& root, const std::string& drive_id, GwsDrive& d) {
    if (!Gwssim_Is_Path_Component(drive_id)) return -1;
    int rc = Drive_From(Shared_Path(root, drive_id), d);
    if (rc == 0 && d.root_id.empty()) d.root_id = drive_id;
    return rc;
}

int Gwssim_Save_Shared_Drive(const std::string& root, const std::string& drive_id, const GwsDrive& d) {
    if (!Gwssim_Is_Path_Component(drive_id)) return -1;
    return Gwssim_Index_Save(Shared_Path(root, drive_id), Drive_Json(d));
}

// ---- Gmail -----------------------------------------------------------------------------------------

int Gwssim_Load_Mailbox(const std::string& root, const std::string& email, GwsMailbox& m) {
    m = GwsMailbox();
    if (!Gwssim_Is_Path_Component(email)) return -1;
    GwsJson o;
    int rc = Gwssim_Index_Load(Mail_Path(root, email), o);
    if (rc == -2) return 0;  // nothing stored yet: an empty mailbox
    if (rc != 0) return rc;
    json_object* a = Gwssim_Json_Array(o.get(), "labels");
    size_t n = a ? json_object_array_length(a) : 0;
    for (size_t i = 0; i < n; ++i) m.labels.push_back(Label_From(json_object_array_get_idx(a, i)));
    a = Gwssim_Json_Array(o.get(), "messages");
    n = a ? json_object_array_length(a) : 0;
    m.messages.reserve(n);
    for (size_t i = 0; i < n; ++i) m.messages.push_back(Message_From(json_object_array_get_idx(a, i)));
    return 0;
}

int Gwssim_Save_Mailbox(const std::string& root, const std::string& email, const GwsMailbox& m) {
    if (!Gwssim_Is_Path_Component(email)) return -1;
    json_object* o = json_object_new_object();
    json_object* labels = json_object_new_array();
    for (const auto& l : m.labels) json_object_array_add(labels, Label_Json(l));
    json_object_object_add(o, "labels", labels);
    json_object* msgs = json_object_new_array_ext((int)m.messages.size());
    for (const auto& msg : m.messages) json_object_array_add(msgs, Message_Json(msg));
    json_object_object_add(o, "messages", msgs);
    return Gwssim_Index_Save(Mail_Path(root, email), o);
}

// ---- One item at a time ----------------------------------------------------------------------------

namespace {

int Find_Item(const std::string& base, const std::string& id, GwsDriveItem& out, std::string* root_id) {
    out = GwsDriveItem();
    GwsJson row, head;
    int rc = Gwssim_Index_Find(base, "items", id, row, root_id ? &head : nullptr);
    if (root_id) *root_id = head ? Gwssim_Json_Str(head.get(), "root_id") : std::string();
    if (rc == 0) out = Item_From(row.get());
    return rc;
}

}  // namespace

int Gwssim_Find_Drive_Item(const std::string& root, const std::string& email, const std::string& id,
                           GwsDriveItem& out, std::string* root_id) {
    if (!Gwssim_Is_Path_Component(email)) return -1;
    return Find_Item(Drive_Path(root, email), id, out, root_id);
}

int Gwssim_Find_Shared_Drive_Item(const std::string& root, const std::string& drive_id, const std::string& id,
                                  GwsDriveItem& out) {
    if (!Gwssim_Is_Path_Component(drive_id)) return -1;
    return Find_Item(Shared_Path(root, drive_id), id, out, nullptr);
}

int Gwssim_Drive_Root_Id(const std::string& root, const std::string& email, std::string& root_id) {
    root_id.clear();
    if (!Gwssim_Is_Path_Component(email)) return -1;
    GwsJson head;
    int rc = Gwssim_Index_Head(Drive_Path(root, email), head);
    if (rc == 0) root_id = Gwssim_Json_Str(head.get(), "root_id");
    return rc;
}

int Gwssim_Add_Drive_Item(const std::string& root, const std::string& email, const GwsDriveItem& it,
                          const std::string& root_id) {
    if (!Gwssim_Is_Path_Component(email)) return -1;
    std::vector<std::pair<std::string, std::string>> head;
    if (!root_id.empty()) head.emplace_back("root_id", root_id);
    return Gwssim_Index_Add(Drive_Path(root, email), {{"items", Item_Json(it)}}, head);
}

int Gwssim_Add_Shared_Drive_Item(const std::string& root, const std::string& drive_id, const GwsDriveItem& it) {
    if (!Gwssim_Is_Path_Component(drive_id)) return -1;
    return Gwssim_Index_Add(Shared_Path(root, drive_id), {{"items", Item_Json(it)}}, {{"root_id", drive_id}});
}

int Gwssim_Find_Message(const std::string& root, const std::string& email, const std::string& id, GwsMessage& out) {
    out = GwsMessage();
    if (!Gwssim_Is_Path_Component(email)) return -1;
    GwsJson row;
    int rc = Gwssim_Index_Find(Mail_Path(root, email), "messages", id, row);
    if (rc == 0) out = Message_From(row.get());
    return rc;
}

int Gwssim_Load_Labels(const std::string& root, const std::string& email, std::vector<GwsLabel>& out) {
    out.clear();
    if (!Gwssim_Is_Path_Component(email)) return -1;
    std::vector<GwsJson> rows;
    int rc = Gwssim_Index_List(Mail_Path(root, email), "labels", rows);
    if (rc == -2) return 0;
    for (const GwsJson& r : rows) out.push_back(Label_From(r.get()));
    return rc;
}

int Gwssim_Add_Message(const std::string& root, const std::string& email, const std::vector<GwsLabel>& new_labels,
                       const GwsMessage& m) {
    if (!Gwssim_Is_Path_Component(email)) return -1;
    std::vector<std::pair<std::string, json_object*>> rows;
    for (const GwsLabel& l : new_labels) rows.emplace_back("labels", Label_Json(l));
    rows.emplace_back("messages", Message_Json(m));
    return Gwssim_Index_Add(Mail_Path(root, email), std::move(rows));
}

bool Gwssim_Has_Label(const GwsMessage& m, const std::string& label) {
    return std::find(m.labels.begin(), m.labels.end(), label) != m.labels.end();
}

// ---- Calendar ----------------------------------------------------------------------------------------

int Gwssim_Load_Calendar(const std::string& root, const std::string& email, GwsCalendar& c) {
    c = GwsCalendar();
    GwsJson o;
    int rc = Load_User_File(root, email, "calendar.json", o);
    if (rc != 0) return rc > 0 ? 0 : rc;
    json_object* a = Gwssim_Json_Array(o.get(), "events");
    size_t n = a ? json_object_array_length(a) : 0;
    for (size_t i = 0; i < n; ++i) {
        json_object* e = json_object_array_get_idx(a, i);
        if (!json_object_is_type(e, json_type_object)) continue;
        GwsEvent ev;
        json_object_object_foreach(e, key, val) {
            if (json_object_is_type(val, json_type_string))
                ev.fields.emplace_back(key, std::string(json_object_get_string(val), (size_t)json_object_get_string_len(val)));
        }
        c.events.push_back(std::move(ev));
    }
    return 0;
}

int Gwssim_Save_Calendar(const std::string& root, const std::string& email, const GwsCalendar& c) {
    if (!Gwssim_Is_Path_Component(email)) return -1;
    json_object* o = json_object_new_object();
    json_object* events = json_object_new_array_ext((int)c.events.size());
    for (const auto& ev : c.events) {
        json_object* e = json_object_new_object();
        for (const auto& [k, v] : ev.fields) Gwssim_Json_Put_Str(e, k.c_str(), v);
        json_object_array_add(events, e);
    }
    json_object_object_add(o, "events", events);
    return Save_Json(Gwssim_User_Dir(root, email) + "/calendar.json", o, false);
}

const std::string* Gwssim_Event_Field(const GwsEvent& e, const char* name) {
    for (const auto& [k, v] : e.fields)
        if (k == name) return &v;
    return nullptr;
}

void Gwssim_Event_Set(GwsEvent& e, const std::string& name, const std::string& value) {
    for (auto& [k, v] : e.fields)
        if (k == name) {
            v = value;
            return;
        }
    e.fields.emplace_back(name, value);
}

// ---- Contacts ----------------------------------------------------------------------------------------

int Gwssim_Load_Contacts(const std::string& root, const std::string& email, GwsContacts& c) {
    c = GwsContacts();
    GwsJson o;
    int rc = Load_User_File(root, email, "contacts.json", o);
    if (rc != 0) return rc > 0 ? 0 : rc;
    json_object* a = Gwssim_Json_Array(o.get(), "groups");
    size_t n = a ? json_object_array_length(a) : 0;
    for (size_t i = 0; i < n; ++i) {
        json_object* e = json_object_array_get_idx(a, i);
        c.groups.push_back({Gwssim_Json_Str(e, "resourceName"), Gwssim_Json_Str(e, "name"),
                            Gwssim_Json_Str(e, "formattedName"), Gwssim_Json_Str(e, "groupType")});
    }
    for (auto [key, list] : {std::pair{"contacts", &c.contacts}, std::pair{"other_contacts", &c.other_contacts}}) {
        a = Gwssim_Json_Array(o.get(), key);
        n = a ? json_object_array_length(a) : 0;
        for (size_t i = 0; i < n; ++i) list->push_back(Contact_From(json_object_array_get_idx(a, i)));
    }
    return 0;
}

int Gwssim_Save_Contacts(const std::string& root, const std::string& email, const GwsContacts& c) {
    if (!Gwssim_Is_Path_Component(email)) return -1;
    json_object* o = json_object_new_object();
    json_object* groups = json_object_new_array();
    for (const auto& g : c.groups) {
        json_object* e = json_object_new_object();
        Gwssim_Json_Put_Str(e, "resourceName", g.resource_name);
        Gwssim_Json_Put_Str(e, "name", g.name);
        Gwssim_Json_Put_Str(e, "formattedName", g.formatted_name);
        Gwssim_Json_Put_Str(e, "groupType", g.group_type);
        json_object_array_add(groups, e);
    }
    json_object_object_add(o, "groups", groups);
    for (auto [key, list] : {std::pair{"contacts", &c.contacts}, std::pair{"other_contacts", &c.other_contacts}}) {
        json_object* a = json_object_new_array_ext((int)list->size());
        for (const auto& ct : *list) json_object_array_add(a, Contact_Json(ct));
        json_object_object_add(o, key, a);
    }
    return Save_Json(Gwssim_User_Dir(root, email) + "/contacts.json", o, false);
}
