#include "common/reqcheck.h"

#include <cctype>

#include "plat_string.h"

namespace qlm {

bool Is_Id_Form(const char* text) { return text != nullptr && smbbackup::Is_Task_Configure_File_Name(text); }

bool Is_Single_Path_Component(std::string_view text) {
    if (text.empty() || text == "." || text == "..") return false;
    for (unsigned char c : text) {
        if (c == '/' || c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

bool Is_Account_Form(std::string_view text) {
    return Is_Single_Path_Component(text) && text.find('@') != std::string_view::npos && text[0] != '-';
}

bool Is_Google_Id_Form(std::string_view text) {
    if (text.empty() || text.size() > 200) return false;
    for (unsigned char c : text)
        if (!isalnum(c) && c != '_' && c != '-') return false;
    return true;
}

bool Is_Index_Form(std::string_view text) {
    if (text.empty() || text.size() > 18) return false;
    for (unsigned char c : text)
        if (!isdigit(c)) return false;
    return true;
}

}  // namespace qlm
