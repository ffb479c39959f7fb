// The libmagic functions the program calls: the content type of a file sent to the browser.
#include <magic.h>

#include "ondemand/ondemand.h"

namespace {
constexpr char kLib[] = QLM_LIBMAGIC_SONAME;
}

extern "C" {

magic_t magic_open(int flags) { QLM_ON_DEMAND_CALL(kLib, magic_open, flags); }
void magic_close(magic_t m) { QLM_ON_DEMAND_CALL(kLib, magic_close, m); }
int magic_load(magic_t m, const char* file) { QLM_ON_DEMAND_CALL(kLib, magic_load, m, file); }
const char* magic_buffer(magic_t m, const void* buf, size_t n) { QLM_ON_DEMAND_CALL(kLib, magic_buffer, m, buf, n); }

}  // extern "C"
