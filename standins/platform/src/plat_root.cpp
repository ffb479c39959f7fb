#include "plat_root.h"

#include <cstdlib>
#include <sys/stat.h>

std::string Plat_Root_Path(const char* fixed) {
    std::string root;
    if (const char* v = getenv("QLM_ROOT")) root = v;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    struct stat st;
    if (root.size() < 2 || root[0] != '/' || stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) root.clear();
    return root + fixed;
}
