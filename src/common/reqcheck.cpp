#include "common/reqcheck.h"

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

}  // namespace qlm
