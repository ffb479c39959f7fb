// Locating the state, whole-file reads and atomic writes, the lock, ids, MD5 and times.
#include <gwssim/state.h>

#include <openssl/evp.h>

#include <cerrno>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

struct FdGuard {
    int fd;
    explicit FdGuard(int f) : fd(f) {}
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    ~FdGuard() { if (fd >= 0) close(fd); }
};

bool Is_Dir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int Make_Dirs(const std::string& dir) {
    if (dir.empty() || Is_Dir(dir)) return 0;
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && Make_Dirs(dir.substr(0, slash)) != 0) return -1;
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    return 0;
}

int Write_All(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

// Opens a fresh temporary file beside path; its name is given back.
int Open_Temp_Beside(const std::string& path, std::string& tmp) {
    size_t slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    if (Make_Dirs(dir) != 0) return -1;
    tmp = dir + "/.gwssim-tmp-XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd >= 0) fchmod(fd, 0644);
    return fd;
}

// Removes the temporary file unless the rename took it.
struct TempGuard {
    std::string path;
    bool armed = true;
    ~TempGuard() { if (armed && !path.empty()) unlink(path.c_str()); }
};

}  // namespace

std::string Gwssim_Root() {
    std::string root;
    if (const char* g = getenv("GWSSIM_ROOT"); g && *g) {
        root = g;
    } else {
        std::string q;
        if (const char* v = getenv("QLM_ROOT")) q = v;
        while (q.size() > 1 && q.back() == '/') q.pop_back();
        root = (q.size() > 1 && q[0] == '/' && Is_Dir(q)) ? q + "/var/lib/gwssim" : "/var/lib/gwssim";
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

bool Gwssim_Is_Path_Component(const std::string& s) {
    if (s.empty() || s == "." || s == "..") return false;
    for (unsigned char c : s)
        if (c == '/' || c < 0x20 || c == 0x7f) return false;
    return true;
}

std::string Gwssim_User_Dir(const std::string& root, const std::string& email) { return root + "/users/" + email; }

std::string Gwssim_Drive_Blob_Path(const std::string& root, const std::string& email, const std::string& item_id) {
    return Gwssim_User_Dir(root, email) + "/blobs/" + item_id;
}

std::string Gwssim_Shared_Blob_Path(const std::string& root, const std::string& drive_id, const std::string& item_id) {
    return root + "/shared/" + drive_id + "/blobs/" + item_id;
}

std::string Gwssim_Eml_Path(const std::string& root, const std::string& email, const std::string& message_id) {
    return Gwssim_User_Dir(root, email) + "/eml/" + message_id;
}

int Gwssim_Read_File(const std::string& path, std::string& bytes) {
    bytes.clear();
    FdGuard fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) return errno == ENOENT || errno == ENOTDIR ? -2 : -1;
    struct stat st;
    if (fstat(fd.fd, &st) == 0 && S_ISREG(st.st_mode)) bytes.reserve((size_t)st.st_size);
    char buf[65536];
    for (;;) {
        ssize_t r = read(fd.fd, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        bytes.append(buf, (size_t)r);
    }
    return 0;
}

int Gwssim_Write_File(const std::string& path, const std::string& bytes) {
    TempGuard tmp;
    FdGuard fd(Open_Temp_Beside(path, tmp.path));
    if (fd.fd < 0) {
        tmp.path.clear();
        return -1;
    }
    if (Write_All(fd.fd, bytes.data(), bytes.size()) != 0) return -1;
    if (rename(tmp.path.c_str(), path.c_str()) != 0) return -1;
    tmp.armed = false;
    return 0;
}

int Gwssim_Copy_File_In(const std::string& src, const std::string& dst, std::string& md5, long long& size) {
    FdGuard in(open(src.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.fd < 0) return errno == ENOENT ? -2 : -1;
    struct stat st;
    if (fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    TempGuard tmp;
    FdGuard out(Open_Temp_Beside(dst, tmp.path));
    if (out.fd < 0) {
        tmp.path.clear();
        return -1;
    }
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return -1;
    long long total = 0;
    char buf[65536];
    for (;;) {
        ssize_t r = read(in.fd, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        EVP_DigestUpdate(ctx.get(), buf, (size_t)r);
        if (Write_All(out.fd, buf, (size_t)r) != 0) return -1;
        total += r;
    }
    unsigned char dig[EVP_MAX_MD_SIZE];
    unsigned int dlen = 0;
    EVP_DigestFinal_ex(ctx.get(), dig, &dlen);
    if (rename(tmp.path.c_str(), dst.c_str()) != 0) return -1;
    tmp.armed = false;
    static const char* hex = "0123456789abcdef";
    md5.clear();
    for (unsigned int i = 0; i < dlen; ++i) {
        md5 += hex[dig[i] >> 4];
        md5 += hex[dig[i] & 15];
    }
    size = total;
    return 0;
}

GwsLock::~GwsLock() {
    if (fd >= 0) close(fd);
}

int Gwssim_Lock_State(const std::string& root, GwsLock& lock) {
    if (lock.fd >= 0) return 0;
    if (!Is_Dir(root)) return -1;
    int fd = open((root + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return -1;
        }
    }
    lock.fd = fd;
    return 0;
}

std::string Gwssim_Md5_Hex(const std::string& bytes) {
    unsigned char dig[EVP_MAX_MD_SIZE];
    unsigned int dlen = 0;
    EVP_Digest(bytes.data(), bytes.size(), dig, &dlen, EVP_md5(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string s;
    for (unsigned int i = 0; i < dlen; ++i) {
        s += hex[dig[i] >> 4];
        s += hex[dig[i] & 15];
    }
    return s;
}

std::string Gwssim_Format_Time(long long ms) {
    time_t secs = (time_t)(ms / 1000);
    long long frac = ms % 1000;
    if (frac < 0) {
        frac += 1000;
        --secs;
    }
    struct tm tmv;
    gmtime_r(&secs, &tmv);
    char buf[64];
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", tmv.tm_year + 1900, tmv.tm_mon + 1,
             tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, frac);
    return buf;
}

std::string Gwssim_Now_Time() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return Gwssim_Format_Time((long long)tv.tv_sec * 1000 + tv.tv_usec / 1000);
}

namespace {

// splitmix64: spreads consecutive counter values over the whole id space, deterministically.
unsigned long long Mix(unsigned long long x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

std::string From_Alphabet(unsigned long long n, const char* alphabet, size_t base, size_t len) {
    std::string s;
    unsigned long long h = 0;
    for (size_t i = 0; i < len; ++i) {
        // Ten characters use 60 bits of one mixed word; the next ten come from a fresh word.
        if (i % 10 == 0) h = Mix(Mix(n) + i);
        s += alphabet[h % base];
        h /= base;
    }
    return s;
}

}  // namespace

std::string Gwssim_Format_Id(const char* kind, unsigned long long n) {
    static const char* b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    static const char* hex = "0123456789abcdef";
    static const char* b32 = "0123456789abcdefghijklmnopqrstuv";
    static const char* dec = "0123456789";
    std::string k = kind ? kind : "";
    if (k == "file") return "1" + From_Alphabet(n, b64, 64, 32);
    if (k == "message") return "18" + From_Alphabet(n, hex, 16, 14);
    if (k == "event") return From_Alphabet(n, b32, 32, 26);
    if (k == "contact") return "c" + std::to_string(1 + Mix(n) % 9) + From_Alphabet(n, dec, 10, 18);
    if (k == "group") return From_Alphabet(n, hex, 16, 12);
    if (k == "label") return "Label_" + std::to_string(n);
    return From_Alphabet(n, b64, 62, 20);
}

int Gwssim_New_Id(const std::string& root, const char* kind, std::string& id) {
    std::string text;
    int rc = Gwssim_Read_File(root + "/seq", text);
    if (rc == -1) return -1;
    unsigned long long n = strtoull(text.c_str(), nullptr, 10) + 1;
    if (Gwssim_Write_File(root + "/seq", std::to_string(n) + "\n") != 0) return -1;
    id = Gwssim_Format_Id(kind, n);
    return 0;
}
