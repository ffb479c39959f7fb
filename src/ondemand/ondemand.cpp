#include "ondemand/ondemand.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace qlm {

void* On_Demand_Symbol(const char* soname, const char* name) {
    // dlopen counts its own references, so asking again for a library already loaded is cheap.
    void* lib = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    void* sym = lib != nullptr ? dlsym(lib, name) : nullptr;
    if (sym == nullptr) {
        const char* why = dlerror();
        fprintf(stderr, "cannot load %s from %s: %s\n", name, soname, why != nullptr ? why : "not found");
        abort();
    }
    return sym;
}

}  // namespace qlm
