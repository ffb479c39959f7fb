#include "browse/mail_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "web/browse_params.h"
#include "common/guards.h"
#include "common/jsontext.h"
#include "common/mailheader.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "common/shellquote.h"
#include "common/timeconv.h"
#include "common/toolcmd.h"
#include "plat_proc.h"
#include "plat_string.h"

namespace qlm {

std::string Mail_Lock_Path(const char* task, const char* account) {
    return Store_Path("gmail", task, account, ".gmail_lck");
}

int64_t getFileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::string removeOuterQuotes(const std::string& s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
    return s;
}

Mail_Fields Fields_Of(PT_JSON dump, PT_JSON attachments) {
    Mail_Fields f;
    PT_JSON headers = nullptr;
    if (dump != nullptr) Json_Dict_Find_Dict(dump, "headers", headers);
    parseNameEmail(Get_First_Header_Value(headers, "From"), f.sender, f.senderMail);
    parseNameEmail(Get_First_Header_Value(headers, "To"), f.recipient, f.recipientMail);
    f.subject = Get_First_Header_Value(headers, "Subject");
    f.date = parseDateToTimestamp(Get_First_Header_Value(headers, "Date"));
    PT_JSON list = nullptr;
    f.attachments = Json_Dict_Find_List(attachments, "attachments", list) == 0 ? Json_List_Size(list) : 0;
    return f;
}

PT_JSON Mail_Summary(const char* localid, const Mail_Fields& f, int64_t size, bool bRemoveQuotes) {
    PT_JSON summary = Json_Dict_Init();
    Json_Dict_Add_Str(summary, "localid", localid);
    Json_Dict_Add_Str(summary, "sender", (bRemoveQuotes ? removeOuterQuotes(f.sender) : f.sender).c_str());
    Json_Dict_Add_Str(summary, "sender_mail", f.senderMail.c_str());
    Json_Dict_Add_Str(summary, "recipient", (bRemoveQuotes ? removeOuterQuotes(f.recipient) : f.recipient).c_str());
    Json_Dict_Add_Str(summary, "recipient_mail", f.recipientMail.c_str());
    Json_Dict_Add_Str(summary, "subject", f.subject.c_str());
    Json_Dict_Add_Int64(summary, "date", f.date);
    Json_Dict_Add_Int64(summary, "size", size);
    Json_Dict_Add_Int(summary, "attachment", f.attachments);
    return summary;
}

namespace {

// Runs the header and the attachment commands; -1 when either did not run or failed. A result
// that is not JSON reads as empty.
int Analyse_Mail(const std::string& eml, Mail_Fields& out) {
    RAIIful_Json headers, attachments;
    if (Run_Emlsift(eml, "--header", headers) == -1 || Run_Emlsift(eml, "--a", attachments) == -1) return -1;
    out = Fields_Of(headers.get(), attachments.get());
    return 0;
}

// The stamp of a regular file that is no link; false for anything else.
bool Stamp_Of(const std::string& path, Mail_File_Stamp& stamp) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    stamp.size = st.st_size;
    stamp.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

// One mail of a list: its file and, once known, what it says.
struct Listed_Mail {
    std::string localid, eml;
    Mail_File_Stamp stamp;
    Mail_Fields fields;
    bool known = false;     // from the store
    bool analysed = false;  // by this request
};

// Mails analysed at once: each analysis is two short tool runs that wait on their own files, so a
// few at a time shorten a page of new mails several times over without crowding the NAS.
constexpr size_t kAnalysers = 4;

void Analyse_All(const std::vector<Listed_Mail*>& todo) {
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next++) < todo.size();) todo[i]->analysed = Analyse_Mail(todo[i]->eml, todo[i]->fields) == 0;
    };
    std::vector<std::thread> pool;
    for (size_t n = 1; n < std::min(kAnalysers, todo.size()); ++n) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
}

}  // namespace

PT_JSON Summarise_Mails(PT_JSON rows, const char* task, const char* account, bool bRemoveQuotes) {
    catalog::DbHandle store;
    // Without a store every mail is analysed; the list is the same.
    Mail_Summary_Open(account, task, store);
    std::vector<Listed_Mail> mails;
    mails.reserve(static_cast<size_t>(Json_List_Size(rows)));
    for (int i = 0; i < Json_List_Size(rows); ++i) {
        Listed_Mail m;
        m.localid = Json_Text_Of(Json_List_Child(rows, i), "localid");
        m.eml = Eml_Path(task, account, m.localid.c_str());
        if (m.eml.empty() || !Stamp_Of(m.eml, m.stamp)) continue;
        m.known = store && Mail_Summary_Find(store.get(), m.localid.c_str(), m.stamp, m.fields) == 0;
        mails.push_back(std::move(m));
    }
    std::vector<Listed_Mail*> todo;
    for (Listed_Mail& m : mails)
        if (!m.known) todo.push_back(&m);
    Analyse_All(todo);
    if (store && !todo.empty()) {
        catalog::Transaction txn(store.get());
        if (txn.Begin_Immediate() == SQLITE_OK) {
            for (const Listed_Mail* m : todo)
                if (m->analysed) Mail_Summary_Put(store.get(), m->localid.c_str(), m->stamp, m->fields);
            txn.Commit();
        }
    }
    // A mail the analysis cannot read (a line before its headers) is listed all the same, with
    // empty fields: it is backed up like any other. It is not stored, so a later page tries again.
    PT_JSON list = Json_List_Init();
    for (const Listed_Mail& m : mails)
        Json_List_Add_Dict(list, Mail_Summary(m.localid.c_str(), m.fields, getFileSize(m.eml), bRemoveQuotes));
    return list;
}

}  // namespace qlm
