#include "plat_string.h"

#include "plat_json.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <uuid/uuid.h>

namespace smbbackup {

int Print_String_From_Format(std::string& out, const char* fmt, ...) {
    out.clear();
    if (!fmt) return -EINVAL;
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int need = vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    int rc = 0;
    if (need < 0) {
        rc = -EINVAL;
    } else {
        try {
            out.resize(static_cast<size_t>(need));
            // resize keeps room for the terminating NUL, so vsnprintf may write need + 1 bytes.
            if (vsnprintf(out.data(), static_cast<size_t>(need) + 1, fmt, again) != need) rc = -EINVAL;
        } catch (const std::bad_alloc&) {
            rc = -ENOMEM;
        }
    }
    va_end(again);
    if (rc != 0) out.clear();
    return rc;
}

std::string Create_New_ID() {
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_lower(id, text);
    return text;
}

bool Is_Task_Configure_File_Name(const char* name) {
    if (!name) return false;
    for (int i = 0; i < 36; ++i) {
        char c = name[i];
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return name[36] == '\0';
}

std::string Parse_Separated_Data_To_Json_String(const char* text, const char* sep, int /*flags*/) {
    RAIIful_Json list(Json_List_Init());
    if (!list) return "[]";
    std::string_view rest = text ? text : "";
    std::string_view separator = sep ? sep : "";
    while (!rest.empty()) {
        size_t at = separator.empty() ? std::string_view::npos : rest.find(separator);
        std::string_view item = rest.substr(0, at);
        rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + separator.size());
        size_t first = item.find_first_not_of(" \t\r\n");
        if (first == std::string_view::npos) continue;
        item = item.substr(first, item.find_last_not_of(" \t\r\n") - first + 1);
        if (Json_List_Add_Str(list.get(), std::string(item).c_str()) != 0) return "[]";
    }
    return Json_To_Plain_String(list.get());
}

}  // namespace smbbackup

int Copy_String(char** out, const char* in) {
    if (!out || !in) return -EINVAL;
    char* copy = strdup(in);
    if (!copy) return -ENOMEM;
    *out = copy;
    return 0;
}
