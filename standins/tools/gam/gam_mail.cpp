// Gmail commands: the message count with its progress lines, the export of one message as raw
// RFC 822 bytes, and the insert of a message under a label.
#include "gam.h"
#include "gam_out.h"

#include <gwssim/cli.h>

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace {

int Load_Mailbox(GamCtx& ctx, GwsMailbox& box) {
    if (Gwssim_Load_Mailbox(ctx.root, ctx.user->email, box) != 0)
        return Gam_Error("500: backendError: the mailbox of " + ctx.user->email + " cannot be read");
    return 0;
}

// True when every byte of text decodes in the charset: ASCII takes bytes below 128, Latin-1
// every byte, UTF-8 only well-formed sequences. bad names the first byte that does not.
bool Decodes(const std::string& text, const std::string& charset, std::string& bad) {
    if (charset == "latin1") return true;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = (unsigned char)text[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = len == 1 || (charset == "utf-8" && len > 0 && i + len <= text.size());
        for (size_t k = 1; ok && k < len; ++k) ok = ((unsigned char)text[i + k] >> 6) == 2;
        if (!ok) {
            char buf[64];
            snprintf(buf, sizeof buf, "byte 0x%02x in position %zu", c, i);
            bad = buf;
            return false;
        }
        i += len;
    }
    return true;
}

// Text mode with universal newlines, as GAM reads the file: CRLF and a lone CR become LF.
std::string Universal_Newlines(const std::string& in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\r') out += in[i];
        else {
            out += '\n';
            if (i + 1 < in.size() && in[i + 1] == '\n') ++i;
        }
    }
    return out;
}

// The unfolded value of the first Date header of the message's header block; "" when none.
std::string Date_Header(const std::string& eml) {
    size_t pos = 0;
    while (pos < eml.size()) {
        size_t nl = eml.find('\n', pos);
        if (nl == std::string::npos) nl = eml.size();
        if (nl == pos) break;  // the blank line ends the header block
        if (nl - pos > 5 && strncasecmp(eml.c_str() + pos, "date:", 5) == 0) {
            std::string v = eml.substr(pos + 5, nl - pos - 5);
            for (size_t n = nl + 1; n < eml.size() && (eml[n] == ' ' || eml[n] == '\t');) {
                size_t e = eml.find('\n', n);
                if (e == std::string::npos) e = eml.size();
                v += " " + eml.substr(n, e - n);
                n = e + 1;
            }
            return v;
        }
        pos = nl + 1;
    }
    return "";
}

// An RFC 5322 date ("Tue, 5 Mar 2024 10:20:30 +0100", obsolete zone names and two-digit years
// included) as milliseconds since 1970; false when it is none.
bool Parse_Mail_Date(const std::string& text, long long& ms) {
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    std::vector<std::string> tok;
    std::string cur;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ',') {
            if (!cur.empty()) tok.push_back(cur), cur.clear();
        } else cur += c;
    }
    if (!cur.empty()) tok.push_back(cur);
    size_t i = 0;
    if (i < tok.size() && !isdigit((unsigned char)tok[i][0])) ++i;  // the day name
    if (i + 3 > tok.size()) return false;
    struct tm t {};
    char* end = nullptr;
    long day = strtol(tok[i].c_str(), &end, 10);
    if (*end || day < 1 || day > 31) return false;
    int mon = -1;
    for (int m = 0; m < 12; ++m)
        if (strncasecmp(tok[i + 1].c_str(), kMonths[m], 3) == 0 && tok[i + 1].size() >= 3) mon = m;
    long year = strtol(tok[i + 2].c_str(), &end, 10);
    if (mon < 0 || *end || year < 0) return false;
    if (tok[i + 2].size() <= 2) year += year < 50 ? 2000 : 1900;
    else if (tok[i + 2].size() == 3) year += 1900;
    int hh = 0, mm = 0, ss = 0;
    if (i + 3 >= tok.size() || sscanf(tok[i + 3].c_str(), "%2d:%2d:%2d", &hh, &mm, &ss) < 2) return false;
    if (hh > 23 || mm > 59 || ss > 60) return false;
    long long off = 0;
    if (i + 4 < tok.size()) {
        const std::string& z = tok[i + 4];
        static const struct {
            const char* name;
            int hours;
        } kZones[] = {{"UT", 0}, {"GMT", 0}, {"Z", 0}, {"EST", -5}, {"EDT", -4}, {"CST", -6},
                      {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}};
        if ((z[0] == '+' || z[0] == '-') && z.size() == 5 && isdigit((unsigned char)z[1])) {
            int v = atoi(z.c_str() + 1);
            off = (v / 100) * 3600LL + (v % 100) * 60LL;
            if (z[0] == '-') off = -off;
        } else {
            for (const auto& k : kZones)
                if (strcasecmp(z.c_str(), k.name) == 0) off = k.hours * 3600LL;
        }
    }
    t.tm_year = (int)year - 1900;
    t.tm_mon = mon;
    t.tm_mday = (int)day;
    t.tm_hour = hh;
    t.tm_min = mm;
    t.tm_sec = ss;
    ms = ((long long)timegm(&t) - off) * 1000;
    return true;
}

const char* const kSystemLabels[] = {"INBOX", "STARRED", "IMPORTANT", "SENT", "DRAFT",
                                     "TRASH", "SPAM",    "UNREAD",    "CHAT"};

// GWSSIM_COUNT_DELAY_MS: a pause after each progress line, as a large mailbox pages slowly, so a
// test can see counts run side by side and read their progress while they run.
void Count_Page_Delay() {
    const char* ms = getenv("GWSSIM_COUNT_DELAY_MS");
    long long v = 0;
    if (ms != nullptr && Gwssim_Parse_Count(ms, v) && v > 0) {
        fflush(stderr);
        usleep(static_cast<useconds_t>(v) * 1000);
    }
}

// GAM names its entities in the singular for one: "Got 1 Message", "Got 0 Messages".
void Print_Progress(long long n) {
    fprintf(stderr, "Got %lld %s\n", n, n == 1 ? "Message" : "Messages");
    Count_Page_Delay();
}

}  // namespace

int Gam_Count_Messages(const GamCmd& cmd, GamCtx& ctx) {
    GwsMailbox box;
    if (int rc = Load_Mailbox(ctx, box)) return rc;
    long long n = 0;
    for (const GwsMessage& m : box.messages) {
        if (!cmd.include_spam_trash && (Gwssim_Has_Label(m, "SPAM") || Gwssim_Has_Label(m, "TRASH"))) continue;
        // Progress as GAM pages through the listing: one line per page of 100 messages.
        if (++n % 100 == 0) Print_Progress(n);
    }
    if (n % 100 != 0 || n == 0) Print_Progress(n);
    Csv_Row(ctx.out, {"User", "messages"});
    Csv_Row(ctx.out, {ctx.user->email, std::to_string(n)});
    // An empty mailbox still has its row, with 0, but GAM ends as for no entities.
    return Listing_Status((size_t)n);
}

int Gam_Export_Message(const GamCmd& cmd, GamCtx& ctx) {
    GwsMessage msg;
    int rc = Gwssim_Find_Message(ctx.root, ctx.user->email, cmd.item_id, msg);
    if (rc != 0 && rc != -2)
        return Gam_Error("500: backendError: the mailbox of " + ctx.user->email + " cannot be read");
    std::string eml;
    if (rc != 0 || Gwssim_Read_File(Gwssim_Eml_Path(ctx.root, ctx.user->email, cmd.item_id), eml) != 0)
        return Gam_Error("404: Message ID: " + cmd.item_id + ": notFound");
    // Written whole through a temporary file: the target appears only complete, and only on success.
    if (Gwssim_Write_File(cmd.target_name, eml) != 0) return Gam_Error("Cannot write " + cmd.target_name);
    return 0;
}

int Gam_Insert_Message(const GamCmd& cmd, GamCtx& ctx) {
    std::string eml;
    if (Gwssim_Read_File(cmd.eml_file, eml) != 0)
        return Gam_Error("File " + cmd.eml_file + " cannot be read", kGamFileError);
    // GAM reads the file as text in the charset named (ASCII by default) and sends what it read:
    // a byte the charset cannot decode ends the command before anything is sent.
    if (std::string bad; !Decodes(eml, cmd.charset, bad))
        return Gam_Error("File " + cmd.eml_file + ": '" + cmd.charset + "' codec can't decode " + bad, kGamFileError);
    eml = Universal_Newlines(eml);
    if (eml.empty()) return Gam_Error("400: Invalid message: " + cmd.eml_file + " is empty");
    GwsLock lock;
    if (Gwssim_Lock_State(ctx.root, lock) != 0) return Gam_Error("500: backendError: the domain cannot be locked");
    std::vector<GwsLabel> labels, added;  // the mailbox's user labels; those this insert makes
    if (Gwssim_Load_Labels(ctx.root, ctx.user->email, labels) != 0)
        return Gam_Error("500: backendError: the mailbox of " + ctx.user->email + " cannot be read");
    GwsMessage msg;
    for (const std::string& name : cmd.labels) {
        std::string id;
        for (const char* sys : kSystemLabels)
            if (name == sys) id = sys;
        for (const GwsLabel& l : labels)
            if (id.empty() && l.name == name) id = l.id;
        if (id.empty()) {
            if (Gwssim_New_Id(ctx.root, "label", id) != 0) return Gam_Error("500: backendError: no new id");
            labels.push_back({id, name});
            added.push_back(labels.back());
        }
        msg.labels.push_back(id);
    }
    if (Gwssim_New_Id(ctx.root, "message", msg.id) != 0) return Gam_Error("500: backendError: no new id");
    msg.thread_id = msg.id;
    // Dated by its Date header; received now when it has none that parses.
    if (!Parse_Mail_Date(Date_Header(eml), msg.internal_date)) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        msg.internal_date = (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
    }
    // The EML is stored before the mailbox entry that names it.
    if (Gwssim_Write_File(Gwssim_Eml_Path(ctx.root, ctx.user->email, msg.id), eml) != 0)
        return Gam_Error("500: backendError: the message cannot be stored");
    // Only the new message and labels are written.
    if (Gwssim_Add_Message(ctx.root, ctx.user->email, added, msg) != 0)
        return Gam_Error("500: backendError: the mailbox cannot be written");
    return 0;
}
