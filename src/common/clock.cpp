#include "common/clock.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "common/paths.h"

namespace qlm {

namespace {

// A knob's text, only under a test root; NULL when unset, empty or starting with white space
// (which the number parsers would skip).
const char* Knob_Text(const char* name) {
    if (!Under_Test_Root()) return nullptr;
    const char* v = getenv(name);
    if (v == nullptr || *v == '\0' || isspace(static_cast<unsigned char>(*v))) return nullptr;
    return v;
}

// The whole text must be the number; anything else leaves the knob unset.
bool Knob_Integer(const char* name, long long& out) {
    const char* v = Knob_Text(name);
    if (v == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    long long n = strtoll(v, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    out = n;
    return true;
}

bool Knob_Double(const char* name, double& out) {
    const char* v = Knob_Text(name);
    if (v == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    double d = strtod(v, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(d)) return false;
    out = d;
    return true;
}

}  // namespace

time_t Now() {
    long long fixed = 0;
    if (Knob_Integer("QLM_FIXED_TIME", fixed)) return static_cast<time_t>(fixed);
    long long offset = 0;
    // Within a century either way, so the sum never leaves time_t.
    if (Knob_Integer("QLM_TIME_OFFSET", offset) && offset > -3155760000LL && offset < 3155760000LL)
        return time(nullptr) + static_cast<time_t>(offset);
    return time(nullptr);
}

void Sleep_Seconds(double seconds) {
    double scale = 1.0;
    if (Knob_Double("QLM_SLEEP_SCALE", scale) && scale < 0) scale = 1.0;
    double total = seconds * scale;
    if (!(total > 0)) return;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(total);
    ts.tv_nsec = static_cast<long>((total - static_cast<double>(ts.tv_sec)) * 1e9);
    if (ts.tv_nsec >= 1000000000L) ts.tv_nsec = 999999999L;
    // One call: a handled signal ends the pause, and the caller's loop looks at its own state.
    nanosleep(&ts, nullptr);
}

int Tool_Timeout_Sec(int normal) {
    long long t = 0;
    if (Knob_Integer("QLM_TOOL_TIMEOUT", t) && t >= 1 && t <= 86400) return static_cast<int>(t);
    return normal;
}

}  // namespace qlm
