// Streaming multipart/form-data parser for uploads. The body is read once, chunk by chunk; a file
// part's data goes to the write callback as it arrives, so an upload of any size costs one buffer.
#include "plat_upload.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace {

constexpr int kMalformed = -22;
constexpr size_t kMaxHeaderBlock = 16 * 1024;
constexpr size_t kMaxBoundary = 70;  // RFC 2046

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool Equal_No_Case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The parameters of a header value such as `form-data; name="f"; filename="a;b.txt"`, quoted
// strings with their backslash escapes undone. Calls take(name, value) for each.
template <typename Take>
void Header_Params(std::string_view value, Take take) {
    size_t i = value.find(';');
    while (i != std::string_view::npos && i < value.size()) {
        ++i;
        size_t eq = value.find('=', i);
        if (eq == std::string_view::npos) return;
        std::string_view name = Trim(value.substr(i, eq - i));
        size_t j = eq + 1;
        while (j < value.size() && (value[j] == ' ' || value[j] == '\t')) ++j;
        std::string v;
        if (j < value.size() && value[j] == '"') {
            for (++j; j < value.size() && value[j] != '"'; ++j) {
                if (value[j] == '\\' && j + 1 < value.size()) ++j;
                v += value[j];
            }
            i = value.find(';', j);
        } else {
            size_t end = value.find(';', j);
            v = Trim(value.substr(j, end == std::string_view::npos ? std::string_view::npos : end - j));
            i = end;
        }
        take(name, v);
    }
}

}  // namespace

std::string Multipart_Boundary(const char* contentType) {
    if (!contentType) return std::string();
    std::string_view ct = contentType;
    std::string_view type = Trim(ct.substr(0, ct.find(';')));
    if (!Equal_No_Case(type, "multipart/form-data")) return std::string();
    std::string boundary;
    Header_Params(ct, [&](std::string_view name, const std::string& v) {
        if (boundary.empty() && Equal_No_Case(name, "boundary")) boundary = v;
    });
    if (boundary.size() > kMaxBoundary) return std::string();
    for (unsigned char c : boundary)
        if (c < 0x20 || c == 0x7f) return std::string();
    return boundary;
}

Upload_Session::Upload_Session() : iTime(time(nullptr)) { MD5_Init(&md5CTX); }

Multipart_Parser::Multipart_Parser(int fd, std::string boundary, int64_t contentLength)
    : m_fd(fd), m_llRemaining(contentLength), m_strDelimiter("\r\n--" + boundary) {
    // Room for one chunk plus the held-back tail that may begin a delimiter.
    m_buf.resize(kChunk + m_strDelimiter.size() - 1);
    // Every delimiter, the first one included, is then "\r\n--boundary": the body may start
    // with it directly or after a preamble.
    m_buf[0] = '\r';
    m_buf[1] = '\n';
    m_end = 2;
    if (boundary.empty()) m_state = State::Failed;
}

Multipart_Parser::~Multipart_Parser() = default;

void Multipart_Parser::Set_Upload_File_Callback(Upload_Open_Callback open, Upload_Write_Callback write,
                                                Upload_Close_Callback close, Upload_Error_Callback error,
                                                void* user) {
    m_open = std::move(open);
    m_write = std::move(write);
    m_close = std::move(close);
    m_error = std::move(error);
    m_pUser = user;
    m_part.pUser = user;
}

// Moves the unread bytes to the front and reads more. Bytes read, 0 at the end, or -errno.
int Multipart_Parser::Fill() {
    if (m_pos > 0) {
        memmove(m_buf.data(), m_buf.data() + m_pos, m_end - m_pos);
        m_end -= m_pos;
        m_pos = 0;
    }
    size_t room = m_buf.size() - m_end;
    if (room == 0) return kMalformed;
    if (m_llRemaining >= 0) room = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(room), m_llRemaining));
    if (room == 0) return 0;
    for (;;) {
        ssize_t n = read(m_fd, m_buf.data() + m_end, room);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        m_end += static_cast<size_t>(n);
        if (m_llRemaining > 0) m_llRemaining -= n;
        return static_cast<int>(n);
    }
}

// At least n unread bytes, or kMalformed when the body ends first.
int Multipart_Parser::Ensure(size_t n) {
    while (m_end - m_pos < n) {
        int r = Fill();
        if (r < 0) return r;
        if (r == 0) return kMalformed;
    }
    return 0;
}

int Multipart_Parser::Fail(int code) {
    m_state = State::Failed;
    if (m_error) m_error(m_part, code);
    return code;
}

int Multipart_Parser::Deliver(char* data, size_t len) {
    while (len > 0) {
        int n = static_cast<int>(std::min<size_t>(len, kChunk));
        int taken = m_write ? m_write(m_part, data, n) : n;
        if (taken < 0) return taken;
        if (taken == 0 || taken > n) return -EIO;  // a writer that takes nothing would never end
        m_part.llBytes += taken;
        data += taken;
        len -= static_cast<size_t>(taken);
    }
    return 0;
}

// Passes the data of the current part up to and over the next delimiter, handing it to the write
// callback when deliver is set. A delimiter may straddle two reads, so the last delimiter-length
// bytes are held back until more has been read.
int Multipart_Parser::Pass_Data(bool deliver) {
    const std::string& d = m_strDelimiter;
    for (;;) {
        char* base = m_buf.data();
        auto* hit = static_cast<char*>(memmem(base + m_pos, m_end - m_pos, d.data(), d.size()));
        size_t safe = hit ? static_cast<size_t>(hit - (base + m_pos))
                          : (m_end - m_pos > d.size() - 1 ? m_end - m_pos - (d.size() - 1) : 0);
        if (deliver && safe > 0) {
            if (int rc = Deliver(base + m_pos, safe); rc != 0) return rc;
        }
        m_pos += safe;
        if (hit) {
            m_pos += d.size();
            return 0;
        }
        int r = Fill();
        if (r < 0) return r;
        if (r == 0) return kMalformed;  // the body ended inside a part
    }
}

// Reads what follows a delimiter: "--" closes the body; else optional blanks, CRLF and the part's
// header block up to its empty line. isFile tells whether the part carries a file name.
int Multipart_Parser::Read_Part_Headers(bool& isFile) {
    if (int rc = Ensure(2); rc != 0) return rc;
    if (m_buf[m_pos] == '-' && m_buf[m_pos + 1] == '-') {
        m_state = State::End;
        return 0;
    }
    for (;;) {  // transport padding before the line end
        if (int rc = Ensure(1); rc != 0) return rc;
        if (m_buf[m_pos] != ' ' && m_buf[m_pos] != '\t') break;
        ++m_pos;
    }
    // The header block runs from this line end to the first empty line; with no headers at all
    // the "\r\n\r\n" starts right here.
    size_t found = std::string::npos;
    for (;;) {
        std::string_view unread(m_buf.data() + m_pos, m_end - m_pos);
        if (unread.size() >= 2 && unread.substr(0, 2) != "\r\n") return kMalformed;
        found = unread.find("\r\n\r\n");
        if (found != std::string_view::npos) break;
        if (unread.size() > kMaxHeaderBlock) return kMalformed;
        int r = Fill();
        if (r < 0) return r;
        if (r == 0) return kMalformed;
    }
    std::string_view block(m_buf.data() + m_pos + 2, found >= 2 ? found - 2 : 0);
    m_pos += found + 4;

    Part_Info part;
    part.pUser = m_pUser;
    isFile = false;
    while (!block.empty()) {
        size_t nl = block.find("\r\n");
        std::string_view line = block.substr(0, nl);
        block.remove_prefix(nl == std::string_view::npos ? block.size() : nl + 2);
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) return kMalformed;
        std::string_view name = Trim(line.substr(0, colon)), value = Trim(line.substr(colon + 1));
        if (Equal_No_Case(name, "Content-Type")) {
            part.strContentType = value;
        } else if (Equal_No_Case(name, "Content-Disposition")) {
            Header_Params(value, [&](std::string_view key, const std::string& v) {
                if (Equal_No_Case(key, "name")) part.strName = v;
                if (Equal_No_Case(key, "filename")) {
                    part.strFileName = v;
                    isFile = true;
                } else if (Equal_No_Case(key, "filename*")) {
                    // An extended name alone still makes a file part; a plain one, if any, names it.
                    if (part.strFileName.empty()) part.strFileName = v;
                    isFile = true;
                }
            });
        }
    }
    m_part = std::move(part);
    return 0;
}

int Multipart_Parser::Parse_Until_File_Upload() {
    switch (m_state) {
    case State::Failed: return kMalformed;
    case State::End: return 0;
    case State::InFileData:  // the caller skips this file part
        if (int rc = Pass_Data(false); rc != 0) return Fail(rc);
        m_state = State::AfterDelimiter;
        break;
    case State::Start:  // the preamble, up to the first delimiter
        if (int rc = Pass_Data(false); rc != 0) return Fail(rc);
        m_state = State::AfterDelimiter;
        break;
    case State::AfterDelimiter: break;
    }
    for (;;) {
        bool isFile = false;
        if (int rc = Read_Part_Headers(isFile); rc != 0) return Fail(rc);
        if (m_state == State::End) return 0;
        if (isFile) {
            m_state = State::InFileData;
            return 1;
        }
        if (int rc = Pass_Data(false); rc != 0) return Fail(rc);
    }
}

int Multipart_Parser::Parse_One_Part() {
    if (m_state != State::InFileData) return m_state == State::Failed ? kMalformed : Fail(kMalformed);
    m_part.pUser = m_pUser;
    if (m_open) {
        if (int rc = m_open(m_part); rc < 0) return Fail(rc);
    }
    if (int rc = Pass_Data(true); rc != 0) return Fail(rc);
    m_state = State::AfterDelimiter;
    if (m_close) {
        if (int rc = m_close(m_part); rc < 0) return Fail(rc);
    }
    return 0;
}
