#include "common/mailheader.h"

#include "common/cmdrun.h"
#include "common/guards.h"
#include "common/paths.h"
#include "common/shellquote.h"
#include "common/toolcmd.h"
#include "plat_proc.h"
#include "plat_string.h"

namespace qlm {

namespace {

std::string Trim_Blanks(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return std::string();
    const size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

}  // namespace

void parseNameEmail(const std::string& text, std::string& name, std::string& addr) {
    const size_t lt = text.find('<');
    const size_t gt = lt == std::string::npos ? std::string::npos : text.find('>', lt + 1);
    if (gt != std::string::npos) {
        name = Trim_Blanks(text.substr(0, lt));
        addr = Trim_Blanks(text.substr(lt + 1, gt - lt - 1));
    } else {
        name = Trim_Blanks(text);
        addr = name;
    }
}

std::string Get_First_Header_Value(PT_JSON headers, const char* key) {
    PT_JSON list = nullptr;
    if (headers == nullptr || key == nullptr || Json_Dict_Find_List(headers, key, list) != 0 || list == nullptr)
        return std::string();
    if (Json_List_Size(list) < 1) return std::string();
    const char* s = Json_Get_String(Json_List_Child(list, 0));
    return s != nullptr ? std::string(s) : std::string();
}

int Run_Emlsift_Into(const std::string& eml, const char* option, const std::string& result, int iTimeoutSec,
                     RAIIful_Json& out) {
    out.reset();
    if (Prepare_Tool_Output(result) != 0) return -1;
    const std::string line = ShellQuote(Tool_Path("emlsift")) + " -i " + ShellQuote(eml) + " --format json " + option +
                             " >" + ShellQuote(result) + " 2>" + ShellQuote("/dev/null");
    int status = -1;
    const int rc = iTimeoutSec > 0 ? Execute_Command_Line_Timeout(status, iTimeoutSec, "%s", line.c_str())
                                   : Execute_Command_Line(status, "%s", line.c_str());
    if (rc != 0 || status != 0) return -1;
    out.reset(Json_From_File(result.c_str()));
    if (!out || !json_object_is_type(out.get(), json_type_object)) {
        out.reset();
        return -2;
    }
    return 0;
}

int Run_Emlsift(const std::string& eml, const char* option, RAIIful_Json& out) {
    // Named with this process's pid: a request killed meanwhile leaves it to the next sweep.
    const std::string result = Worker_Listing_Path();
    UnlinkGuard removed = Guard_File(result);
    return Run_Emlsift_Into(eml, option, result, 0, out);
}

}  // namespace qlm
