#include "gam_cli.h"

#include <strings.h>

#include <cctype>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string_view>

namespace {

bool Is(std::string_view a, const char* b) {
    return a.size() == strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

// One keyword of a command: it either sets a flag or takes the next argv item as its value.
struct Kw {
    const char* word;
    std::string GamCmd::*value;
    bool GamCmd::*flag;
};

// Keywords that need more than "next item" (lists, "end allday D", typed contact values).
// Returns 1 when it took the keyword (advancing i past what it used), 0 when not its word,
// 2 on a usage error.
using Special = std::function<int(std::string_view word, int& i)>;

struct Parser {
    int argc;
    char** argv;
    GamCmd& cmd;
    std::string& err;

    int Usage(std::string text) {
        err = std::move(text);
        return 2;
    }
    // The value after argv[i]; false when the command line ends there.
    bool Take(int& i, std::string& out) {
        if (i + 1 >= argc) return false;
        out = argv[++i];
        return true;
    }
    int Keywords(int i, const Kw* table, size_t n, const Special& special = nullptr) {
        for (; i < argc; ++i) {
            std::string_view word = argv[i];
            const Kw* kw = nullptr;
            for (size_t k = 0; k < n; ++k)
                if (Is(word, table[k].word)) kw = &table[k];
            if (kw && kw->flag) {
                cmd.*(kw->flag) = true;
                continue;
            }
            if (kw) {
                if (!Take(i, cmd.*(kw->value))) return Usage("Missing value after " + std::string(word));
                continue;
            }
            int r = special ? special(word, i) : 0;
            if (r == 2) return 2;
            if (r == 0) return Usage("Unknown keyword: " + std::string(word));
        }
        return 0;
    }
};

// The Drive field names of a "fields" list, as the listing's column names.
int Parse_Fields(const std::string& list, std::vector<std::string>& out, std::string& err) {
    static const struct {
        const char* asked;
        const char* column;
    } kFields[] = {
        {"id", "id"}, {"name", "name"}, {"title", "name"}, {"modifiedtime", "modifiedTime"},
        {"md5", "md5Checksum"}, {"md5checksum", "md5Checksum"}, {"size", "size"},
        {"createddate", "createdTime"}, {"createdtime", "createdTime"},
        {"mimetype", "mimeType"}, {"parents", "parents"},
    };
    out.clear();
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t comma = list.find(',', pos);
        if (comma == std::string::npos) comma = list.size();
        std::string_view one(list.data() + pos, comma - pos);
        const char* column = nullptr;
        for (const auto& f : kFields)
            if (Is(one, f.asked)) column = f.column;
        if (!column) {
            err = "Unknown Drive field: " + std::string(one);
            return 2;
        }
        out.emplace_back(column);
        pos = comma + 1;
    }
    return 0;
}

// GAM's check of a mimetype argument: lower-cased, a known top-level type (or a Google type)
// before "/" and something after it.
int Check_Mime_Type(const std::string& asked, std::string& out) {
    std::string t = asked;
    for (char& c : t) c = (char)tolower((unsigned char)c);
    size_t slash = t.find('/');
    if (slash == std::string::npos || slash + 1 == t.size()) return 2;
    bool known = t.rfind("application/vnd.google-apps.", 0) == 0;
    for (const char* top : {"application", "audio", "font", "image", "message", "model", "multipart", "text", "video"})
        known = known || t.substr(0, slash) == top;
    if (!known) return 2;
    out = t;
    return 0;
}

// "phone work VALUE [primary|notprimary]": a type, exactly one value, then the optional mark.
int Take_Typed(Parser& p, int& i, GamTyped& out) {
    if (!p.Take(i, out.type) || !p.Take(i, out.value)) return p.Usage("Missing type or value after a contact item");
    out.set = true;
    if (i + 1 < p.argc && (Is(p.argv[i + 1], "primary") || Is(p.argv[i + 1], "notprimary"))) ++i;
    return 1;
}

// "start DT", "start allday D", "allday D", "end DT", "end allday D".
int Take_Time(Parser& p, int& i, std::string& value, bool& all_day) {
    if (!p.Take(i, value)) return p.Usage("Missing event time");
    if (Is(value, "allday")) {
        all_day = true;
        if (!p.Take(i, value)) return p.Usage("Missing date after allday");
    }
    return 1;
}

int Parse_User_Command(Parser& p) {
    GamCmd& cmd = p.cmd;
    if (p.argc < 5) return p.Usage("Incomplete command");
    std::string_view verb = p.argv[3], object = p.argv[4];
    std::string fields;
    auto fields_kw = [&](std::string_view word, int& i) {
        if (!Is(word, "fields")) return 0;
        if (!p.Take(i, fields)) return p.Usage("Missing value after fields");
        return Parse_Fields(fields, cmd.fields, p.err) == 0 ? 1 : 2;
    };
    if (Is(verb, "print") && (Is(object, "filelist") || Is(object, "filetree"))) {
        cmd.op = Is(object, "filelist") ? GamOp::FileList : GamOp::FileTree;
        static const Kw kw[] = {{"select", &GamCmd::select, nullptr},
                                {"excludetrashed", nullptr, &GamCmd::exclude_trashed}};
        bool noindent = false;
        int r = p.Keywords(5, kw, 2, [&](std::string_view word, int& i) {
            if (cmd.op == GamOp::FileTree && Is(word, "noindent")) return noindent = true, 1;
            return fields_kw(word, i);
        });
        if (r) return r;
        if (cmd.op == GamOp::FileTree && !noindent) return p.Usage("filetree needs noindent");
        if (cmd.fields.empty()) cmd.fields = {"id", "name"};
        return 0;
    }
    if (Is(verb, "show") && Is(object, "drivefileacls")) {
        cmd.op = GamOp::ShowAcls;
        int i = 4;
        if (!p.Take(i, cmd.item_id)) return p.Usage("Missing file id");
        bool json = false;
        static const Kw kw[] = {{"adminaccess", nullptr, &GamCmd::admin_access}};
        int r = p.Keywords(i + 1, kw, 1, [&](std::string_view word, int&) {
            return Is(word, "formatjson") ? (json = true, 1) : 0;
        });
        if (r) return r;
        return json ? 0 : p.Usage("Only formatjson output is supported");
    }
    if (Is(verb, "get") && Is(object, "drivefile")) {
        cmd.op = GamOp::GetFile;
        static const Kw kw[] = {{"id", &GamCmd::item_id, nullptr},
                                {"targetfolder", &GamCmd::target_folder, nullptr},
                                {"targetname", &GamCmd::target_name, nullptr}};
        if (int r = p.Keywords(5, kw, 3)) return r;
        if (cmd.item_id.empty()) return p.Usage("Missing id");
        // Content goes to standard output only; nothing is ever written into targetfolder.
        return cmd.target_name == "-" ? 0 : p.Usage("Only targetname - is supported");
    }
    if (Is(verb, "print") && Is(object, "messages")) {
        cmd.op = GamOp::CountMessages;
        bool counts = false;
        static const Kw kw[] = {{"includespamtrash", nullptr, &GamCmd::include_spam_trash}};
        int r = p.Keywords(5, kw, 1, [&](std::string_view word, int&) {
            return Is(word, "countsonly") ? (counts = true, 1) : 0;
        });
        if (r) return r;
        return counts ? 0 : p.Usage("Only countsonly is supported");
    }
    if (Is(verb, "export") && Is(object, "messages")) {
        cmd.op = GamOp::ExportMessage;
        static const Kw kw[] = {{"ids", &GamCmd::item_id, nullptr},
                                {"targetname", &GamCmd::target_name, nullptr}};
        if (int r = p.Keywords(5, kw, 2)) return r;
        return cmd.item_id.empty() || cmd.target_name.empty() ? p.Usage("Missing ids or targetname") : 0;
    }
    if (Is(verb, "print") && Is(object, "contactgroup")) {
        cmd.op = GamOp::PrintGroups;
        return p.Keywords(5, nullptr, 0);
    }
    if (Is(verb, "print") && Is(object, "contacts")) {
        cmd.op = GamOp::PrintContacts;
        bool all = false;
        int r = p.Keywords(5, nullptr, 0, [&](std::string_view word, int&) {
            return Is(word, "allfields") ? (all = true, 1) : 0;
        });
        if (r) return r;
        return all ? 0 : p.Usage("Only allfields is supported");
    }
    if (Is(verb, "create") && Is(object, "drivefile")) {
        std::string mimetype;
        bool idonly = false, typed = false;
        static const Kw kw[] = {{"drivefilename", &GamCmd::name, nullptr},
                                {"localfile", &GamCmd::local_file, nullptr}};
        int r = p.Keywords(5, kw, 2, [&](std::string_view word, int& i) {
            if (Is(word, "returnidonly")) return idonly = true, 1;
            if (Is(word, "mimetype")) return p.Take(i, mimetype) ? (typed = true, 1) : p.Usage("Missing mimetype");
            if (Is(word, "parentid")) {
                cmd.has_parent = true;
                return p.Take(i, cmd.parent_id) ? 1 : p.Usage("Missing parentid");
            }
            return 0;
        });
        if (r) return r;
        if (!idonly) return p.Usage("Only returnidonly is supported");
        bool folder = Is(mimetype, "gfolder");
        if (folder == !cmd.local_file.empty()) return p.Usage("Give either mimetype gfolder or localfile");
        cmd.op = folder ? GamOp::CreateFolder : GamOp::UploadFile;
        if (!folder && typed && Check_Mime_Type(mimetype, cmd.mime_type) != 0)
            return p.Usage("Invalid argument: mimetype: " + mimetype);
        return 0;
    }
    if (Is(verb, "insert") && Is(object, "messages")) {
        cmd.op = GamOp::InsertMessage;
        static const Kw kw[] = {{"emlfile", &GamCmd::eml_file, nullptr}};
        int r = p.Keywords(5, kw, 1, [&](std::string_view word, int& i) {
            std::string v;
            if (Is(word, "addlabel")) {
                if (!p.Take(i, v)) return p.Usage("Missing label");
                cmd.labels.push_back(v);
                return 1;
            }
            if (Is(word, "charset")) {
                if (!p.Take(i, v)) return p.Usage("Missing charset");
                for (char& c : v) c = (char)tolower((unsigned char)c);
                if (v == "latin-1" || v == "iso-8859-1" || v == "iso8859-1") v = "latin1";
                if (v == "utf8") v = "utf-8";
                if (v != "ascii" && v != "latin1" && v != "utf-8") return p.Usage("Unknown charset: " + v);
                cmd.charset = v;
                return 1;
            }
            if (Is(word, "deleted")) {
                if (!p.Take(i, v) || !(Is(v, "true") || Is(v, "false"))) return p.Usage("deleted takes true or false");
                cmd.deleted = Is(v, "true");
                return 1;
            }
            return 0;
        });
        if (r) return r;
        return cmd.eml_file.empty() ? p.Usage("Missing emlfile") : 0;
    }
    if (Is(verb, "create") && Is(object, "contacts")) {
        cmd.op = GamOp::CreateContact;
        static const Kw kw[] = {{"firstname", &GamCmd::given_name, nullptr},
                                {"givenname", &GamCmd::given_name, nullptr},
                                {"familyname", &GamCmd::family_name, nullptr},
                                {"lastname", &GamCmd::family_name, nullptr},
                                {"title", &GamCmd::title, nullptr},
                                {"department", &GamCmd::department, nullptr}};
        return p.Keywords(5, kw, 6, [&](std::string_view word, int& i) {
            if (Is(word, "phone")) return Take_Typed(p, i, cmd.phone);
            if (Is(word, "email")) return Take_Typed(p, i, cmd.email);
            if (Is(word, "organization")) return Take_Typed(p, i, cmd.organization);
            return 0;
        });
    }
    return p.Usage("Unknown command: " + std::string(verb) + " " + std::string(object));
}

}  // namespace

int Gam_Parse(int argc, char** argv, GamCmd& cmd, std::string& err) {
    cmd = GamCmd{};
    if (argc <= 1) return 0;
    Parser p{argc, argv, cmd, err};
    std::string_view scope = argv[1];
    if (argc < 3) return p.Usage("Missing account after " + std::string(scope));
    cmd.user = argv[2];
    if (Is(scope, "user")) return Parse_User_Command(p);
    if (argc < 5) return p.Usage("Incomplete command");
    std::string_view verb = argv[3], object = argv[4];
    if (Is(scope, "calendars") && Is(verb, "print") && Is(object, "events")) {
        cmd.op = GamOp::PrintEvents;
        return p.Keywords(5, nullptr, 0);
    }
    if (Is(scope, "calendar") && Is(verb, "import") && Is(object, "event")) {
        cmd.op = GamOp::ImportEvent;
        static const Kw kw[] = {{"icaluid", &GamCmd::ical_uid, nullptr},
                                {"summary", &GamCmd::summary, nullptr},
                                {"location", &GamCmd::location, nullptr}};
        int r = p.Keywords(5, kw, 3, [&](std::string_view word, int& i) {
            if (Is(word, "allday")) {
                cmd.start_all_day = true;
                return p.Take(i, cmd.start) ? 1 : p.Usage("Missing date after allday");
            }
            if (Is(word, "start")) return Take_Time(p, i, cmd.start, cmd.start_all_day);
            if (Is(word, "end")) return Take_Time(p, i, cmd.end, cmd.end_all_day);
            return 0;
        });
        if (r) return r;
        return cmd.ical_uid.empty() ? p.Usage("Missing icaluid") : 0;
    }
    return p.Usage("Unknown command");
}
