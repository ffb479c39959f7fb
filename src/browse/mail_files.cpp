#include "browse/mail_files.h"

#include <sys/stat.h>

#include <vector>

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

std::string Mail_Store_Dir(const char* task, const char* account) {
    return Backup_Service_Dir("gmail") + "/" + task + "/" + account;
}

std::string Eml_Path(const char* task, const char* account, const char* localid) {
    if (localid == nullptr || !Is_Single_Path_Component(localid)) return "";
    return Mail_Store_Dir(task, account) + "/" + localid;
}

std::string Mail_Lock_Path(const char* task, const char* account) { return Mail_Store_Dir(task, account) + ".gmail_lck"; }

int64_t getFileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::string removeOuterQuotes(const std::string& s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
    return s;
}

int Run_Emlsift(const std::string& eml, const char* option, RAIIful_Json& out) {
    const std::string result = Tool_Result_Path(smbbackup::Create_New_ID());
    if (Prepare_Tool_Output(result) != 0) return -1;
    UnlinkGuard removed = Guard_File(result);
    const std::string line = ShellQuote(Tool_Path("emlsift")) + " -i " + ShellQuote(eml) + " --format json " + option +
                             " >" + ShellQuote(result) + " 2>" + ShellQuote("/dev/null");
    int status = -1;
    if (Execute_Command_Line(status, "%s", line.c_str()) != 0 || status != 0) return -1;
    out.reset(Json_From_File(result.c_str()));
    if (!out || !json_object_is_type(out.get(), json_type_object)) {
        out.reset();
        return -2;
    }
    return 0;
}

Mail_Fields Fields_Of(PT_JSON headers, PT_JSON attachments) {
    Mail_Fields f;
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

struct New_Entry {
    std::string localid;
    Mail_File_Stamp stamp;
    Mail_Fields fields;
};

}  // namespace

PT_JSON Summarise_Mails(PT_JSON rows, const char* task, const char* account, bool bRemoveQuotes) {
    catalog::DbHandle store;
    // Without a store every mail is analysed; the list is the same.
    Mail_Summary_Open(account, task, store);
    std::vector<New_Entry> added;
    PT_JSON list = Json_List_Init();
    for (int i = 0; i < Json_List_Size(rows); ++i) {
        const char* localid = Json_Text_Of(Json_List_Child(rows, i), "localid");
        const std::string eml = Eml_Path(task, account, localid);
        Mail_File_Stamp stamp;
        if (eml.empty() || !Stamp_Of(eml, stamp)) continue;
        Mail_Fields fields;
        if (!store || Mail_Summary_Find(store.get(), localid, stamp, fields) != 0) {
            if (Analyse_Mail(eml, fields) != 0) continue;
            if (store) added.push_back({localid, stamp, fields});
        }
        Json_List_Add_Dict(list, Mail_Summary(localid, fields, stamp.size, bRemoveQuotes));
    }
    if (!added.empty()) {
        catalog::Transaction txn(store.get());
        if (txn.Begin_Immediate() == SQLITE_OK) {
            for (const New_Entry& e : added) Mail_Summary_Put(store.get(), e.localid.c_str(), e.stamp, e.fields);
            txn.Commit();
        }
    }
    return list;
}

}  // namespace qlm
