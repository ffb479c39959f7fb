#include "nasplat_store.h"

#include "plat_file.h"
#include "plat_root.h"
#include "whole_file.h"

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

int Read_Text_File(const std::string& path, std::string& out, size_t limit) {
    std::string text;
    if (int rc = plat::Read_Whole_File(path.c_str(), text); rc != 0) return rc;
    if (text.size() > limit) return -EFBIG;
    out = std::move(text);
    return 0;
}

int Write_File_Atomic(const std::string& path, const std::string& content, mode_t mode) {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        int rc = smbbackup::Create_Path(path.substr(0, slash).c_str(), 0700);
        if (rc != 0) return rc;
    }
    return plat::Write_Whole_File(path.c_str(), content.data(), content.size(), mode);
}

Store_Lock::Store_Lock(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) smbbackup::Create_Path(path.substr(0, slash).c_str(), 0700);
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

bool Is_App_List(std::string_view apps, bool allowEmpty) {
    if (apps == "*" || (allowEmpty && apps.empty())) return true;
    for (std::string_view app : Split(apps, ','))
        if (!Is_Plain_Name(app)) return false;
    return true;
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
