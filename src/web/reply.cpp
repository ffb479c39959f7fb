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

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed sequence at text[i], or 0 when none starts there; then `bad`
// is the length of the maximal ill-formed part to replace (at least 1).
size_t Utf8_Sequence(std::string_view text, size_t i, size_t& bad) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    bad = 1;
    if (c < 0x80) return 1;
    size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        if (c == 0xE0) lo = 0xA0;  // no overlong form
        if (c == 0xED) hi = 0x9F;  // no surrogate
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        if (c == 0xF0) lo = 0x90;  // no overlong form
        if (c == 0xF4) hi = 0x8F;  // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    for (size_t k = 1; k <= need; ++k) {
        const unsigned char b = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) {
            bad = k;
            return 0;
        }
    }
    return need + 1;
}

// The length of the valid UTF-8 text at the start of text.
size_t Valid_Prefix(std::string_view text) {
    size_t i = 0, bad = 0;
    while (i < text.size()) {
        // Plain ASCII, the bulk of every reply, is passed over a byte at a time.
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const size_t n = Utf8_Sequence(text, i, bad);
        if (n == 0) break;
        i += n;
    }
    return i;
}

}  // namespace

std::string Valid_Utf8(std::string_view text) {
    size_t i = Valid_Prefix(text);
    std::string out(text.substr(0, i));
    while (i < text.size()) {
        size_t bad = 0;
        const size_t n = Utf8_Sequence(text, i, bad);
        if (n > 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            out += kReplacement;
            i += bad;
        }
    }
    return out;
}

void Put_Reply_Text(const char* text) {
    if (text == nullptr) return;
    const std::string_view view(text);
    if (Valid_Prefix(view) == view.size())
        fwrite(view.data(), 1, view.size(), stdout);
    else
        fputs(Valid_Utf8(view).c_str(), stdout);
}

void Reply_Error(int code, const char* msg) {
    Ensure_Reply_Header();
    std::string escaped;
    Append_Json_Escaped(msg, escaped);
    printf("{ \"success\": false, \"error_code\": %d, \"error_msg\": \"%s\" }\n", code, Valid_Utf8(escaped).c_str());
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
    Put_Reply_Text(text);
    putchar('\n');
    fflush(stdout);
}

void Reply_Success() {
    RAIIful_Json reply(Json_Dict_Init());
    if (reply) Json_Dict_Add_Bool(reply.get(), "success", true);
    Reply_Json(reply.get());
}

}  // namespace qlm
