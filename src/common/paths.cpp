#include "common/paths.h"

#include <cstdlib>
#include <mutex>
#include <sys/stat.h>

namespace qlm {

namespace {

// A root is honoured only when it is absolute, exists as a folder and is not "/" itself.
bool Usable_Root(const char* v) {
    if (v == nullptr || v[0] != '/' || v[1] == '\0') return false;
    struct stat st;
    return stat(v, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string Root() {
    // The check costs a stat; keep the answer until the variable changes (tests switch roots).
    static std::mutex mu;
    static std::string last_env;
    static bool have_last = false;
    static std::string root;
    const char* v = getenv("QLM_ROOT");
    std::lock_guard<std::mutex> lock(mu);
    std::string now = v ? v : "";
    if (!have_last || now != last_env) {
        last_env = now;
        have_last = true;
        std::string trimmed = now;
        while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
        root = Usable_Root(trimmed.c_str()) ? trimmed : "";
    }
    return root;
}

bool Under_Test_Root() { return !Root().empty(); }

std::string Fixed_Path(std::string_view constant) {
    std::string out = Root();
    out.append(constant);
    return out;
}

}  // namespace qlm
