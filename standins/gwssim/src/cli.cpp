#include <gwssim/cli.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

int Gwssim_Parse_Options(int argc, char** argv, int first, std::vector<GwsOpt>& opts, std::string& err) {
    for (int i = first; i < argc; ++i) {
        GwsOpt* o = nullptr;
        for (auto& cand : opts)
            if (strcmp(cand.name, argv[i]) == 0) o = &cand;
        if (!o) {
            err = std::string("unexpected argument: ") + argv[i];
            return -1;
        }
        if (o->seen && !o->list) {
            err = std::string("option given twice: ") + o->name;
            return -1;
        }
        o->seen = true;
        if (o->flag) {
            *o->flag = true;
            continue;
        }
        if (i + 1 >= argc) {
            err = std::string("option needs a value: ") + o->name;
            return -1;
        }
        ++i;
        if (o->list) o->list->emplace_back(argv[i]);
        else *o->value = argv[i];
    }
    return 0;
}

int Gwssim_Print(const std::string& text) {
    const char* p = text.data();
    size_t n = text.size();
    while (n > 0) {
        ssize_t w = write(1, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

bool Gwssim_Parse_Count(const std::string& s, long long& out) {
    if (s.empty() || s.size() > 9) return false;
    long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

GwsOutputGuard::~GwsOutputGuard() {
    struct stat st;
    if (!keep && !path.empty() && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(path.c_str());
}
