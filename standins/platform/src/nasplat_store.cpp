#include "nasplat_store.h"

#include "plat_root.h"
#include "write_whole.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nasplat {

std::string Store_Path(const std::string& name) {
    return Plat_Root_Path(("/etc/nasplat/" + name).c_str());
}

int Make_Folders(const std::string& path, mode_t mode) {
    if (path.empty()) return -22;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i != path.size() && path[i] != '/') continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), mode) == 0 || errno == EEXIST) continue;
        return -errno;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -errno;
    return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
}

int Read_Text_File(const std::string& path, std::string& out, size_t limit) {
    plat::Fd f(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!f) return errno == ENOENT ? -2 : -errno;
    struct stat st;
    if (fstat(f.get(), &st) != 0) return -errno;
    if (!S_ISREG(st.st_mode)) return -EINVAL;
    std::string text;
    char buf[8192];
    for (;;) {
        ssize_t n = read(f.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > limit) return -EFBIG;
    }
    out = std::move(text);
    return 0;
}

int Write_File_Atomic(const std::string& path, const std::string& content, mode_t mode) {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        int rc = Make_Folders(path.substr(0, slash), 0700);
        if (rc != 0) return rc;
    }
    return plat::Write_Whole_File(path.c_str(), content.data(), content.size(), mode);
}

Store_Lock::Store_Lock(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) Make_Folders(path.substr(0, slash), 0700);
    m_fd.reset(open((path + ".lck").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!m_fd) {
        m_err = -errno;
        return;
    }
    while (flock(m_fd.get(), LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        m_err = -errno;
        m_fd.reset();
        return;
    }
}

std::vector<std::string_view> Split_Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return lines;
}

std::vector<std::string_view> Split(std::string_view text, char sep) {
    std::vector<std::string_view> pieces;
    for (;;) {
        size_t at = text.find(sep);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return pieces;
        text.remove_prefix(at + 1);
    }
}

bool Is_Plain_Name(std::string_view name) {
    if (name.empty() || name.size() > 128 || name[0] == '-') return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return name != "." && name != "..";
}

bool Parse_Int64(std::string_view text, long long lo, long long hi, long long& out) {
    const char* b = text.data();
    const char* e = b + text.size();
    bool plus = b != e && *b == '+';  // from_chars takes "-" but not "+"
    if (plus) ++b;
    if (b == e || (plus && *b == '-')) return false;
    long long v = 0;
    auto [p, ec] = std::from_chars(b, e, v);
    if (ec != std::errc() || p != e || v < lo || v > hi) return false;
    out = v;
    return true;
}

}  // namespace nasplat
