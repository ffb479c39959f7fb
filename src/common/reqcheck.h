// Checks on request texts (and names from Google) before they become paths.
#pragma once

#include <string_view>

namespace qlm {

// True for the 36-character id form made by smbbackup::Create_New_ID (task, auth and mission ids).
bool Is_Id_Form(const char* text);
// True when the text is one path component: not empty, not "." or "..", no "/", no control character.
bool Is_Single_Path_Component(std::string_view text);
// True for an account name: one path component holding an "@", not starting with "-".
bool Is_Account_Form(std::string_view text);
// True for an id as Google gives them: 1 to 200 characters of [A-Za-z0-9_-].
bool Is_Google_Id_Form(std::string_view text);
// True for a non-empty run of at most 18 decimal digits (a catalog index).
bool Is_Index_Form(std::string_view text);

}  // namespace qlm
