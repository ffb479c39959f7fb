// Drive commands: listings (file list, pre-order tree), permissions, download, folder creation
// and upload, over the acting user's My Drive or one shared drive.
#include "gam.h"
#include "gam_out.h"

#include <gwssim/shares.h>

#include <json-c/json.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <set>

namespace {

const char kFolderMime[] = "application/vnd.google-apps.folder";
const char kShortcutMime[] = "application/vnd.google-apps.shortcut";
const char kFormMime[] = "application/vnd.google-apps.form";

bool Is_Folder(const GwsDriveItem& it) { return it.mime_type == kFolderMime; }
bool Is_Native(const std::string& mime) { return mime.rfind("application/vnd.google-apps.", 0) == 0; }

// The made-up folder a My Drive file tree ends with, holding the files whose parent the user
// cannot see. It is no Drive item: nothing else knows its id.
const char kOrphansId[] = "Orphans";

// A user's My Drive, or a shared drive; loaded whole, since every command needs the tree.
struct DriveRef {
    const GwsSharedDrive* shared = nullptr;  // null: the acting user's My Drive
    GwsDrive drive;
    std::set<std::string> orphans;  // My Drive items whose parent is neither the root nor an item
};

// A user who has no Drive stored yet still has a root folder; its id is derived from the user id
// so that it stays the same from one call to the next, and is stored by the first write.
std::string My_Root_Id(const GwsDrive& d, const GwsUser& u) {
    return d.root_id.empty() ? "0A" + u.id + "Uk9PVA" : d.root_id;
}

const GwsMember* Member_Of(const GwsSharedDrive& sd, const std::string& email) {
    for (const GwsMember& m : sd.members)
        if (m.type == "user" && m.email == email) return &m;
    return nullptr;
}

bool Can_Write(const std::string& role) {
    return role == "organizer" || role == "fileOrganizer" || role == "writer" || role == "owner";
}

int Load(GamCtx& ctx, DriveRef& ref) {
    int rc = ref.shared ? Gwssim_Load_Shared_Drive(ctx.root, ref.shared->id, ref.drive)
                        : Gwssim_Load_Drive(ctx.root, ctx.user->email, ref.drive);
    if (rc == -2 && ref.shared) {  // a shared drive without items yet
        ref.drive = GwsDrive{ref.shared->id, {}};
        return 0;
    }
    if (rc != 0) return Gam_Error("500: backendError: the Drive of " + ctx.user->email + " cannot be read");
    if (ref.shared) ref.drive.root_id = ref.shared->id;
    else ref.drive.root_id = My_Root_Id(ref.drive, *ctx.user);
    if (!ref.shared) {
        std::set<std::string> ids;
        for (const GwsDriveItem& it : ref.drive.items) ids.insert(it.id);
        for (const GwsDriveItem& it : ref.drive.items)
            if (it.parent != ref.drive.root_id && !ids.count(it.parent)) ref.orphans.insert(it.id);
    }
    return 0;
}

// The drive a listing names: "select SD" (the user must be a member) or the user's own My Drive.
int Open_Listed_Drive(const GamCmd& cmd, GamCtx& ctx, DriveRef& ref) {
    if (!cmd.select.empty()) {
        ref.shared = Gwssim_Find_Shared_Drive(ctx.domain, cmd.select);
        if (!ref.shared) return Gam_Error("404: Shared Drive ID: " + cmd.select + ": notFound");
        if (!Member_Of(*ref.shared, ctx.user->email))
            return Gam_Error("403: User " + ctx.user->email + " is not a member of Shared Drive " + cmd.select);
    }
    return Load(ctx, ref);
}

// Items that are trashed themselves or lie below a trashed folder.
std::vector<bool> Trashed_Mask(const GwsDrive& d) {
    std::map<std::string, size_t> at;
    for (size_t i = 0; i < d.items.size(); ++i) at[d.items[i].id] = i;
    std::vector<int> state(d.items.size(), -1);  // -1 unknown, 0 live, 1 trashed
    std::vector<bool> mask(d.items.size());
    for (size_t i = 0; i < d.items.size(); ++i) {
        std::vector<size_t> chain;
        size_t cur = i;
        int verdict = 0;
        // Walk up until an answer is known; the chain length bounds a cycle in broken data.
        while (chain.size() <= d.items.size()) {
            if (state[cur] >= 0) { verdict = state[cur]; break; }
            chain.push_back(cur);
            if (d.items[cur].trashed) { verdict = 1; break; }
            auto p = at.find(d.items[cur].parent);
            if (p == at.end()) break;
            cur = p->second;
        }
        for (size_t c : chain) state[c] = verdict;
        mask[i] = state[i] == 1;
    }
    return mask;
}

// One column of an item as Drive reports it: binary files have an MD5 and a size, editor files
// (Docs, Sheets, Slides) a size (their storage size) and no MD5, other native types neither.
// An orphan's parent is not visible to the user, so it has none.
std::string Field(const DriveRef& ref, const GwsDriveItem& it, const std::string& f) {
    if (f == "id") return it.id;
    if (f == "name") return it.name;
    if (f == "mimeType") return it.mime_type;
    if (f == "parents") return ref.orphans.count(it.id) ? std::string() : it.parent;
    if (f == "createdTime") return Gam_Time(it.created_time);
    if (f == "modifiedTime") return Gam_Time(it.modified_time);
    bool content = !Is_Folder(it) && !Is_Native(it.mime_type);
    if (f == "md5Checksum") return content ? it.md5 : std::string();
    bool sized = content || Gwssim_Is_Editor_Type(it.mime_type);
    if (f == "size") return sized && it.size >= 0 ? std::to_string(it.size) : std::string();
    return std::string();
}

}  // namespace

int Gam_File_List(const GamCmd& cmd, GamCtx& ctx) {
    DriveRef ref;
    if (int rc = Open_Listed_Drive(cmd, ctx, ref)) return rc;
    // GAM's order: Owner, id and name lead, the other fields follow sorted by name.
    std::vector<std::string> lead{"Owner"}, also;
    for (const char* f : {"id", "name"})
        if (std::find(cmd.fields.begin(), cmd.fields.end(), f) != cmd.fields.end()) lead.push_back(f);
    for (const std::string& f : cmd.fields)
        if (f != "id" && f != "name") also.push_back(f);
    std::vector<FlatRow> rows;
    // The Owner cell names the acting user, whoever owns the file.
    auto add = [&](const DriveRef& from, const GwsDriveItem& it, bool shared) {
        FlatRow row{{"Owner", ctx.user->email}};
        for (const std::string& f : cmd.fields) row[f] = shared && f == "parents" ? std::string() : Field(from, it, f);
        rows.push_back(std::move(row));
    };
    std::vector<bool> trashed = Trashed_Mask(ref.drive);
    for (size_t i = 0; i < ref.drive.items.size(); ++i)
        if (!(cmd.exclude_trashed && trashed[i])) add(ref, ref.drive.items[i], false);
    // A My Drive listing also holds the files other users have shared with this one; their
    // parents lie in the owner's Drive, out of this user's sight.
    std::vector<std::string> owners;
    if (!ref.shared && Gwssim_Sharers_Of(ctx.root, ctx.user->email, owners) != 0)
        return Gam_Error("500: backendError: the shares of " + ctx.user->email + " cannot be read");
    for (const std::string& owner : owners) {
        DriveRef theirs;
        if (Gwssim_Load_Drive(ctx.root, owner, theirs.drive) != 0)
            return Gam_Error("500: backendError: the Drive of " + owner + " cannot be read");
        std::vector<bool> gone = Trashed_Mask(theirs.drive);
        for (size_t i = 0; i < theirs.drive.items.size(); ++i) {
            const GwsDriveItem& it = theirs.drive.items[i];
            if (Gwssim_Is_Shared_With(it, ctx.user->email) && !(cmd.exclude_trashed && gone[i])) add(theirs, it, true);
        }
    }
    return Listing_Status(Csv_Table(ctx.out, lead, rows, also));
}

int Gam_File_Tree(const GamCmd& cmd, GamCtx& ctx) {
    DriveRef ref;
    if (int rc = Open_Listed_Drive(cmd, ctx, ref)) return rc;
    const GwsDrive& d = ref.drive;
    std::vector<bool> trashed = Trashed_Mask(d);
    std::map<std::string, std::vector<const GwsDriveItem*>> children;
    for (size_t i = 0; i < d.items.size(); ++i)
        if (!(cmd.exclude_trashed && trashed[i])) children[d.items[i].parent].push_back(&d.items[i]);
    for (auto& [parent, list] : children)
        std::sort(list.begin(), list.end(), [](const GwsDriveItem* a, const GwsDriveItem* b) {
            return a->name != b->name ? a->name < b->name : a->id < b->id;
        });

    // The files whose parent the user cannot see, under the made-up "Orphans" top row.
    std::vector<const GwsDriveItem*> orphans;
    for (size_t i = 0; i < d.items.size(); ++i)
        if (ref.orphans.count(d.items[i].id) && !(cmd.exclude_trashed && trashed[i])) orphans.push_back(&d.items[i]);
    // GAM's own first line counts the top rows (the root, and Orphans when it has children), not
    // the items; the table starts on the second.
    const size_t tops = orphans.empty() ? 1 : 2;
    ctx.out = "User: " + ctx.user->email + ", Print " + std::to_string(tops) +
              (tops == 1 ? " Drive File/Folder\n" : " Drive Files/Folders\n");
    std::vector<std::string> extra;  // the asked fields but name (which is fixed), sorted by name
    for (const std::string& f : cmd.fields)
        if (f != "name") extra.push_back(f);
    std::sort(extra.begin(), extra.end());
    std::vector<std::string> cells{"User", "index", "depth", "name"};
    cells.insert(cells.end(), extra.begin(), extra.end());
    Csv_Row(ctx.out, cells);

    GwsDriveItem root;
    root.id = d.root_id;
    root.name = ref.shared ? "SharedDrives/" + ref.shared->name : "My Drive";
    root.mime_type = kFolderMime;
    long long index = 0;
    auto row = [&](const GwsDriveItem& it, long long depth) {
        cells = {ctx.user->email, std::to_string(++index), std::to_string(depth), it.name};
        for (const std::string& f : extra) cells.push_back(Field(ref, it, f));
        Csv_Row(ctx.out, cells);
    };
    row(root, -1);
    // Pre-order: each folder is followed at once by its whole subtree. An explicit stack, since
    // a deep tree must not exhaust the call stack; `seen` stops a cycle in broken data.
    std::vector<std::pair<const GwsDriveItem*, long long>> stack;
    std::map<std::string, bool> seen;
    auto push_children = [&](const std::string& parent, long long depth) {
        auto it = children.find(parent);
        if (it == children.end() || seen[parent]) return;
        seen[parent] = true;
        for (auto c = it->second.rbegin(); c != it->second.rend(); ++c) stack.emplace_back(*c, depth);
    };
    auto walk = [&] {
        while (!stack.empty()) {
            auto [it, depth] = stack.back();
            stack.pop_back();
            row(*it, depth);
            if (Is_Folder(*it)) push_children(it->id, depth + 1);
        }
    };
    push_children(root.id, 0);
    walk();
    // Then the second top row, "Orphans".
    if (orphans.empty()) return 0;
    GwsDriveItem top;
    top.id = kOrphansId;
    top.name = "Orphans";
    top.mime_type = kFolderMime;
    row(top, -1);
    std::sort(orphans.begin(), orphans.end(), [](const GwsDriveItem* a, const GwsDriveItem* b) {
        return a->name != b->name ? a->name < b->name : a->id < b->id;
    });
    for (auto c = orphans.rbegin(); c != orphans.rend(); ++c) stack.emplace_back(*c, 0);
    walk();
    return 0;
}

namespace {

// An item found for a command, in the drive that holds it.
struct Located {
    DriveRef ref;
    const GwsDriveItem* item = nullptr;  // null when the id names the drive itself
    std::string role;                    // the acting user's role on it
};

// Looks id up in the drive loc.ref names, the drive itself included, reading that one item only.
int Find_In(GamCtx& ctx, Located& loc, const std::string& id, bool& found) {
    DriveRef& ref = loc.ref;
    GwsDriveItem it;
    int rc;
    if (ref.shared) {
        ref.drive.root_id = ref.shared->id;
        rc = id == ref.drive.root_id ? 0 : Gwssim_Find_Shared_Drive_Item(ctx.root, ref.shared->id, id, it);
    } else {
        std::string stored;
        rc = Gwssim_Find_Drive_Item(ctx.root, ctx.user->email, id, it, &stored);
        ref.drive.root_id = My_Root_Id(GwsDrive{stored, {}}, *ctx.user);
        if (id == ref.drive.root_id) rc = 0, it.id.clear();
    }
    found = rc == 0;
    if (rc != 0 && rc != -2) return Gam_Error("500: backendError: the Drive of " + ctx.user->email + " cannot be read");
    if (found && !it.id.empty()) {
        ref.drive.items.push_back(std::move(it));
        loc.item = &ref.drive.items.back();
    }
    return 0;
}

// Finds id (an item, a My Drive root or a shared drive) in the acting user's My Drive, then in
// the shared drives the user belongs to (every shared drive with admin access). 0 when found;
// the failed-action status after the 404 error.
int Locate(const std::string& id, bool admin_access, GamCtx& ctx, Located& loc) {
    loc.role = "owner";
    bool found = false;
    if (int rc = Find_In(ctx, loc, id, found)) return rc;
    if (found) return 0;
    for (const GwsSharedDrive& sd : ctx.domain.shared_drives) {
        const GwsMember* m = Member_Of(sd, ctx.user->email);
        if (!m && !admin_access) continue;
        loc.ref = DriveRef{};
        loc.ref.shared = &sd;
        loc.role = m ? m->role : "organizer";
        if (int rc = Find_In(ctx, loc, id, found)) return rc;
        if (found) return 0;
    }
    return Gam_Error("404: File ID: " + id + ": notFound");
}

json_object* Str(const std::string& v) { return json_object_new_string_len(v.data(), (int)v.size()); }

// One permission with every field Drive gives, keys in sorted order as GAM prints them. A
// permission of a shared drive (or of an item in one) tells whether it comes from the drive.
// drive: the shared drive's id, empty in a My Drive.
json_object* Permission_Json(const GamCtx& ctx, const GwsMember& m, const std::string& drive, bool inherited) {
    const GwsUser* u = m.type == "user" ? Gwssim_Find_User(ctx.domain, m.email) : nullptr;
    // Users keep their account id; others get a stable number of their own.
    std::string id = u ? u->id : m.type == "domain" ? m.email + "d" : std::string();
    if (!u) {
        std::string h = Gwssim_Md5_Hex(m.type + ":" + m.email);
        for (size_t i = 0; i < 20 && i < h.size(); ++i) id += (char)('0' + (unsigned char)h[i] % 10);
    }
    json_object* p = json_object_new_object();
    json_object_object_add(p, "deleted", json_object_new_boolean(0));
    json_object_object_add(p, "displayName", Str(m.display_name));
    if (m.type == "domain") json_object_object_add(p, "domain", Str(ctx.domain.domains[0]));
    if (!m.email.empty()) json_object_object_add(p, "emailAddress", Str(m.email));
    json_object_object_add(p, "id", Str(id));
    json_object_object_add(p, "kind", json_object_new_string("drive#permission"));
    json_object_object_add(p, "pendingOwner", json_object_new_boolean(0));
    if (!drive.empty()) {
        json_object* d = json_object_new_object();
        json_object_object_add(d, "inherited", json_object_new_boolean(inherited));
        if (inherited) json_object_object_add(d, "inheritedFrom", Str(drive));
        json_object_object_add(d, "permissionType", json_object_new_string(inherited ? "member" : "file"));
        json_object_object_add(d, "role", Str(m.role));
        json_object* list = json_object_new_array();
        json_object_array_add(list, d);
        json_object_object_add(p, "permissionDetails", list);
    }
    json_object_object_add(p, "role", Str(m.role));
    json_object_object_add(p, "type", Str(m.type));
    return p;
}

}  // namespace

int Gam_Show_Acls(const GamCmd& cmd, GamCtx& ctx) {
    if (cmd.admin_access && !ctx.user->admin)
        return Gam_Error("403: User " + ctx.user->email + " is not a domain administrator");
    Located loc;
    if (int rc = Locate(cmd.item_id, cmd.admin_access, ctx, loc)) return rc;
    std::vector<GwsMember> perms;
    if (loc.ref.shared) {
        perms = loc.ref.shared->members;
    } else if (!loc.item || loc.item->owner.empty() || loc.item->owner == ctx.user->email) {
        perms.push_back(GwsMember{ctx.user->email, ctx.user->name, "owner", "user"});
    } else {
        perms.push_back(GwsMember{loc.item->owner, std::string(), "owner", "user"});
    }
    if (loc.item) perms.insert(perms.end(), loc.item->permissions.begin(), loc.item->permissions.end());

    // Members of a shared drive hold their access from the drive on every item in it.
    const size_t from_drive = loc.ref.shared ? loc.ref.shared->members.size() : 0;
    std::unique_ptr<json_object, int (*)(json_object*)> o(json_object_new_object(), json_object_put);
    json_object_object_add(o.get(), "Owner", Str(ctx.user->email));
    json_object_object_add(o.get(), "id", Str(cmd.item_id));
    json_object* list = json_object_new_array();
    for (size_t i = 0; i < perms.size(); ++i)
        json_object_array_add(list, Permission_Json(ctx, perms[i], loc.ref.shared ? loc.ref.shared->id : std::string(),
                                                    loc.item != nullptr && i < from_drive));
    json_object_object_add(o.get(), "permissions", list);
    // formatjson: the whole object on one line.
    ctx.out = json_object_to_json_string_ext(o.get(), JSON_C_TO_STRING_SPACED | JSON_C_TO_STRING_NOSLASHESCAPE);
    ctx.out += '\n';
    return 0;
}

int Gam_Get_File(const GamCmd& cmd, GamCtx& ctx) {
    Located loc;
    if (int rc = Locate(cmd.item_id, false, ctx, loc)) return rc;
    const GwsDriveItem* it = loc.item;
    // A shortcut is followed: its target is what downloads.
    if (it && it->mime_type == kShortcutMime) {
        if (it->shortcut_target.empty())
            return Gam_Error("File ID: " + it->id + ", Download Failed: the shortcut has no target");
        std::string target = it->shortcut_target;
        loc = Located{};
        if (int rc = Locate(target, false, ctx, loc)) return rc;
        it = loc.item;
        if (it && it->mime_type == kShortcutMime)
            return Gam_Error("File ID: " + it->id + ", Download Failed: a shortcut to a shortcut");
    }
    if (!it || Is_Folder(*it)) return Gam_Error("File ID: " + cmd.item_id + ", Download Failed: is a folder");
    // Drawings, Apps Script projects and Forms have no export GAM can fetch; the other native
    // types (sites, maps, ...) cannot be downloaded at all.
    if (Gwssim_Is_Unexportable_Type(it->mime_type) || it->mime_type == kFormMime)
        return Gam_Error("File ID: " + it->id + ", Download Not Performed: no export format for " + it->mime_type,
                         kGamNotPerformed);
    bool editor = Gwssim_Is_Editor_Type(it->mime_type);
    if (Is_Native(it->mime_type) && !editor)
        return Gam_Error("File ID: " + it->id + ", Download Failed: fileNotDownloadable: " + it->mime_type);
    std::string path = loc.ref.shared ? Gwssim_Shared_Blob_Path(ctx.root, loc.ref.shared->id, it->id)
                                      : Gwssim_Drive_Blob_Path(ctx.root, ctx.user->email, it->id);
    std::string bytes;  // a file without content: 0 bytes
    if (it->has_blob && Gwssim_Read_File(path, bytes) != 0)
        return Gam_Error("500: backendError: content of " + it->id + " is missing");
    // An editor file downloads as its OpenDocument export, never as its storage.
    ctx.out = editor ? Gwssim_Odf_Export(it->mime_type, bytes) : std::move(bytes);
    return 0;
}

namespace {

// The MIME type an upload gets without a mimetype argument: GAM guesses it from the local file's
// extension as Python's mimetypes does (the extension as written, then lower-cased), else
// application/octet-stream. The drivefilename plays no part.
std::string Mime_For(const std::string& path) {
    static const struct {
        const char* ext;
        const char* mime;
    } kTypes[] = {
        {"txt", "text/plain"}, {"csv", "text/csv"}, {"html", "text/html"}, {"htm", "text/html"},
        {"json", "application/json"}, {"xml", "text/xml"}, {"pdf", "application/pdf"},
        {"zip", "application/zip"}, {"png", "image/png"}, {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"},
        {"gif", "image/gif"}, {"mp3", "audio/mpeg"}, {"mp4", "video/mp4"}, {"eml", "message/rfc822"},
        {"doc", "application/msword"}, {"xls", "application/vnd.ms-excel"},
        {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
        {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
        {"odt", "application/vnd.oasis.opendocument.text"},
        {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
        {"odp", "application/vnd.oasis.opendocument.presentation"},
    };
    // splitext of the last path component: a leading dot starts no extension.
    size_t base = path.rfind('/');
    base = base == std::string::npos ? 0 : base + 1;
    size_t start = path.find_first_not_of('.', base);
    size_t dot = path.rfind('.');
    if (start != std::string::npos && dot != std::string::npos && dot > start) {
        std::string ext = path.substr(dot + 1), lower = ext;
        for (char& c : lower) c = (char)tolower((unsigned char)c);
        for (const std::string& e : {ext, lower})
            for (const auto& t : kTypes)
                if (e == t.ext) return t.mime;
    }
    return "application/octet-stream";
}

// The local file opens for reading; else the text Python's open() gives ("[Errno 2] No such
// file or directory").
bool Local_File_Opens(const std::string& path, std::string& why) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int e = fd < 0 ? errno : 0;
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) e = EISDIR;
    if (fd >= 0) close(fd);
    if (e == 0) return true;
    why = "[Errno " + std::to_string(e) + "] " + strerror(e);
    return false;
}

}  // namespace

int Gam_Create_Drive_File(const GamCmd& cmd, GamCtx& ctx) {
    bool folder = cmd.op == GamOp::CreateFolder;
    // GAM opens the local file before it calls Drive; a file it cannot open is a usage error.
    if (std::string why; !folder && !Local_File_Opens(cmd.local_file, why))
        return Gam_Error(cmd.local_file + ": " + why, kGamUsage);
    GwsLock lock;
    if (Gwssim_Lock_State(ctx.root, lock) != 0) return Gam_Error("500: backendError: the domain cannot be locked");
    Located loc;
    std::string parent = cmd.has_parent ? cmd.parent_id : std::string();
    if (parent.empty()) {
        if (cmd.has_parent) return Gam_Error("404: File ID: (empty): notFound");
        std::string stored;
        if (Gwssim_Drive_Root_Id(ctx.root, ctx.user->email, stored) != 0)
            return Gam_Error("500: backendError: the Drive of " + ctx.user->email + " cannot be read");
        loc.ref.drive.root_id = My_Root_Id(GwsDrive{stored, {}}, *ctx.user);
        loc.role = "owner";
        parent = loc.ref.drive.root_id;
    } else if (int rc = Locate(parent, false, ctx, loc)) {
        return rc;
    }
    if (loc.item && !Is_Folder(*loc.item)) return Gam_Error("400: Parent ID: " + parent + ": is not a folder");
    if (!Can_Write(loc.role)) return Gam_Error("403: insufficientFilePermissions: " + ctx.user->email + " on " + parent);

    GwsDriveItem it;
    if (Gwssim_New_Id(ctx.root, "file", it.id) != 0) return Gam_Error("500: backendError: no new id");
    it.name = cmd.name;
    it.parent = parent;
    it.owner = loc.ref.shared ? std::string() : ctx.user->email;
    it.created_time = it.modified_time = Gwssim_Now_Time();
    if (folder) {
        it.mime_type = kFolderMime;
    } else {
        it.mime_type = cmd.mime_type.empty() ? Mime_For(cmd.local_file) : cmd.mime_type;
        std::string blob = loc.ref.shared ? Gwssim_Shared_Blob_Path(ctx.root, loc.ref.shared->id, it.id)
                                          : Gwssim_Drive_Blob_Path(ctx.root, ctx.user->email, it.id);
        // The content is stored before the Drive file that names it.
        if (Gwssim_Copy_File_In(cmd.local_file, blob, it.md5, it.size) != 0)
            return Gam_Error("Local file " + cmd.local_file + " cannot be read", kGamFileError);
        it.has_blob = true;
    }
    // Only the new item is written (a My Drive's root id with it, which the first write stores).
    int rc = loc.ref.shared ? Gwssim_Add_Shared_Drive_Item(ctx.root, loc.ref.shared->id, it)
                            : Gwssim_Add_Drive_Item(ctx.root, ctx.user->email, it, loc.ref.drive.root_id);
    if (rc != 0) return Gam_Error("500: backendError: the Drive cannot be written");
    ctx.out = it.id + "\n";
    return 0;
}
