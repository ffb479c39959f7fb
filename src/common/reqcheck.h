// Checks on request texts (and names from Google) before they become paths.
#pragma once

#include <string_view>

namespace qlm {

// True for the 36-character id form made by smbbackup::Create_New_ID (task, auth and mission ids).
bool Is_Id_Form(const char* text);
// True when the text is one path component: not empty, not "." or "..", no "/", no control character.
bool Is_Single_Path_Component(std::string_view text);

}  // namespace qlm
