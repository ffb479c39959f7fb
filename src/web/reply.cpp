#include "web/reply.h"

#include <cstdio>
#include <string>

#include "plat_cgi.h"
#include "plat_json.h"

namespace qlm {

void Ensure_Reply_Header() {
    if (!Content_Type_Header_Printed()) O_CGI_AGENT::Print_Content_Type_Header();
}

void Append_Json_Escaped(const char* text, std::string& out) {
    if (text == nullptr) return;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        switch (*p) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (*p < 0x20 || *p == 0x7f) {
                char buf[8];
                snprintf(buf, sizeof buf, "\\u%04x", *p);
                out += buf;
            } else {
                out += static_cast<char>(*p);
            }
        }
    }
}

void Reply_Error(int code, const char* msg) {
    Ensure_Reply_Header();
    std::string escaped;
    Append_Json_Escaped(msg, escaped);
    printf("{ \"success\": false, \"error_code\": %d, \"error_msg\": \"%s\" }\n", code, escaped.c_str());
    fflush(stdout);
}

void Reply_Error_No_Msg(int code) {
    Ensure_Reply_Header();
    printf("{ \"success\": false, \"error_code\": %d }\n", code);
    fflush(stdout);
}

void Reply_Json(json_object* obj) {
    const char* text = obj ? Json_To_String(obj) : nullptr;
    // A reply that cannot be written must not go out looking like one without an error.
    if (text == nullptr) return Reply_Error_No_Msg(kReplyFailed);
    Ensure_Reply_Header();
    puts(text);
    fflush(stdout);
}

void Reply_Success() {
    RAIIful_Json reply(Json_Dict_Init());
    if (reply) Json_Dict_Add_Bool(reply.get(), "success", true);
    Reply_Json(reply.get());
}

}  // namespace qlm
