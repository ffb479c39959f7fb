#include "common/mailheader.h"

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

}  // namespace qlm
