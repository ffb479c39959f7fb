// gwssim init: a deterministic domain. The demo people and their hand-made items come first, then
// generated items up to the sizes asked for. Everything derives from the seed: no clock, no
// randomness from outside, so the same options give the same bytes.
#include "admin.h"

#include <gwssim/state.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kFolder[] = "application/vnd.google-apps.folder";
const long long kBaseMs = 1704704400000LL;  // 2024-01-08T09:00:00Z

struct Rng {
    unsigned long long s;
    unsigned long long Next() {
        unsigned long long x = (s += 0x9e3779b97f4a7c15ULL);
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
        return x ^ (x >> 31);
    }
    unsigned long long Below(unsigned long long n) { return n ? Next() % n : 0; }
};

// Everything one init run builds, written at the end.
struct Builder {
    std::string dir;
    Rng rng;
    unsigned long long seq;       // the id counter; stored as "seq" for later writers
    std::string err;

    std::string Id(const char* kind) { return Gwssim_Format_Id(kind, ++seq); }
    long long Time_Ms() { return kBaseMs + (long long)rng.Below(86400000ULL * 60); }
};

int Make_Dirs(const std::string& dir) {
    struct stat st;
    if (dir.empty() || (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) return 0;
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && Make_Dirs(dir.substr(0, slash)) != 0) return -1;
    return mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST ? 0 : -1;
}

// A fresh folder needs no temporary files: nobody reads it before init is done.
int Put(Builder& b, const std::string& path, const std::string& bytes) {
    size_t slash = path.find_last_of('/');
    if (Make_Dirs(path.substr(0, slash)) != 0) {
        b.err = "cannot create " + path.substr(0, slash);
        return -1;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        b.err = "cannot write " + path;
        return -1;
    }
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t w = write(fd, bytes.data() + off, bytes.size() - off);
        if (w <= 0) break;
        off += (size_t)w;
    }
    close(fd);
    if (off != bytes.size()) {
        b.err = "cannot write " + path;
        return -1;
    }
    return 0;
}

std::string Text_Content(Builder& b, const std::string& title) {
    static const char* words[] = {"budget", "plan", "review", "quarter", "draft", "team", "notes", "launch",
                                  "schedule", "owner", "risk", "summary", "market", "design", "client", "metric"};
    std::string s = title + "\n";
    size_t n = 8 + b.rng.Below(300);
    for (size_t i = 0; i < n; ++i) {
        s += words[b.rng.Below(16)];
        s += (i % 12 == 11) ? '\n' : ' ';
    }
    s += "\n";
    return s;
}

std::string Binary_Content(Builder& b, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = (char)(b.rng.Next() & 0xff);
    return s;
}

// ---- Drive ------------------------------------------------------------------------------------

struct DriveOut {
    GwsDrive drive;
    std::string blob_dir;   // where this drive's blobs go
    std::string owner;      // empty for a shared drive
};

// An item without content (a folder, a shortcut), placed at the top when parent is empty.
GwsDriveItem& Add_Item(Builder& b, DriveOut& d, const std::string& name, const std::string& mime,
                       const std::string& parent) {
    GwsDriveItem it;
    it.id = b.Id("file");
    it.name = name;
    it.mime_type = mime;
    it.parent = parent.empty() ? d.drive.root_id : parent;
    it.owner = d.owner;
    long long t = b.Time_Ms();
    it.created_time = Gwssim_Format_Time(t);
    it.modified_time = Gwssim_Format_Time(t + (long long)b.rng.Below(86400000 * 10LL));
    d.drive.items.push_back(std::move(it));
    return d.drive.items.back();
}

std::string Add_Folder(Builder& b, DriveOut& d, const std::string& name, const std::string& parent) {
    return Add_Item(b, d, name, kFolder, parent).id;
}

// A file with content, with Google's MD5 and size.
GwsDriveItem& Add_File(Builder& b, DriveOut& d, const std::string& name, const std::string& mime,
                       const std::string& parent, const std::string& content) {
    GwsDriveItem& it = Add_Item(b, d, name, mime, parent);
    it.has_blob = true;
    it.md5 = Gwssim_Md5_Hex(content);
    it.size = (long long)content.size();
    if (Put(b, d.blob_dir + "/" + it.id, content) != 0) it.has_blob = false;
    return it;
}

// A Docs, Sheets or Slides file: its text is stored, Drive reports a storage size of its own
// (never the length of the export) and no MD5.
GwsDriveItem& Add_Editor_File(Builder& b, DriveOut& d, const std::string& name, const std::string& mime,
                              const std::string& parent, const std::string& text) {
    GwsDriveItem& it = Add_Item(b, d, name, mime, parent);
    it.has_blob = Put(b, d.blob_dir + "/" + it.id, text) == 0;
    it.size = 1024 + 3 * (long long)text.size();
    return it;
}

void Generated_Files(Builder& b, DriveOut& d, int files) {
    if (files <= 0) return;
    int nfolders = files / 10 + 1;
    std::vector<std::string> folders;
    for (int i = 0; i < nfolders; ++i) {
        char name[32];
        snprintf(name, sizeof name, "Folder %02d", i + 1);
        // Every third folder starts at the top; the others nest under the one before.
        std::string parent = (i % 3 == 0) ? "" : folders.back();
        folders.push_back(Add_Folder(b, d, name, parent));
    }
    static const char* ext[] = {".txt", ".csv", ".md", ".bin"};
    static const char* mime[] = {"text/plain", "text/csv", "text/markdown", "application/octet-stream"};
    for (int j = 0; j < files; ++j) {
        int k = (int)b.rng.Below(4);
        char name[40];
        snprintf(name, sizeof name, "file-%04d%s", j + 1, ext[k]);
        std::string parent = (j % 4 == 0) ? "" : folders[(size_t)j % folders.size()];
        std::string content = k == 3 ? Binary_Content(b, 16 + b.rng.Below(1024)) : Text_Content(b, name);
        Add_File(b, d, name, mime[k], parent, content);
    }
}

void Demo_Drive_Alice(Builder& b, DriveOut& d, const std::string& bob) {
    std::string projects = Add_Folder(b, d, "Projects", "");
    std::string y2024 = Add_Folder(b, d, "2024", projects);
    GwsDriveItem& plan = Add_File(b, d, "plan.txt", "text/plain", y2024, "The plan for 2024.\nShip it.\n");
    if (!bob.empty()) plan.permissions.push_back({bob, "Bob Stone", "writer", "user"});
    Add_File(b, d, "budget.csv", "text/csv", y2024, "item,amount\nservers,1200\n\"desks, chairs\",800\n");
    Add_Editor_File(b, d, "notes", "application/vnd.google-apps.document", projects,
                    "Project notes.\nShip <on time> & under budget.\n");
    Add_Editor_File(b, d, "Budget sheet", "application/vnd.google-apps.spreadsheet", y2024,
                    "servers 1200\ndesks 800\n");
    Add_Editor_File(b, d, "Kickoff deck", "application/vnd.google-apps.presentation", projects,
                    "Kickoff 2024\nGoals\n");
    // Native types Drive cannot export for GAM.
    Add_Item(b, d, "Office floor plan", "application/vnd.google-apps.drawing", "");
    Add_Item(b, d, "Mail merge script", "application/vnd.google-apps.script", "");
    Add_Item(b, d, "Shortcut to plan", "application/vnd.google-apps.shortcut", "");
    // Alice's files in a folder of someone else's that she cannot see: orphans in her tree.
    std::string unseen = b.Id("file");
    std::string lost = Add_Folder(b, d, "Lost and found", unseen);
    Add_File(b, d, "found note.txt", "text/plain", lost, "Written in a folder nobody shares back.\n");
    Add_File(b, d, "orphan.txt", "text/plain", unseen, "Its folder is not visible to its owner.\n");
    Add_File(b, d, "empty.bin", "application/octet-stream", "", "");
    Add_File(b, d, "Q3 report's \"final\" $(touch gwssim-pwned) 100%.txt", "text/plain", "",
             "Numbers for Q3: 100% on target.\n");
    Add_File(b, d, "-leading dash.txt", "text/plain", "", "A name that looks like an option.\n");
    Add_File(b, d, "a/b.txt", "text/plain", projects, "A slash is legal in a Drive name.\n");
    Add_File(b, d, "R\xc3\xa9sum\xc3\xa9 \xe2\x80\x93 2024.txt", "text/plain", "", "Non-ASCII name.\n");
    Add_File(b, d, "old draft.txt", "text/plain", "", "This one is in the trash.\n").trashed = true;
}

void Demo_Drive_Bob(Builder& b, DriveOut& d) {
    std::string projects = Add_Folder(b, d, "Projects", "");
    std::string y2024 = Add_Folder(b, d, "2024", projects);
    Add_File(b, d, "plan.txt", "text/plain", y2024, "Bob's plan: same name, other content.\n");
    Add_File(b, d, "photo.jpg", "image/jpeg", "", "\xff\xd8\xff\xe0" + Binary_Content(b, 700));
}

// ---- Gmail ----------------------------------------------------------------------------------------

struct Person {
    std::string name, email;
};

std::string Rfc822_Date(long long ms, int offset_min) {
    static const char* wd[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* mo[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t t = (time_t)(ms / 1000) + offset_min * 60;
    struct tm tmv;
    gmtime_r(&t, &tmv);
    char buf[64];
    int off = offset_min < 0 ? -offset_min : offset_min;
    snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d", wd[tmv.tm_wday], tmv.tm_mday,
             mo[tmv.tm_mon], tmv.tm_year + 1900, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, offset_min < 0 ? '-' : '+',
             off / 60, off % 60);
    return buf;
}

std::string Addr(const Person& p) { return p.name.empty() ? p.email : p.name + " <" + p.email + ">"; }

std::string Base64(const std::string& in, bool wrap = true) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t line = 0;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned v = (unsigned char)in[i] << 16;
        if (i + 1 < in.size()) v |= (unsigned char)in[i + 1] << 8;
        if (i + 2 < in.size()) v |= (unsigned char)in[i + 2];
        out += t[(v >> 18) & 63];
        out += t[(v >> 12) & 63];
        out += i + 1 < in.size() ? t[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? t[v & 63] : '=';
        if (wrap && ++line == 19) {
            out += "\r\n";
            line = 0;
        }
    }
    if (wrap && line) out += "\r\n";
    return out;
}

std::string Headers(const std::string& from, const std::string& to, const std::string& subject,
                    const std::string& date, const std::string& msgid) {
    return "From: " + from + "\r\nTo: " + to + "\r\nSubject: " + subject + "\r\nDate: " + date +
           "\r\nMessage-ID: <" + msgid + "@mail.example.test>\r\nMIME-Version: 1.0\r\n";
}

std::string Plain_Eml(const std::string& from, const std::string& to, const std::string& subject,
                      const std::string& date, const std::string& msgid, const std::string& body) {
    return Headers(from, to, subject, date, msgid) +
           "Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + body;
}

struct MailOut {
    GwsMailbox box;
    std::string eml_dir;
};

void Add_Mail(Builder& b, MailOut& m, long long ms, const std::string& eml, std::vector<std::string> labels) {
    GwsMessage msg;
    msg.id = b.Id("message");
    msg.thread_id = msg.id;
    msg.internal_date = ms;
    msg.labels = std::move(labels);
    if (Put(b, m.eml_dir + "/" + msg.id, eml) == 0) m.box.messages.push_back(std::move(msg));
}

void Generated_Mail(Builder& b, MailOut& m, const Person& me, const std::vector<Person>& others, int n) {
    for (int i = 0; i < n; ++i) {
        const Person& other = others[(size_t)b.rng.Below(others.size())];
        bool sent = i % 7 == 3;
        long long ms = b.Time_Ms();
        char subject[64];
        snprintf(subject, sizeof subject, "Status update %d", i + 1);
        std::string eml = Plain_Eml(Addr(sent ? me : other), Addr(sent ? other : me), subject,
                                    Rfc822_Date(ms, 0), std::to_string(b.seq + 1) + "." + me.email,
                                    Text_Content(b, subject));
        std::vector<std::string> labels;
        if (sent) labels.push_back("SENT");
        else labels.push_back("INBOX");
        if (i % 6 == 1) labels.push_back("STARRED");
        if (i % 5 == 2) labels.push_back("IMPORTANT");
        if (i % 4 == 0 && !sent) labels.push_back("UNREAD");
        if (i % 9 == 8 && !m.box.labels.empty()) labels.push_back(m.box.labels[0].id);
        Add_Mail(b, m, ms, eml, labels);
    }
}

void Demo_Mail_Alice(Builder& b, MailOut& m, const Person& alice, const Person& bob) {
    Person quoted{"\"Stone, Bob\"", bob.email};
    long long ms = kBaseMs + 3600000;
    Add_Mail(b, m, ms,
             Plain_Eml(Addr(bob), Addr(alice), "Lunch on Friday?", Rfc822_Date(ms, 0), "demo1",
                       "Shall we meet at noon?\r\n"),
             {"INBOX", "UNREAD"});

    ms += 3600000;
    std::string png = "\x89PNG\r\n\x1a\n" + Binary_Content(b, 120);
    std::string pdf = "%PDF-1.4\n" + Text_Content(b, "Quarterly report") + "%%EOF\n";
    std::string html_eml =
        Headers(Addr(quoted), Addr(alice), "Quarterly report", Rfc822_Date(ms, 480), "demo2") +
        "Content-Type: multipart/mixed; boundary=\"mix-1\"\r\n\r\n"
        "--mix-1\r\nContent-Type: multipart/related; boundary=\"rel-1\"\r\n\r\n"
        "--rel-1\r\nContent-Type: text/html; charset=UTF-8\r\n\r\n"
        "<html><body><p>See the report.</p><img alt=\"logo.png\" src=\"cid:logo1\"></body></html>\r\n"
        "--rel-1\r\nContent-Type: image/png; name=\"logo.png\"\r\nContent-ID: <logo1>\r\n"
        "Content-Disposition: inline; filename=\"logo.png\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
        Base64(png) + "--rel-1--\r\n" +
        "--mix-1\r\nContent-Type: application/pdf; name=\"report.pdf\"\r\n"
        "Content-Disposition: attachment; filename=\"report.pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
        Base64(pdf) + "--mix-1--\r\n";
    Add_Mail(b, m, ms, html_eml, {"INBOX", "STARRED", "IMPORTANT"});

    ms += 3600000;
    // The file name only in RFC 2231 form, UTF-8 and percent-encoded: "報告 Résumé.txt".
    std::string rfc2231 =
        Headers(Addr(bob), Addr(alice), "=?UTF-8?B?5aCx5ZGKIOKAkyBSw6lzdW3DqQ==?=", Rfc822_Date(ms, -300), "demo3") +
        "Content-Type: multipart/mixed; boundary=\"mix-2\"\r\n\r\n"
        "--mix-2\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\nAttached.\r\n"
        "--mix-2\r\nContent-Type: text/plain; charset=UTF-8; name*=UTF-8''%E5%A0%B1%E5%91%8A%20R%C3%A9sum%C3%A9.txt\r\n"
        "Content-Disposition: attachment; filename*=UTF-8''%E5%A0%B1%E5%91%8A%20R%C3%A9sum%C3%A9.txt\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n" +
        Base64("r\xc3\xa9sum\xc3\xa9 contents\n") + "--mix-2--\r\n";
    Add_Mail(b, m, ms, rfc2231, {"INBOX", m.box.labels[0].id});

    ms += 3600000;
    Add_Mail(b, m, ms, Plain_Eml(Addr(alice), Addr(bob), "Re: Lunch on Friday?", Rfc822_Date(ms, 0), "demo4",
                                 "Noon works.\r\n"),
             {"SENT"});
    ms += 3600000;
    Add_Mail(b, m, ms, Plain_Eml(Addr(alice), Addr(bob), "Unfinished thoughts", Rfc822_Date(ms, 0), "demo5",
                                 "Draft text\r\n"),
             {"DRAFT"});
    ms += 3600000;
    Add_Mail(b, m, ms, Plain_Eml(Addr(bob), Addr(alice), "Old newsletter", Rfc822_Date(ms, 0), "demo6",
                                 "Nobody reads this.\r\n"),
             {"TRASH"});
    ms += 3600000;
    Add_Mail(b, m, ms, Plain_Eml("Prize Desk <winner@spam.test>", Addr(alice), "You have won", Rfc822_Date(ms, 0),
                                 "demo7", "Click here.\r\n"),
             {"SPAM"});
    ms += 3600000;
    // A subject of more than 240 bytes once decoded, in folded RFC 2047 words.
    std::string long_subject;
    for (int i = 0; i < 9; ++i) {
        if (i) long_subject += "\r\n ";
        long_subject += "=?UTF-8?B?" + Base64("Quarterly \xc3\xa9t\xc3\xa9 review " + std::to_string(i) + " \xe2\x80\x94 ", false) + "?=";
    }
    Add_Mail(b, m, ms, Plain_Eml(Addr(bob), Addr(alice), long_subject, Rfc822_Date(ms, 480), "demo8",
                                 "A long encoded subject.\r\n"),
             {"INBOX"});
    ms += 3600000;
    Add_Mail(b, m, ms, Plain_Eml(Addr(bob), Addr(alice), "CON", "Mon, 04 Mar 2024 10:00:00 GMT", "demo9",
                                 "A subject that is a reserved file name.\r\n"),
             {"INBOX"});
}

// ---- Calendar -------------------------------------------------------------------------------------

GwsEvent Base_Event(Builder& b, const std::string& owner, const std::string& summary) {
    GwsEvent e;
    std::string id = b.Id("event");
    long long created = b.Time_Ms();
    Gwssim_Event_Set(e, "id", id);
    Gwssim_Event_Set(e, "iCalUID", id + "@google.com");
    Gwssim_Event_Set(e, "status", "confirmed");
    Gwssim_Event_Set(e, "summary", summary);
    Gwssim_Event_Set(e, "created", Gwssim_Format_Time(created));
    Gwssim_Event_Set(e, "updated", Gwssim_Format_Time(created + 60000));
    Gwssim_Event_Set(e, "creator.email", owner);
    Gwssim_Event_Set(e, "creator.self", "True");
    Gwssim_Event_Set(e, "organizer.email", owner);
    Gwssim_Event_Set(e, "organizer.self", "True");
    Gwssim_Event_Set(e, "eventType", "default");
    Gwssim_Event_Set(e, "htmlLink", "https://calendar.example.test/event?eid=" + id);
    Gwssim_Event_Set(e, "reminders.useDefault", "True");
    Gwssim_Event_Set(e, "sequence", "0");
    return e;
}

void Timed(GwsEvent& e, const std::string& start, const std::string& end, const std::string& tz) {
    Gwssim_Event_Set(e, "start.dateTime", start);
    Gwssim_Event_Set(e, "start.timeZone", tz);
    Gwssim_Event_Set(e, "end.dateTime", end);
    Gwssim_Event_Set(e, "end.timeZone", tz);
}

void Generated_Events(Builder& b, GwsCalendar& c, const std::string& owner, int n) {
    for (int i = 0; i < n; ++i) {
        char summary[40];
        snprintf(summary, sizeof summary, "Meeting %d", i + 1);
        GwsEvent e = Base_Event(b, owner, summary);
        Gwssim_Event_Set(e, "location", "Room " + std::to_string(1 + b.rng.Below(9)));
        long long start = kBaseMs + 86400000LL * (long long)b.rng.Below(90) + 3600000LL * (long long)b.rng.Below(8);
        std::string s = Gwssim_Format_Time(start), f = Gwssim_Format_Time(start + 3600000);
        // Whole seconds, as Calendar gives them.
        s = s.substr(0, 19) + "Z";
        f = f.substr(0, 19) + "Z";
        Timed(e, s, f, "UTC");
        Gwssim_Event_Set(e, "transparency", i % 2 ? "transparent" : "opaque");
        c.events.push_back(std::move(e));
    }
}

void Demo_Events_Alice(Builder& b, GwsCalendar& c, const std::string& alice, const std::string& bob,
                       const std::string& obrien) {
    GwsEvent taipei = Base_Event(b, alice, "Vendor call (Taipei)");
    Gwssim_Event_Set(taipei, "location", "Online");
    Timed(taipei, "2024-03-05T09:30:00+08:00", "2024-03-05T10:15:00+08:00", "Asia/Taipei");
    c.events.push_back(std::move(taipei));

    GwsEvent allday = Base_Event(b, alice, "Company holiday");
    Gwssim_Event_Set(allday, "start.date", "2024-03-08");
    Gwssim_Event_Set(allday, "end.date", "2024-03-09");
    Gwssim_Event_Set(allday, "transparency", "transparent");
    c.events.push_back(std::move(allday));

    GwsEvent meet = Base_Event(b, alice, "Planning with the team");
    Timed(meet, "2024-03-06T14:00:00Z", "2024-03-06T15:00:00Z", "Europe/London");
    std::vector<std::pair<std::string, std::string>> extra = {
        {"attendees", "3"},
        {"attendees.0.email", alice},
        {"attendees.0.organizer", "True"},
        {"attendees.0.responseStatus", "accepted"},
        {"attendees.0.self", "True"},
        {"attendees.1.displayName", "Orla O'Brien"},
        {"attendees.1.email", obrien},
        {"attendees.1.responseStatus", "tentative"},
        {"attendees.2.email", bob},
        {"attendees.2.responseStatus", "needsAction"},
        {"conferenceData.conferenceId", "abc-defg-hij"},
        {"conferenceData.conferenceSolution.iconUri", "https://meet.example.test/icon.png"},
        {"conferenceData.conferenceSolution.key.type", "hangoutsMeet"},
        {"conferenceData.conferenceSolution.name", "Google Meet"},
        {"conferenceData.entryPoints", "3"},
        {"conferenceData.entryPoints.0.entryPointType", "video"},
        {"conferenceData.entryPoints.0.label", "meet.example.test/abc-defg-hij"},
        {"conferenceData.entryPoints.0.uri", "https://meet.example.test/abc-defg-hij"},
        {"conferenceData.entryPoints.1.entryPointType", "phone"},
        {"conferenceData.entryPoints.1.pin", "123456789"},
        {"conferenceData.entryPoints.1.uri", "tel:+1-555-0100"},
        {"conferenceData.entryPoints.2.entryPointType", "more"},
        {"conferenceData.entryPoints.2.label", "More numbers"},
        {"conferenceData.entryPoints.2.pin", "987654"},
        {"conferenceData.entryPoints.2.regionCode", "US"},
        {"conferenceData.entryPoints.2.uri", "https://tel.meet.example.test/abc-defg-hij"},
        {"hangoutLink", "https://meet.example.test/abc-defg-hij"},
    };
    for (const auto& [k, v] : extra) Gwssim_Event_Set(meet, k, v);
    c.events.push_back(std::move(meet));

    GwsEvent hostile = Base_Event(b, alice, "Budget review, \"final\" round");
    Gwssim_Event_Set(hostile, "location", "Room 4\nBuilding B");
    Timed(hostile, "2024-03-07T16:00:00+01:00", "2024-03-07T17:00:00+01:00", "Europe/Berlin");
    c.events.push_back(std::move(hostile));

    GwsEvent weekly = Base_Event(b, alice, "Weekly standup");
    Timed(weekly, "2024-03-04T09:00:00-05:00", "2024-03-04T09:15:00-05:00", "America/New_York");
    Gwssim_Event_Set(weekly, "recurrence", "1");
    Gwssim_Event_Set(weekly, "recurrence.0", "RRULE:FREQ=WEEKLY;BYDAY=MO");
    c.events.push_back(std::move(weekly));

    GwsEvent untitled = Base_Event(b, alice, "");
    Timed(untitled, "2024-03-11T08:00:00Z", "2024-03-11T08:30:00Z", "UTC");
    c.events.push_back(std::move(untitled));

    GwsEvent cancelled = Base_Event(b, alice, "Cancelled sync");
    Gwssim_Event_Set(cancelled, "status", "cancelled");
    Timed(cancelled, "2024-03-12T08:00:00Z", "2024-03-12T08:30:00Z", "UTC");
    c.events.push_back(std::move(cancelled));
}

// ---- Contacts -------------------------------------------------------------------------------------

void System_Groups(GwsContacts& c) {
    c.groups.push_back({"contactGroups/myContacts", "myContacts", "My Contacts", "SYSTEM_CONTACT_GROUP"});
    c.groups.push_back({"contactGroups/starred", "starred", "Starred", "SYSTEM_CONTACT_GROUP"});
}

void Generated_Contacts(Builder& b, GwsContacts& c, int n) {
    for (int i = 0; i < n; ++i) {
        GwsContact ct;
        ct.resource_name = "people/" + b.Id("contact");
        char given[32], mail[48], phone[32];
        snprintf(given, sizeof given, "Contact%d", i + 1);
        snprintf(mail, sizeof mail, "contact%d@partner.test", i + 1);
        snprintf(phone, sizeof phone, "+1 555 %04llu", b.rng.Below(10000));
        ct.given_name = given;
        ct.family_name = "Partner";
        ct.display_name = ct.given_name + " " + ct.family_name;
        ct.emails.push_back({"work", mail});
        ct.phones.push_back({"mobile", phone});
        ct.groups.push_back("contactGroups/myContacts");
        c.contacts.push_back(std::move(ct));
    }
}

void Demo_Contacts_Alice(Builder& b, GwsContacts& c) {
    std::string family = "contactGroups/" + b.Id("group");
    std::string friends = "contactGroups/" + b.Id("group");
    c.groups.push_back({family, "Family", "Family", "USER_CONTACT_GROUP"});
    c.groups.push_back({friends, "Work \"Friends\", close", "Work \"Friends\", close", "USER_CONTACT_GROUP"});

    GwsContact mum;
    mum.resource_name = "people/" + b.Id("contact");
    mum.given_name = "Mary";
    mum.family_name = "Liddell";
    mum.display_name = "Mary Liddell";
    mum.emails.push_back({"home", "mary@family.test"});
    mum.phones.push_back({"home", "+44 20 7946 0000"});
    mum.groups = {"contactGroups/myContacts", "contactGroups/starred", family, friends};
    c.contacts.push_back(mum);

    GwsContact boss;
    boss.resource_name = "people/" + b.Id("contact");
    boss.given_name = "Dina";
    boss.family_name = "O'Hara";
    boss.display_name = "Dina O'Hara";
    boss.emails.push_back({"work", "dina@partner.test"});
    boss.org_name = "Partner & Sons, Ltd.";
    boss.org_title = "Head of \"Things\"";
    boss.groups = {"contactGroups/myContacts", friends};
    c.contacts.push_back(boss);

    GwsContact phone_only;
    phone_only.resource_name = "people/" + b.Id("contact");
    phone_only.phones.push_back({"work", "+1 555 0100"});
    phone_only.groups = {"contactGroups/myContacts"};
    c.contacts.push_back(phone_only);

    GwsContact other;
    other.resource_name = "otherContacts/" + b.Id("contact");
    other.display_name = "Newsletter";
    other.emails.push_back({"other", "news@letters.test"});
    c.other_contacts.push_back(other);
}

// ---- Users and shared drives ------------------------------------------------------------------------

std::string User_Id(Builder& b) {
    std::string id = "1";
    for (int i = 0; i < 20; ++i) id += (char)('0' + b.rng.Below(10));
    return id;
}

int Build_User(Builder& b, const GwsInitOptions& opt, const GwsDomain& dom, size_t ui) {
    const GwsUser& u = dom.users[ui];
    std::string udir = Gwssim_User_Dir(b.dir, u.email);
    auto email_of = [&](size_t i) { return i < dom.users.size() ? dom.users[i].email : std::string(); };

    DriveOut d;
    d.drive.root_id = b.Id("file");
    d.blob_dir = udir + "/blobs";
    d.owner = u.email;
    if (Make_Dirs(d.blob_dir) != 0) {
        b.err = "cannot create " + d.blob_dir;
        return -1;
    }
    if (ui == 1) Demo_Drive_Alice(b, d, email_of(2));
    if (ui == 2) Demo_Drive_Bob(b, d);
    if (ui == 3) Add_File(b, d, "o'brien's notes.txt", "text/plain", "", "Notes with an apostrophe.\n");
    Generated_Files(b, d, opt.files);
    if (!b.err.empty() || Gwssim_Save_Drive(b.dir, u.email, d.drive) != 0) return -1;

    MailOut m;
    m.eml_dir = udir + "/eml";
    m.box.labels.push_back({Gwssim_Format_Id("label", 1), "Receipts"});
    m.box.labels.push_back({Gwssim_Format_Id("label", 2), "Projects/2024"});
    std::vector<Person> others;
    for (size_t i = 0; i < dom.users.size() && i < 4; ++i)
        if (i != ui) others.push_back({dom.users[i].name, dom.users[i].email});
    if (others.empty()) others.push_back({"Outside Sender", "sender@outside.test"});
    Person me{u.name, u.email};
    if (ui == 1 && dom.users.size() > 2) Demo_Mail_Alice(b, m, me, {dom.users[2].name, dom.users[2].email});
    Generated_Mail(b, m, me, others, opt.messages);
    if (!b.err.empty() || Gwssim_Save_Mailbox(b.dir, u.email, m.box) != 0) return -1;

    GwsCalendar cal;
    if (ui == 1) Demo_Events_Alice(b, cal, u.email, email_of(2), email_of(3));
    Generated_Events(b, cal, u.email, opt.events);
    if (Gwssim_Save_Calendar(b.dir, u.email, cal) != 0) return -1;

    GwsContacts con;
    System_Groups(con);
    if (ui == 1) Demo_Contacts_Alice(b, con);
    Generated_Contacts(b, con, opt.contacts);
    return Gwssim_Save_Contacts(b.dir, u.email, con);
}

int Build_Shared_Drive(Builder& b, GwsSharedDrive& sd, int index, int files) {
    DriveOut d;
    d.drive.root_id = sd.id;
    d.blob_dir = b.dir + "/shared/" + sd.id + "/blobs";
    if (Make_Dirs(d.blob_dir) != 0) {
        b.err = "cannot create " + d.blob_dir;
        return -1;
    }
    if (index == 0) {
        std::string designs = Add_Folder(b, d, "Designs", "");
        GwsDriveItem& a = Add_File(b, d, "design-a.txt", "text/plain", designs, "Design A.\n");
        a.permissions.push_back({"guest@partner.test", "Guest Reviewer", "commenter", "user"});
        Add_File(b, d, "design-b.pdf", "application/pdf", designs, "%PDF-1.4\n" + Binary_Content(b, 300));
        Add_File(b, d, "readme.txt", "text/plain", "", "Team drive readme.\n");
    } else if (index == 1) {
        Add_File(b, d, "logo.png", "image/png", "", "\x89PNG\r\n\x1a\n" + Binary_Content(b, 200));
        Add_Folder(b, d, "Drafts", "");
    } else if (index == 2) {
        Add_File(b, d, "secret.txt", "text/plain", "", "Nobody is a member here.\n");
    } else {
        Generated_Files(b, d, files);
    }
    if (!b.err.empty()) return -1;
    return Gwssim_Save_Shared_Drive(b.dir, sd.id, d.drive);
}

std::string Drive_Id(Builder& b) {
    static const char* al = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string id = "0A";
    for (int i = 0; i < 17; ++i) id += al[b.rng.Below(62)];
    return id;
}

}  // namespace

int Gwssim_Init(const std::string& dir, const GwsInitOptions& opt, std::string& err) {
    if (opt.users < 1 || opt.files < 0 || opt.messages < 0 || opt.events < 0 || opt.contacts < 0 ||
        opt.shared_drives < 0) {
        err = "sizes must not be negative, and there is at least one user";
        return -1;
    }
    struct stat st;
    if (stat((dir + "/domain.json").c_str(), &st) == 0) {
        err = dir + " already holds a domain";
        return -1;
    }
    if (Make_Dirs(dir) != 0) {
        err = "cannot create " + dir;
        return -1;
    }
    Builder b{dir, Rng{opt.seed * 0x2545f4914f6cdd1dULL + 7}, 0, ""};
    b.seq = (b.rng.Next() & 0xffffffffffULL);

    GwsDomain dom;
    if (opt.domain.empty()) dom.domains = {"example.test", "example2.test"};
    else dom.domains = {opt.domain};
    const std::string at = "@" + dom.domains[0];
    dom.customer_id = "C0";
    for (int i = 0; i < 7; ++i) dom.customer_id += "abcdefghijklmnopqrstuvwxyz0123456789"[b.rng.Below(36)];
    static const char* demo[][2] = {{"admin", "Ada Admin"}, {"alice", "Alice Liddell"}, {"bob", "Bob Stone"},
                                    {"o'brien", "Orla O'Brien"}};
    for (int i = 0; i < opt.users; ++i) {
        GwsUser u;
        u.id = User_Id(b);
        char local[32], name[32];
        snprintf(local, sizeof local, "user%04d", i + 1);
        snprintf(name, sizeof name, "User %04d", i + 1);
        u.email = std::string(i < 4 ? demo[i][0] : local) + at;
        u.name = i < 4 ? demo[i][1] : name;
        u.admin = i == 0;
        dom.users.push_back(std::move(u));
    }
    auto member = [&](size_t ui, const char* role) {
        return GwsMember{dom.users[ui].email, dom.users[ui].name, role, "user"};
    };
    int ndrives = opt.shared_drives >= 2 ? opt.shared_drives + 1 : opt.shared_drives;
    for (int i = 0; i < ndrives; ++i) {
        GwsSharedDrive sd;
        sd.id = Drive_Id(b);
        if (i == 0) {
            sd.name = "Team Drive";
            sd.members.push_back(member(0, "organizer"));
            if (dom.users.size() > 1) sd.members.push_back(member(1, "writer"));
            if (dom.users.size() > 2) sd.members.push_back(member(2, "reader"));
            sd.members.push_back({"team" + at, "Team", "reader", "group"});
        } else if (i == 1) {
            sd.name = "Design Drive";
            sd.members.push_back(member(0, "organizer"));
            if (dom.users.size() > 2) sd.members.push_back(member(2, "fileOrganizer"));
        } else if (i == 2) {
            sd.name = "Hidden Drive";
        } else {
            char name[32];
            snprintf(name, sizeof name, "Shared Drive %02d", i);
            sd.name = name;
            sd.members.push_back(member(0, "organizer"));
            sd.members.push_back(member((size_t)i % dom.users.size(), "writer"));
        }
        dom.shared_drives.push_back(std::move(sd));
    }
    for (size_t ui = 0; ui < dom.users.size(); ++ui) {
        if (Build_User(b, opt, dom, ui) != 0) {
            err = b.err.empty() ? "cannot write the files of " + dom.users[ui].email : b.err;
            return -1;
        }
    }
    for (size_t i = 0; i < dom.shared_drives.size(); ++i) {
        if (Build_Shared_Drive(b, dom.shared_drives[i], (int)i, opt.files) != 0) {
            err = b.err.empty() ? "cannot write shared drive " + dom.shared_drives[i].name : b.err;
            return -1;
        }
    }
    if (Make_Dirs(dir + "/keys") != 0 || Gwssim_Write_File(dir + "/seq", std::to_string(b.seq) + "\n") != 0 ||
        Gwssim_Save_Domain(dir, dom) != 0) {
        err = "cannot write " + dir + "/domain.json";
        return -1;
    }
    return 0;
}
