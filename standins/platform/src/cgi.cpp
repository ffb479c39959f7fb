// The CGI agent: parameters from the query string and an urlencoded body, the JSON header.
#include "plat_cgi.h"

#include "nasplat_store.h"
#include "plat_upload.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <strings.h>
#include <unistd.h>

namespace {

// A form body larger than this is not a form a web page sends; it is left unread.
constexpr long long kMaxFormBody = 16LL << 20;

bool g_headerPrinted = false;

int Hex_Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void Add_Params(std::vector<std::pair<std::string, std::string>>& params, std::string_view text) {
    for (std::string_view piece : nasplat::Split(text, '&')) {
        if (piece.empty()) continue;
        size_t eq = piece.find('=');
        std::string_view name = piece.substr(0, eq);
        if (name.empty()) continue;
        std::string_view value = eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1);
        params.emplace_back(Cgi_Url_Decode(name.data(), name.size()),
                            Cgi_Url_Decode(value.data(), value.size()));
    }
}

// The media type of a Content-Type value, lower-cased, without parameters and blanks.
std::string Media_Type(const char* contentType) {
    std::string type;
    for (const char* p = contentType; p && *p && *p != ';'; ++p) {
        if (*p == ' ' || *p == '\t') continue;
        type += static_cast<char>((*p >= 'A' && *p <= 'Z') ? *p + 32 : *p);
    }
    return type;
}

// CONTENT_LENGTH as a number; -1 when unset, -2 when it is not a length.
long long Content_Length() {
    const char* v = getenv("CONTENT_LENGTH");
    if (!v) return -1;
    long long n = 0;
    if (!nasplat::Parse_Int64(v, 0, INT64_MAX, n)) return -2;
    return n;
}

// Reads exactly len bytes of standard input, fewer only when it ends first.
std::string Read_Stdin(size_t len) {
    std::string body(len, '\0');
    size_t got = 0;
    while (got < len) {
        ssize_t n = read(STDIN_FILENO, body.data() + got, len - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    body.resize(got);
    return body;
}

bool Is_Bool_Word(const char* text, const char* const* words) {
    for (; *words; ++words)
        if (strcasecmp(text, *words) == 0) return true;
    return false;
}

template <typename T>
int Get_Integer(const O_CGI_AGENT& agent, const char* name, T& out, long long lo, long long hi) {
    const char* v = agent.Get_Param(name);
    if (!v) return -61;
    long long n = 0;
    if (!nasplat::Parse_Int64(v, lo, hi, n)) return -22;
    out = static_cast<T>(n);
    return 0;
}

// Test knob (only under QLM_ROOT): QLM_PARAM_TRACE names a file that gets one line per parameter
// name a handler asks for, so a test can tell which parameters an action reads.
void Trace_Param(const char* name) {
    static const char* s_file = getenv("QLM_ROOT") ? getenv("QLM_PARAM_TRACE") : nullptr;
    if (!s_file || !*s_file) return;
    int fd = open(s_file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    std::string line = std::string(name) + "\n";
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
    close(fd);
}

}  // namespace

std::string Cgi_Url_Decode(const char* text, size_t len) {
    std::string out;
    out.reserve(len);
    for (size_t i = 0; i < len; ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < len && Hex_Digit(text[i + 1]) >= 0 && Hex_Digit(text[i + 2]) >= 0) {
            out += static_cast<char>(Hex_Digit(text[i + 1]) * 16 + Hex_Digit(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

O_CGI_AGENT::O_CGI_AGENT() {
    if (const char* q = getenv("QUERY_STRING")) Add_Params(m_vParams, q);
    const char* method = getenv("REQUEST_METHOD");
    if (!method || strcmp(method, "POST") != 0) return;
    if (Media_Type(getenv("CONTENT_TYPE")) != "application/x-www-form-urlencoded") return;
    long long len = Content_Length();
    if (len <= 0 || len > kMaxFormBody) return;
    Add_Params(m_vParams, Read_Stdin(static_cast<size_t>(len)));
}

const char* O_CGI_AGENT::Get_Param(const char* name) const {
    if (!name) return nullptr;
    Trace_Param(name);
    for (const auto& [key, value] : m_vParams)
        if (key == name) return value.c_str();
    return nullptr;
}

int O_CGI_AGENT::Get_Param_Length(const char* name, size_t& len) const {
    if (!name) return -22;
    Trace_Param(name);
    for (const auto& [key, value] : m_vParams)
        if (key == name) {
            len = value.size();
            return 0;
        }
    return -61;
}

int O_CGI_AGENT::Get_Boolean_Param(const char* name, int& out) const {
    static const char* const kTrue[] = {"1", "true", "yes", "on", nullptr};
    static const char* const kFalse[] = {"0", "false", "no", "off", nullptr};
    const char* v = Get_Param(name);
    if (!v) return -61;
    if (Is_Bool_Word(v, kTrue)) {
        out = 1;
        return 0;
    }
    if (Is_Bool_Word(v, kFalse)) {
        out = 0;
        return 0;
    }
    return -22;
}

int O_CGI_AGENT::Get_Integer_Param(const char* name, int& out) const {
    return Get_Integer(*this, name, out, INT32_MIN, INT32_MAX);
}

int O_CGI_AGENT::Get_Integer_Param(const char* name, int64_t& out) const {
    return Get_Integer(*this, name, out, INT64_MIN, INT64_MAX);
}

void O_CGI_AGENT::Print_Content_Type_Header() {
    if (g_headerPrinted) return;
    g_headerPrinted = true;
    fputs("Content-Type: application/json; charset=UTF-8\r\n\r\n", stdout);
    fflush(stdout);
}

bool Content_Type_Header_Printed() { return g_headerPrinted; }

void Mark_Content_Type_Header_Printed() { g_headerPrinted = true; }

Multipart_Parser* O_CGI_AGENT::Get_Multipart_Parser() {
    // The body can be read once, so the process has one parser for it.
    static bool s_made = false;
    static std::unique_ptr<Multipart_Parser> s_parser;
    if (s_made) return s_parser.get();
    s_made = true;
    std::string boundary = Multipart_Boundary(getenv("CONTENT_TYPE"));
    long long len = Content_Length();
    if (boundary.empty() || len == -2) return nullptr;
    s_parser = std::make_unique<Multipart_Parser>(STDIN_FILENO, boundary, len);
    return s_parser.get();
}

O_APP_CGI_AGENT::O_APP_CGI_AGENT(int) {}
