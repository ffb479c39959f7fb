#include "upload/upload.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <future>
#include <memory>
#include <vector>

#include "common/guards.h"
#include "plat_cgi.h"
#include "plat_upload.h"

namespace qlm {

namespace {

// The state of one upload shared by its chunk writes.
struct Upload_Writer {
    Upload_Session& session;
    int fd;
    int64_t llSkip;  // body bytes still to pass over (already stored by an earlier attempt)
};

// Stores one chunk; len, or minus errno (-27 once the key would grow beyond its limit).
int Write_Chunk(Upload_Writer& w, char* data, int len) {
    if (len <= 0) return len;
    if (w.llSkip >= len) {
        w.llSkip -= len;
        return len;
    }
    char* p = data + w.llSkip;
    size_t n = static_cast<size_t>(len - w.llSkip);
    w.llSkip = 0;
    if (w.session.iOffset + static_cast<int64_t>(n) > kMaxKeyUploadBytes) return -EFBIG;
    // The hash of the chunk runs beside its write; it is joined before the next chunk.
    std::future<void> md5 = std::async(std::launch::async, [&w, p, n] { MD5_Update(&w.session.md5CTX, p, n); });
    int result = len;
    size_t done = 0;
    while (done < n) {
        ssize_t k = write(w.fd, p + done, n - done);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            result = k < 0 ? -errno : -EIO;
            break;
        }
        done += static_cast<size_t>(k);
    }
    md5.wait();
    if (result < 0) return result;
    w.session.iOffset += static_cast<int64_t>(n);
    return result;
}

// CONTENT_LENGTH: 0 and len (-1 when unset), or -22 when it is not a decimal number.
int Content_Length(int64_t& len) {
    const char* v = getenv("CONTENT_LENGTH");
    len = -1;
    if (v == nullptr) return 0;
    if (*v < '0' || *v > '9') return -22;
    errno = 0;
    char* end = nullptr;
    long long n = strtoll(v, &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0') return -22;
    len = n;
    return 0;
}

int64_t Upload_Multipart(Multipart_Parser* parser, Upload_Writer& w, int64_t contentLength) {
    if (contentLength > kMaxKeyUploadBytes + kMaxMultipartOverhead) return -EFBIG;
    int r = parser->Parse_Until_File_Upload();
    if (r != 1) return r < 0 ? r : -22;
    parser->Set_Upload_File_Callback(
        nullptr, [&w](Part_Info&, char* data, int len) { return Write_Chunk(w, data, len); }, nullptr, nullptr,
        nullptr);
    return parser->Parse_One_Part();
}

// Reads standard input to its end, or exactly contentLength bytes when that is known: a body that
// ends early was cut off, and a web server may keep the input open after the body.
int64_t Upload_Raw(Upload_Writer& w, int64_t contentLength) {
    if (contentLength >= 0 && contentLength <= w.session.iOffset) return 0;
    if (contentLength > kMaxKeyUploadBytes + w.session.iOffset) return -EFBIG;
    std::vector<char> buf(kUploadChunkBytes);
    int64_t remaining = contentLength;  // negative: up to the end
    while (remaining != 0) {
        size_t want = buf.size();
        if (remaining > 0 && remaining < static_cast<int64_t>(want)) want = static_cast<size_t>(remaining);
        ssize_t got = read(STDIN_FILENO, buf.data(), want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -errno;
        if (got == 0) return remaining > 0 ? -EIO : 0;
        int r = Write_Chunk(w, buf.data(), static_cast<int>(got));
        if (r < 0) return r;
        if (remaining > 0) remaining -= got;
    }
    return 0;
}

}  // namespace

int64_t Upload_File(Upload_Session& session) {
    if (session.iOffset < 0) return -1;
    int64_t contentLength = -1;
    if (Content_Length(contentLength) != 0) return -22;
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (session.iOffset == 0 ? O_EXCL : 0);
    FdGuard file;
    file.fd = open(session.strFilePath.c_str(), flags, 0600);
    if (file.fd < 0) return -errno;
    if (lseek(file.fd, session.iOffset, SEEK_SET) < 0) return -errno;
    Upload_Writer w{session, file.fd, session.iOffset};
    Multipart_Parser* parser = O_CGI_AGENT::Get_Multipart_Parser();
    int64_t result = parser != nullptr ? Upload_Multipart(parser, w, contentLength) : Upload_Raw(w, contentLength);
    int fd = file.fd;
    file.fd = -1;
    if (close(fd) != 0 && result == 0) result = -errno;
    return result != 0 ? result : session.iOffset;
}

int Upload_Service_Account_Key_File(const char* pszStoragePath) {
    if (pszStoragePath == nullptr) return -1;
    Upload_Session session;
    session.strFilePath = pszStoragePath;
    int64_t r = Upload_File(session);
    return r > INT_MAX ? INT_MAX : static_cast<int>(r);
}

}  // namespace qlm
