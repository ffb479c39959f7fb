// Downloads to the browser: the whole CGI response (header and body) on standard output.
// Everything is checked before the first byte goes out, so a refused download can still be
// answered with a JSON error. Every entry is opened relative to its folder without following a
// link, so nothing outside the named entries is ever sent.
#include "plat_download.h"

#include "plat_cgi.h"
#include "plat_fd.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <magic.h>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int16_t kAclRead = 0x0001;
constexpr int kMaxDepth = 128;
constexpr size_t kCopyBuffer = 256 * 1024;

int16_t g_lackedAcl = 0;

struct Archive_Deleter {
    void operator()(archive* a) const { archive_write_free(a); }
};
struct Entry_Deleter {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};
struct Magic_Deleter {
    void operator()(magic_set* m) const { magic_close(m); }
};
using Archive = std::unique_ptr<archive, Archive_Deleter>;
using Entry = std::unique_ptr<archive_entry, Entry_Deleter>;
using Magic = std::unique_ptr<magic_set, Magic_Deleter>;

bool Is_Entry_Name(const char* name) {
    return name && *name && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && !strchr(name, '/');
}

// The result for an entry that could not be opened or examined.
int Open_Error(int err) {
    if (err == EACCES || err == EPERM) {
        g_lackedAcl = kAclRead;
        return -13;
    }
    if (err == ENOENT || err == ENOTDIR || err == ELOOP) return -2;  // ELOOP: a link, not an entry
    return -err;
}

// One named entry: its folder's descriptor and its name in that folder.
struct Item {
    int dirFd;
    std::string strName;
    struct stat st;
};

// Visits a folder tree in name order, never leaving it: folder(path, st) for each folder,
// file(path, st, fd) for each regular file. Links and special files are passed over.
template <typename Visitor>
int Walk(int parentFd, const std::string& name, const std::string& path, int depth, Visitor& v) {
    if (depth > kMaxDepth) return -ELOOP;
    plat::Fd dir(openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) return Open_Error(errno);
    struct stat st;
    if (fstat(dir.get(), &st) != 0) return -errno;
    if (int rc = v.Folder(path + "/", st); rc != 0) return rc;

    std::vector<std::string> names;
    {
        int listFd = dup(dir.get());
        if (listFd < 0) return -errno;
        plat::Dir list(fdopendir(listFd));
        if (!list) {
            int err = errno;
            close(listFd);
            return Open_Error(err);
        }
        errno = 0;
        while (dirent* de = readdir(list.get())) {
            if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0) names.emplace_back(de->d_name);
            errno = 0;
        }
        if (errno != 0) return Open_Error(errno);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        struct stat est;
        if (fstatat(dir.get(), n.c_str(), &est, AT_SYMLINK_NOFOLLOW) != 0) return Open_Error(errno);
        int rc = 0;
        if (S_ISDIR(est.st_mode)) {
            rc = Walk(dir.get(), n, path + "/" + n, depth + 1, v);
        } else if (S_ISREG(est.st_mode)) {
            plat::Fd f(openat(dir.get(), n.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            rc = f ? v.File(path + "/" + n, est, f.get()) : Open_Error(errno);
        }
        if (rc != 0) return rc;
    }
    return 0;
}

// Only checks that everything can be opened.
struct Check_Visitor {
    int Folder(const std::string&, const struct stat&) { return 0; }
    int File(const std::string&, const struct stat&, int) { return 0; }
};

// The body of a response, written straight to the web server: when a write returns, its bytes
// are the server's, so a file reported sent has left this process. Standard output is switched to
// non-blocking writes for the body, so that the request's own callback runs before it waits on
// for a browser that has taken nothing for half a second.
class Body_Out {
public:
    explicit Body_Out(const _FILE_DL_OP_& op) : m_op(op) {}
    ~Body_Out() {
        if (m_oldFlags >= 0) fcntl(STDOUT_FILENO, F_SETFL, m_oldFlags);
    }
    Body_Out(const Body_Out&) = delete;
    Body_Out& operator=(const Body_Out&) = delete;

    // The header lines still in stdio's buffer go first. 0, or -errno.
    int Begin() {
        if (fflush(stdout) != 0) return -(errno ? errno : EIO);
        m_oldFlags = fcntl(STDOUT_FILENO, F_GETFL);
        if (m_oldFlags >= 0 && fcntl(STDOUT_FILENO, F_SETFL, m_oldFlags | O_NONBLOCK) != 0) m_oldFlags = -1;
        return 0;
    }

    // All of data, or -errno (EPIPE when the web server is gone).
    int Write(const void* data, size_t len) {
        const char* p = static_cast<const char*>(data);
        while (len > 0) {
            const ssize_t n = write(STDOUT_FILENO, p, len);
            if (n > 0) {
                p += n;
                len -= static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // A web server that takes the bytes soon is no stalled browser.
                int rc = Wait_Writable(kPatienceMs);
                if (rc == 0) {
                    if (m_op.pfnWaiting) m_op.pfnWaiting(m_op.pCallbackCtx);
                    rc = Wait_Writable(-1);
                }
                if (rc < 0) return rc;
                continue;
            }
            return n < 0 ? -errno : -EIO;
        }
        return 0;
    }

    void File_Sent(const std::string& path) const {
        if (m_op.pfnFileSent) m_op.pfnFileSent(m_op.pCallbackCtx, path.c_str());
    }

private:
    static constexpr int kPatienceMs = 500;

    // 1 when standard output takes bytes again (or a signal came: try again), 0 when timeoutMs
    // passed first, -errno on failure.
    static int Wait_Writable(int timeoutMs) {
        pollfd pfd{STDOUT_FILENO, POLLOUT, 0};
        const int rc = poll(&pfd, 1, timeoutMs);
        if (rc < 0) return errno == EINTR ? 1 : -errno;
        return rc;
    }

    const _FILE_DL_OP_& m_op;
    int m_oldFlags = -1;
};

la_ssize_t Archive_Write(archive*, void* out, const void* buf, size_t len) {
    return static_cast<Body_Out*>(out)->Write(buf, len) == 0 ? static_cast<la_ssize_t>(len) : -1;
}

// The length of the UTF-8 sequence at text[i] with its code point in *cp; 0 when the byte there
// begins no valid sequence (a stray continuation byte, an overlong form, a surrogate, a sequence
// cut short, beyond U+10FFFF).
size_t Utf8_At(const std::string& text, size_t i, uint32_t* cp) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    if (len == 0 || i + len > text.size()) return 0;
    uint32_t v = len == 1 ? c : len == 2 ? (c & 0x1f) : len == 3 ? (c & 0x0f) : (c & 0x07);
    for (size_t k = 1; k < len; ++k) {
        const unsigned char d = static_cast<unsigned char>(text[i + k]);
        if ((d & 0xc0) != 0x80) return 0;
        v = (v << 6) | (d & 0x3f);
    }
    static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < kLeast[len] || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff)) return 0;
    *cp = v;
    return len;
}

// An entry name every unzip reads as meant: bytes that are not UTF-8 become "_", and so does a
// backslash, which Windows tools take for a separator (a name "..\\..\\x" must not climb out).
std::string Zip_Name(const std::string& path) {
    std::string out;
    for (size_t i = 0; i < path.size();) {
        uint32_t cp = 0;
        const size_t len = Utf8_At(path, i, &cp);
        if (len == 0) {
            out += '_';
            ++i;
            continue;
        }
        out.append(path, i, len);
        if (cp == '\\') out.back() = '_';
        i += len;
    }
    return out;
}

struct Zip_Visitor {
    archive* a;
    const Body_Out& out;
    std::vector<char> buf = std::vector<char>(kCopyBuffer);

    int Header(const std::string& path, const struct stat& st, mode_t type) {
        Entry e(archive_entry_new());
        if (!e) return -ENOMEM;
        archive_entry_set_pathname(e.get(), Zip_Name(path).c_str());
        archive_entry_set_filetype(e.get(), type);
        archive_entry_set_perm(e.get(), st.st_mode & 0777);
        archive_entry_set_mtime(e.get(), st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        archive_entry_set_size(e.get(), type == AE_IFREG ? st.st_size : 0);
        return archive_write_header(a, e.get()) < ARCHIVE_WARN ? -EIO : 0;
    }
    int Folder(const std::string& path, const struct stat& st) { return Header(path, st, AE_IFDIR); }
    int File(const std::string& path, const struct stat& st, int fd) {
        if (int rc = Header(path, st, AE_IFREG); rc != 0) return rc;
        off_t left = st.st_size;  // the size the entry announced, even if the file grows meanwhile
        while (left > 0) {
            ssize_t n = read(fd, buf.data(), static_cast<size_t>(std::min<off_t>(left, kCopyBuffer)));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return n < 0 ? -errno : -EIO;
            if (archive_write_data(a, buf.data(), static_cast<size_t>(n)) != n) return -EIO;
            left -= n;
        }
        // The entry's trailer goes out now, not with the next entry: then the file is sent.
        if (archive_write_finish_entry(a) < ARCHIVE_WARN) return -EIO;
        out.File_Sent(path);
        return 0;
    }
};

// The ASCII letter closest to a Latin letter with a mark (U+00C0 to U+017F), "_" for the few
// without one (multiplication and division signs, thorn).
constexpr char kLatin1Letters[] = "AAAAAAACEEEEIIIIDNOOOOOxOUUUUY_saaaaaaaceeeeiiiidnooooo_ouuuuy_y";
constexpr char kLatinExtendedA[] =
    "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIiIiJjKkkLlLlLlLlLlNnNnNnnNnOoOoOoOoRrRrRrSsSsSsSsTtTtTtUuUuUuUu"
    "UuUuWwYyYZzZzZzs";
static_assert(sizeof kLatin1Letters == 0x40 + 1 && sizeof kLatinExtendedA == 0x80 + 1);

// Marks that only change the character before them (combining accents, variation selectors).
bool Is_Mark(uint32_t cp) { return (cp >= 0x300 && cp <= 0x36f) || (cp >= 0xfe00 && cp <= 0xfe0f); }

// The name for clients that read only the plain filename=: one ASCII character for each character
// of the name (a letter with a mark becomes the bare letter, anything else without an ASCII
// likeness "_", a mark after a character nothing), so the name keeps its length and its
// extension. Quotes, backslashes and control bytes, which would break the quoted text, become "_",
// and so does each byte that is not UTF-8.
std::string Ascii_File_Name(const std::string& name) {
    std::string out;
    for (size_t i = 0; i < name.size();) {
        uint32_t cp = 0;
        const size_t len = Utf8_At(name, i, &cp);
        i += len ? len : 1;
        if (len == 0) {
            out += '_';
        } else if (cp >= 0x20 && cp < 0x7f) {
            out += (cp == '"' || cp == '\\') ? '_' : static_cast<char>(cp);
        } else if (cp >= 0xc0 && cp < 0x100) {
            out += kLatin1Letters[cp - 0xc0];
        } else if (cp >= 0x100 && cp < 0x180) {
            out += kLatinExtendedA[cp - 0x100];
        } else if (!Is_Mark(cp) || out.empty()) {
            out += '_';
        }
    }
    return out;
}

// RFC 6266: a plain quoted name for old clients, the exact UTF-8 name for the others.
std::string Content_Disposition(const std::string& name) {
    static const char kAttrChars[] = "!#$&+-.^_`|~";
    std::string encoded;
    for (unsigned char c : name) {
        if (isalnum(c) && c < 0x80) {
            encoded += static_cast<char>(c);
        } else if (c != 0 && strchr(kAttrChars, c)) {
            encoded += static_cast<char>(c);
        } else {
            char pct[4];
            snprintf(pct, sizeof pct, "%%%02X", c);
            encoded += pct;
        }
    }
    return "attachment; filename=\"" + Ascii_File_Name(name) + "\"; filename*=UTF-8''" + encoded;
}

// The MIME type libmagic finds in the first bytes of the file; octet-stream when it finds none.
std::string Detect_Type(int fd) {
    const std::string fallback = "application/octet-stream";
    Magic m(magic_open(MAGIC_MIME_TYPE | MAGIC_ERROR));
    if (!m || magic_load(m.get(), nullptr) != 0) return fallback;
    std::vector<char> head(64 * 1024);
    ssize_t n = pread(fd, head.data(), head.size(), 0);
    if (n < 0) return fallback;
    const char* type = magic_buffer(m.get(), head.data(), static_cast<size_t>(n));
    if (!type || !*type) return fallback;
    for (const char* p = type; *p; ++p)  // it goes into a header line
        if (!isalnum(static_cast<unsigned char>(*p)) && !strchr("!#$&^_.+-/", *p)) return fallback;
    return type;
}

int Begin_Response(_FILE_DL_OP_& op, Body_Out& out, const std::string& type, const std::string& name,
                   const off_t* length) {
    Mark_Content_Type_Header_Printed();
    op.bBegun = 1;
    printf("Content-Type: %s\r\nContent-Disposition: %s\r\n", type.c_str(), Content_Disposition(name).c_str());
    if (length) printf("Content-Length: %lld\r\n", static_cast<long long>(*length));
    fputs("\r\n", stdout);
    return out.Begin();
}

int End_Response(int rc) {
    if (fflush(stdout) != 0 && rc == 0) rc = -EIO;
    if (rc != 0) fprintf(stderr, "Download_Files: the response broke off (%d)\n", rc);
    return rc;
}

int Send_File(_FILE_DL_OP_& op, const Item& item) {
    plat::Fd f(openat(item.dirFd, item.strName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!f) return Open_Error(errno);
    struct stat st;
    if (fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -2;
    Body_Out out(op);
    int rc = Begin_Response(op, out, op.iMode != 0 ? Detect_Type(f.get()) : "application/octet-stream",
                            item.strName, &st.st_size);
    std::vector<char> buf(kCopyBuffer);
    off_t left = st.st_size;
    while (left > 0 && rc == 0) {
        ssize_t n = read(f.get(), buf.data(), static_cast<size_t>(std::min<off_t>(left, kCopyBuffer)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            rc = n < 0 ? -errno : -EIO;  // shorter than announced
            break;
        }
        rc = out.Write(buf.data(), static_cast<size_t>(n));
        left -= n;
    }
    if (rc == 0) out.File_Sent(item.strName);
    return End_Response(rc);
}

// Switches the calling thread to a locale for one scope.
class Thread_Locale {
public:
    explicit Thread_Locale(const char* name) : m_loc(newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0))) {
        if (m_loc) m_old = uselocale(m_loc);
    }
    ~Thread_Locale() {
        if (!m_loc) return;
        uselocale(m_old);
        freelocale(m_loc);
    }
    Thread_Locale(const Thread_Locale&) = delete;
    Thread_Locale& operator=(const Thread_Locale&) = delete;

private:
    locale_t m_loc;
    locale_t m_old = static_cast<locale_t>(0);
};

int Send_Zip(_FILE_DL_OP_& op, const std::vector<Item>& items) {
    Body_Out out(op);  // before the archive, which may still write while it is freed
    Archive a(archive_write_new());
    // No blocks: each piece goes out as libarchive makes it, so an entry's end is out when it is done.
    if (!a || archive_write_set_format_zip(a.get()) != ARCHIVE_OK ||
        archive_write_set_bytes_per_block(a.get(), 0) != ARCHIVE_OK)
        return -ENOMEM;
    std::string name = items.size() == 1 ? items[0].strName + ".zip" : "download.zip";
    if (int rc = Begin_Response(op, out, "application/zip", name, nullptr); rc != 0) return End_Response(rc);
    if (archive_write_open(a.get(), &out, nullptr, Archive_Write, nullptr) != ARCHIVE_OK)
        return End_Response(-EIO);
    // Names are UTF-8 on the NAS; libarchive flags them so in the zip only when the thread's
    // character set says UTF-8. The process's own locale stays as it is.
    Thread_Locale utf8("C.UTF-8");
    Zip_Visitor zip{a.get(), out};
    int rc = 0;
    for (const Item& item : items) {
        if (S_ISDIR(item.st.st_mode)) {
            rc = Walk(item.dirFd, item.strName, item.strName, 0, zip);
        } else {
            plat::Fd f(openat(item.dirFd, item.strName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            rc = f ? zip.File(item.strName, item.st, f.get()) : Open_Error(errno);
        }
        if (rc != 0) break;
    }
    if (archive_write_close(a.get()) != ARCHIVE_OK && rc == 0) rc = -EIO;
    return End_Response(rc);
}

// The items of the request, each checked: it exists, is a regular file or a folder (not a link),
// and everything in it can be read.
int Collect_Items(const _FILE_DL_OP_& op, std::vector<plat::Fd>& dirs, std::vector<Item>& items) {
    std::vector<std::pair<std::string, std::string>> wanted;  // (folder, name)
    if (!op.vsFilePath.empty()) {
        for (const std::string& p : op.vsFilePath) {
            size_t slash = p.rfind('/');
            if (p.empty() || p[0] != '/' || slash == std::string::npos) return -2;
            wanted.emplace_back(slash == 0 ? "/" : p.substr(0, slash), p.substr(slash + 1));
        }
    } else {
        if (!op.pszpPath || op.nFiles <= 0 || !op.pFileNames) return -2;
        for (int i = 0; i < op.nFiles; ++i) {
            if (!op.pFileNames[i]) return -2;
            wanted.emplace_back(op.pszpPath, op.pFileNames[i]);
        }
    }
    std::string lastFolder;
    for (const auto& [folder, name] : wanted) {
        if (!Is_Entry_Name(name.c_str())) return -2;
        if (dirs.empty() || folder != lastFolder) {  // names of one folder share its descriptor
            plat::Fd d(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!d) return Open_Error(errno);
            dirs.push_back(std::move(d));
            lastFolder = folder;
        }
        Item item{dirs.back().get(), name, {}};
        if (fstatat(item.dirFd, name.c_str(), &item.st, AT_SYMLINK_NOFOLLOW) != 0) return Open_Error(errno);
        Check_Visitor check;
        int rc = -2;
        if (S_ISDIR(item.st.st_mode)) {
            rc = Walk(item.dirFd, name, name, 0, check);
        } else if (S_ISREG(item.st.st_mode)) {
            plat::Fd f(openat(item.dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            rc = f ? 0 : Open_Error(errno);
        }
        if (rc != 0) return rc;
        items.push_back(std::move(item));
    }
    return 0;
}

}  // namespace

int Download_Files(int, const char*, _FILE_DL_OP_* op) {
    g_lackedAcl = 0;
    if (!op) return -22;
    op->bBegun = 0;
    std::vector<plat::Fd> dirs;
    std::vector<Item> items;
    if (int rc = Collect_Items(*op, dirs, items); rc != 0) return rc;
    if (items.size() == 1 && S_ISREG(items[0].st.st_mode)) return Send_File(*op, items[0]);
    return Send_Zip(*op, items);
}

int16_t Get_Lacked_ACL_Value() { return g_lackedAcl; }

int Parse_String(int count, const char* text, const char* sep, char*** out) {
    if (count < 0 || !text || !sep || !*sep || !out) return -22;
    std::vector<std::string> pieces;
    if (*text) {
        const size_t sepLen = strlen(sep);
        for (const char* p = text;;) {
            const char* at = strstr(p, sep);
            pieces.emplace_back(p, at ? static_cast<size_t>(at - p) : strlen(p));
            if (!at) break;
            p = at + sepLen;
        }
    }
    if (pieces.size() != static_cast<size_t>(count)) return -22;
    char** list = static_cast<char**>(calloc(pieces.size() + 1, sizeof(char*)));
    if (!list) return -12;
    for (size_t i = 0; i < pieces.size(); ++i) {
        list[i] = strdup(pieces[i].c_str());
        if (!list[i]) {
            for (size_t j = 0; j < i; ++j) free(list[j]);
            free(list);
            return -12;
        }
    }
    *out = list;
    return 0;
}
