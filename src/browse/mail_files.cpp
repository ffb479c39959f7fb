#include "browse/mail_files.h"

#include <sys/stat.h>

#include "common/guards.h"
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

PT_JSON Mail_Summary(const char* localid, PT_JSON headers, PT_JSON attachments, int64_t size, bool bRemoveQuotes) {
    std::string sender, senderMail, recipient, recipientMail;
    parseNameEmail(Get_First_Header_Value(headers, "From"), sender, senderMail);
    parseNameEmail(Get_First_Header_Value(headers, "To"), recipient, recipientMail);
    if (bRemoveQuotes) {
        sender = removeOuterQuotes(sender);
        recipient = removeOuterQuotes(recipient);
    }
    PT_JSON list = nullptr;
    const int count = Json_Dict_Find_List(attachments, "attachments", list) == 0 ? Json_List_Size(list) : 0;
    PT_JSON summary = Json_Dict_Init();
    Json_Dict_Add_Str(summary, "localid", localid);
    Json_Dict_Add_Str(summary, "sender", sender.c_str());
    Json_Dict_Add_Str(summary, "sender_mail", senderMail.c_str());
    Json_Dict_Add_Str(summary, "recipient", recipient.c_str());
    Json_Dict_Add_Str(summary, "recipient_mail", recipientMail.c_str());
    Json_Dict_Add_Str(summary, "subject", Get_First_Header_Value(headers, "Subject").c_str());
    Json_Dict_Add_Int64(summary, "date", parseDateToTimestamp(Get_First_Header_Value(headers, "Date")));
    Json_Dict_Add_Int64(summary, "size", size);
    Json_Dict_Add_Int(summary, "attachment", count);
    return summary;
}

PT_JSON Summarise_Mail(const std::string& eml, const char* localid, bool bRemoveQuotes) {
    RAIIful_Json headers, attachments;
    if (Run_Emlsift(eml, "--header", headers) == -1 || Run_Emlsift(eml, "--a", attachments) == -1) return nullptr;
    return Mail_Summary(localid, headers.get(), attachments.get(), getFileSize(eml), bRemoveQuotes);
}

}  // namespace qlm
