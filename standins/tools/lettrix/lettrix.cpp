// lettrix stand-in: one user's Gmail message list as a CSV file.
//
//   lettrix --service-account-file KEY --impersonate-user USER --output FILE [--include-spam-trash]
//           [--query Q]
//
// FILE gets "id,threadId" and one row per message, newest first (then by id), so the order is the
// same on every run. Spam and trash are left out unless --include-spam-trash is given or the query
// asks for them. The query is a small part of Gmail's search language, terms joined by blanks
// (all must hold; a leading "-" negates one):
//   is:starred is:important is:unread is:read
//   in:inbox in:sent in:draft in:drafts in:trash in:spam in:anywhere
//   label:NAME (a user label's name or a system label)
//   after:DATE before:DATE (YYYY/MM/DD or YYYY-MM-DD, UTC midnight, or seconds since 1970)
// An unknown term is a usage error (2). FILE is replaced only on success; on any failure it is
// removed, so a listing of an earlier run is never taken for this one.
#include <gwssim/cli.h>
#include <gwssim/state.h>
#include <gwssim/toolrun.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

struct Term {
    bool negate = false;
    std::string label;        // the message must carry it (label terms, is:, in:)
    bool unread_absent = false;  // is:read
    long long after = -1;     // internal date >= after (ms)
    long long before = -1;    // internal date < before (ms)
};

struct Query {
    std::vector<Term> terms;
    bool wants_spam_trash = false;
};

bool Parse_Date_Ms(const std::string& s, long long& ms) {
    long long secs = 0;
    if (Gwssim_Parse_Count(s, secs) && s.size() > 8) {
        ms = secs * 1000;
        return true;
    }
    int y = 0, m = 0, d = 0;
    char sep1 = 0, sep2 = 0, extra = 0;
    if (sscanf(s.c_str(), "%4d%c%2d%c%2d%c", &y, &sep1, &m, &sep2, &d, &extra) != 5) return false;
    if (sep1 != sep2 || (sep1 != '/' && sep1 != '-') || m < 1 || m > 12 || d < 1 || d > 31) return false;
    struct tm tmv = {};
    tmv.tm_year = y - 1900;
    tmv.tm_mon = m - 1;
    tmv.tm_mday = d;
    ms = (long long)timegm(&tmv) * 1000;
    return true;
}

std::string Upper(std::string s) {
    for (auto& c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return s;
}

int Parse_Query(const std::string& text, const GwsMailbox& box, Query& q, std::string& err) {
    static const struct {
        const char* word;
        const char* label;
    } kWords[] = {{"is:starred", "STARRED"}, {"is:important", "IMPORTANT"}, {"is:unread", "UNREAD"},
                  {"in:inbox", "INBOX"},     {"in:sent", "SENT"},           {"in:draft", "DRAFT"},
                  {"in:drafts", "DRAFT"},    {"in:trash", "TRASH"},         {"in:spam", "SPAM"}};
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(" \t", pos);
        if (end == std::string::npos) end = text.size();
        std::string word = text.substr(pos, end - pos);
        pos = end + 1;
        if (word.empty()) continue;
        Term t;
        if (word[0] == '-' && word.size() > 1) {
            t.negate = true;
            word.erase(0, 1);
        }
        bool ok = false;
        for (const auto& w : kWords)
            if (word == w.word) {
                t.label = w.label;
                ok = true;
            }
        if (word == "is:read") ok = t.unread_absent = true;
        if (word == "in:anywhere") {
            q.wants_spam_trash = true;
            continue;
        }
        if (word.rfind("label:", 0) == 0 && word.size() > 6) {
            std::string name = word.substr(6);
            t.label = Upper(name);
            for (const auto& l : box.labels)
                if (l.name == name) t.label = l.id;
            ok = true;
        }
        if (word.rfind("after:", 0) == 0) ok = Parse_Date_Ms(word.substr(6), t.after);
        if (word.rfind("before:", 0) == 0) ok = Parse_Date_Ms(word.substr(7), t.before);
        if (!ok) {
            err = "unsupported search term: " + word;
            return -1;
        }
        if (!t.negate && (t.label == "TRASH" || t.label == "SPAM")) q.wants_spam_trash = true;
        q.terms.push_back(t);
    }
    return 0;
}

bool Term_Holds(const Term& t, const GwsMessage& m) {
    bool holds = true;
    if (!t.label.empty()) holds = Gwssim_Has_Label(m, t.label);
    if (t.unread_absent) holds = !Gwssim_Has_Label(m, "UNREAD");
    if (t.after >= 0) holds = m.internal_date >= t.after;
    if (t.before >= 0) holds = m.internal_date < t.before;
    return holds != t.negate;
}

int Fail(int status, const std::string& line) {
    fprintf(stderr, "%s\n", line.c_str());
    return status;
}

int Lettrix_Body(int argc, char** argv) {
    std::string key_file, user, output, query;
    bool spam_trash = false;
    std::vector<GwsOpt> opts = {{"--service-account-file", &key_file}, {"--impersonate-user", &user},
                                {"--output", &output}, {"--query", &query}};
    opts.push_back({"--include-spam-trash", nullptr, nullptr, &spam_trash});
    std::string err;
    int prc = Gwssim_Parse_Options(argc, argv, 1, opts, err);
    GwsOutputGuard guard{output};
    if (prc != 0) return Fail(2, "lettrix: " + err);
    if (!opts[0].seen || !opts[1].seen || !opts[2].seen || output.empty())
        return Fail(2, "lettrix: --service-account-file, --impersonate-user and --output are required");

    std::string root = Gwssim_Key_Root(Gwssim_Root(), key_file);
    GwsDomain dom;
    GwsKey key;
    if (Gwssim_Authorize(root, key_file, dom, key, err) != 0) return Fail(1, err);
    if (!Gwssim_Key_Has_Grant(key, "gmail")) return Fail(1, "ERROR: 403: Request had insufficient authentication scopes");
    if (!Gwssim_Find_User(dom, user)) return Fail(1, "ERROR: 404: User " + user + ": Does not exist");
    GwsMailbox box;
    if (Gwssim_Load_Mailbox(root, user, box) != 0) return Fail(1, "ERROR: 500: the mailbox of " + user + " cannot be read");
    Query q;
    if (Parse_Query(query, box, q, err) != 0) return Fail(2, "lettrix: " + err);

    std::vector<const GwsMessage*> hits;
    for (const auto& m : box.messages) {
        bool spam_or_trash = Gwssim_Has_Label(m, "SPAM") || Gwssim_Has_Label(m, "TRASH");
        if (spam_or_trash && !spam_trash && !q.wants_spam_trash) continue;
        if (std::all_of(q.terms.begin(), q.terms.end(), [&](const Term& t) { return Term_Holds(t, m); }))
            hits.push_back(&m);
    }
    std::sort(hits.begin(), hits.end(), [](const GwsMessage* a, const GwsMessage* b) {
        return a->internal_date != b->internal_date ? a->internal_date > b->internal_date : a->id < b->id;
    });
    std::string csv = "id,threadId\n";
    for (const GwsMessage* m : hits) csv += m->id + "," + m->thread_id + "\n";
    if (Gwssim_Write_File(output, csv) != 0) return Fail(1, "ERROR: cannot write " + output);
    guard.keep = true;
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return Gwssim_Tool_Main("lettrix", argc, argv, Lettrix_Body); }
