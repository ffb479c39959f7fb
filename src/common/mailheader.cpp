#include "common/mailheader.h"

std::string Get_First_Header_Value(PT_JSON root, const char* key) {
    PT_JSON headers = nullptr, list = nullptr;
    if (root == nullptr || Json_Dict_Find_Dict(root, "headers", headers) != 0 ||
        Json_Dict_Find_List(headers, key, list) != 0)
        return "";
    const char* text = Json_Get_String(Json_List_Child(list, 0));
    return text ? text : "";
}

namespace {

std::string Trim_Blanks(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

}  // namespace

void parseNameEmail(const std::string& header, std::string& name, std::string& email) {
    name.clear();
    email.clear();
    const size_t lt = header.find('<');
    const size_t gt = lt == std::string::npos ? std::string::npos : header.find('>', lt + 1);
    if (gt != std::string::npos) {
        name = Trim_Blanks(header.substr(0, lt));
        email = Trim_Blanks(header.substr(lt + 1, gt - lt - 1));
    } else {
        name = email = Trim_Blanks(header);
    }
}
