#include "common/timeconv.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "common/clock.h"
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kDateTimeFmt = "%Y-%m-%dT%H:%M:%S";

// Month names in mail headers are English whatever locale the process runs in.
locale_t C_Locale() {
    struct Holder {
        locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
        ~Holder() {
            if (loc) freelocale(loc);
        }
    };
    static Holder holder;
    return holder.loc;
}

// strptime in the C locale into a cleared record; the position after the match, or NULL.
const char* Read_Time(const char* text, const char* fmt, struct tm& tm) {
    tm = {};
    locale_t loc = C_Locale();
    return loc ? strptime_l(text, fmt, &tm, loc) : strptime(text, fmt, &tm);
}

bool Is_Digit(char c) { return c >= '0' && c <= '9'; }

// Past an optional ".digits" (fractional seconds).
const char* Skip_Fraction(const char* p) {
    if (p[0] == '.' && Is_Digit(p[1])) {
        ++p;
        while (Is_Digit(*p)) ++p;
    }
    return p;
}

// "%Y-%m-%dT%H:%M:%S" and "%z" of a broken-down time, the offset written as +hh:mm.
int Format_With_Offset(const struct tm& tm, std::string& out) {
    char date[64];
    char zone[16];
    if (strftime(date, sizeof date, kDateTimeFmt, &tm) == 0) return -1;
    size_t zlen = strftime(zone, sizeof zone, "%z", &tm);
    if (zlen == 0) return -1;
    out = date;
    if (zlen == 5) {
        out.append(zone, 3);
        out += ':';
        out.append(zone + 3, 2);
    }
    return 0;
}

// Offset in seconds of a mail header's zone word (in capitals); 0 for anything not understood.
// The obsolete names are those mail still carries: UT, GMT, the US zones, and the military
// letters, whose signs were published wrongly and so say nothing (read as +0000).
int64_t Zone_Word_Offset(const std::string& word) {
    static const struct {
        const char* name;
        int hours;
    } kNames[] = {{"EST", -5}, {"EDT", -4}, {"CST", -6}, {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}};
    for (const auto& z : kNames)
        if (word == z.name) return static_cast<int64_t>(z.hours) * 3600;
    if (word.size() != 5 || (word[0] != '+' && word[0] != '-')) return 0;
    for (size_t i = 1; i < 5; ++i)
        if (!Is_Digit(word[i])) return 0;
    int hours = (word[1] - '0') * 10 + (word[2] - '0');
    int minutes = (word[3] - '0') * 10 + (word[4] - '0');
    if (hours > 23 || minutes > 59) return 0;
    int64_t offset = hours * 3600 + minutes * 60;
    return word[0] == '-' ? -offset : offset;
}

// The header with its comments (nested, with quoted-pairs) and line folds turned into blanks, so
// that neither can be taken for a field.
std::string Without_Comments(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (depth > 0) {
            if (c == '\\' && i + 1 < text.size()) ++i;
            else if (c == '(') ++depth;
            else if (c == ')' && --depth == 0) out += ' ';
            continue;
        }
        if (c == '(') depth = 1;
        else out += (c == '\r' || c == '\n' || c == '\t') ? ' ' : c;
    }
    return out;
}

bool Is_Alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

void Skip_Blanks(const char*& p) {
    while (*p == ' ') ++p;
}

// Reads 1 to maxDigits digits; the number of digits read (0: none).
int Read_Number(const char*& p, int maxDigits, int& value) {
    int n = 0;
    value = 0;
    while (n < maxDigits && Is_Digit(*p)) {
        value = value * 10 + (*p - '0');
        ++p;
        ++n;
    }
    return Is_Digit(*p) ? 0 : n;
}

int Month_Index(const char*& p) {
    static const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                    "jul", "aug", "sep", "oct", "nov", "dec"};
    std::string word;
    while (Is_Alpha(*p)) word += static_cast<char>(tolower(static_cast<unsigned char>(*p++)));
    if (word.size() < 3) return -1;
    for (int m = 0; m < 12; ++m)
        if (word.compare(0, 3, kMonths[m]) == 0) return m;
    return -1;
}

// The UTC instant of "Y-M-DTh:m:s[.digits]" followed by "Z" or "+h:m" / "-h:m".
int Read_Source_Instant(const char* src, int64_t& instant) {
    int year, mon, day, hour, min, sec, used = 0;
    if (sscanf(src, "%d-%d-%dT%d:%d:%d%n", &year, &mon, &day, &hour, &min, &sec, &used) != 6) return -1;
    const char* p = Skip_Fraction(src + used);
    int64_t offset = 0;
    if (*p == '+' || *p == '-') {
        int oh, om;
        if (sscanf(p + 1, "%d:%d", &oh, &om) != 2) return -1;
        offset = static_cast<int64_t>(oh) * 3600 + static_cast<int64_t>(om) * 60;
        if (*p == '-') offset = -offset;
    } else if (*p != 'Z') {
        return -1;
    }
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    time_t t = timegm(&tm);
    if (t == static_cast<time_t>(-1)) return -1;
    instant = static_cast<int64_t>(t) - offset;
    return 0;
}

// The zone name comes from backed-up Google data: it must stay inside the root and name a real
// zone file, since glibc silently falls back to UTC for anything it cannot read.
bool Is_Zone_File(const char* root, const char* zone) {
    std::string_view z(zone);
    if (z.empty() || z[0] == '/') return false;
    for (size_t start = 0;;) {
        size_t slash = z.find('/', start);
        if (z.substr(start, slash == std::string_view::npos ? slash : slash - start) == "..") return false;
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    std::string path = std::string(root) + "/" + zone;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    char magic[4];
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && read(fd, magic, 4) == 4 &&
              memcmp(magic, "TZif", 4) == 0;
    close(fd);
    return ok;
}

std::optional<std::string> Get_Env(const char* name) {
    const char* v = getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

int Put_Env(const char* name, const std::optional<std::string>& value) {
    return value ? setenv(name, value->c_str(), 1) : unsetenv(name);
}

// Sets TZ and TZDIR and re-reads the zone. glibc re-reads only when the text of TZ changes, so a
// fixed zone is passed through first: a changed TZDIR is then always honoured.
int Apply_Tz_Env(const std::optional<std::string>& tz, const std::optional<std::string>& tzdir) {
    setenv("TZ", "UTC0", 1);
    tzset();
    int rc = Put_Env("TZDIR", tzdir) | Put_Env("TZ", tz);
    tzset();
    return rc == 0 ? 0 : -1;
}

// Puts TZ and TZDIR back as they were (unset ones unset) when the scope ends.
class Tz_Env_Guard {
public:
    Tz_Env_Guard() : tz_(Get_Env("TZ")), tzdir_(Get_Env("TZDIR")) {}
    Tz_Env_Guard(const Tz_Env_Guard&) = delete;
    Tz_Env_Guard& operator=(const Tz_Env_Guard&) = delete;
    ~Tz_Env_Guard() { Apply_Tz_Env(tz_, tzdir_); }

private:
    std::optional<std::string> tz_;
    std::optional<std::string> tzdir_;
};

}  // namespace

int64_t calendar_parse_iso8601(const std::string& datetime) {
    struct tm tm;
    size_t z = datetime.find('Z');
    if (z != std::string::npos) {
        std::string head = datetime.substr(0, z);
        if (!Read_Time(head.c_str(), kDateTimeFmt, tm)) return -1;
        return timegm(&tm);
    }

    size_t p = datetime.find_last_of("+-");
    if (p != std::string::npos && datetime.size() >= p + 6) {
        // The colon before the seconds sits three places before the seconds' end, which is the
        // sign or the start of a fraction.
        size_t digits = p;
        while (digits > 0 && Is_Digit(datetime[digits - 1])) --digits;
        size_t secEnd = (digits < p && digits > 0 && datetime[digits - 1] == '.') ? digits - 1 : p;
        if (secEnd >= 3 && datetime[secEnd - 3] == ':') {
            const char* off = datetime.c_str() + p + 1;
            if (!Is_Digit(off[0]) || !Is_Digit(off[1]) || !Is_Digit(off[3]) || !Is_Digit(off[4])) return -1;
            int64_t offset = ((off[0] - '0') * 10 + (off[1] - '0')) * 3600 + ((off[3] - '0') * 10 + (off[4] - '0')) * 60;
            std::string head = datetime.substr(0, p);
            if (!Read_Time(head.c_str(), kDateTimeFmt, tm)) return -1;
            int64_t t = timegm(&tm);
            return datetime[p] == '+' ? t - offset : t + offset;
        }
    }

    // A bare date (or a date-time without zone): local midnight, daylight saving as the zone has it.
    if (!Read_Time(datetime.c_str(), "%Y-%m-%d", tm)) return -1;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

int64_t parseDateToTimestamp(const char* pszDateTime) {
    if (pszDateTime == nullptr) return -1;
    return parseDateToTimestamp(std::string(pszDateTime));
}

int64_t parseDateToTimestamp(const std::string& datetime_str) {
    const std::string text = Without_Comments(datetime_str);
    const char* p = text.c_str();
    Skip_Blanks(p);
    // The day of the week is optional, with or without its comma.
    if (Is_Alpha(*p)) {
        while (Is_Alpha(*p)) ++p;
        Skip_Blanks(p);
    }
    if (*p == ',') ++p;
    Skip_Blanks(p);
    if (*p == '\0') return -1;

    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    if (Read_Number(p, 2, day) == 0 || day < 1 || day > 31) return -1;
    Skip_Blanks(p);
    const int month = Month_Index(p);
    if (month < 0) return -1;
    Skip_Blanks(p);
    const int yearDigits = Read_Number(p, 9, year);
    if (yearDigits == 0 || year > 9999) return -1;
    // Two-digit years: 00-49 are this century, 50-99 the last; three digits count from 1900.
    if (yearDigits == 2) year += year < 50 ? 2000 : 1900;
    else if (yearDigits == 3) year += 1900;
    Skip_Blanks(p);
    if (Read_Number(p, 2, hour) == 0 || hour > 23) return -1;
    Skip_Blanks(p);
    if (*p++ != ':') return -1;
    Skip_Blanks(p);
    if (Read_Number(p, 2, minute) == 0 || minute > 59) return -1;
    const char* afterMinute = p;
    Skip_Blanks(p);
    if (*p == ':') {
        ++p;
        Skip_Blanks(p);
        if (Read_Number(p, 2, second) == 0 || second > 60) return -1;
    } else {
        p = afterMinute;  // seconds may be left out
    }

    Skip_Blanks(p);
    std::string word;
    for (; *p != '\0' && *p != ' '; ++p) word += static_cast<char>(toupper(static_cast<unsigned char>(*p)));

    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return static_cast<int64_t>(timegm(&tm)) - Zone_Word_Offset(word);
}

int64_t parseISO8601(std::string datetime) {
    struct tm tm;
    const char* rest = Read_Time(datetime.c_str(), kDateTimeFmt, tm);
    if (rest != nullptr) rest = Skip_Fraction(rest);
    if (rest == nullptr || rest[0] != 'Z' || rest[1] != '\0')
        throw std::runtime_error("Failed to parse date: " + datetime);
    return timegm(&tm);
}

std::string timestamp_to_iso8601(time_t t) {
    if (t <= 0) return "";
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr) return "";
    std::string out;
    if (Format_With_Offset(tm, out) != 0) return "";
    return out;
}

void Convert_TimeZone_By_Zoneinfo(const char* pszZoneinfoRoot, const char* pszSrcDateTime,
                                  const char* pszDstTimeZone, std::string& strOutDateTime) {
    if (pszZoneinfoRoot == nullptr || pszSrcDateTime == nullptr || pszDstTimeZone == nullptr) return;
    int64_t instant;
    if (Read_Source_Instant(pszSrcDateTime, instant) != 0) return;
    if (!Is_Zone_File(pszZoneinfoRoot, pszDstTimeZone)) return;

    Tz_Env_Guard restore;
    if (Apply_Tz_Env(std::string(pszDstTimeZone), std::string(pszZoneinfoRoot)) != 0) return;
    time_t t = static_cast<time_t>(instant);
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr) return;
    std::string text;
    if (Format_With_Offset(tm, text) == 0) strOutDateTime = text;
}

std::string qlm::GetCurrentDateTimeString() {
    const time_t now = Now();
    struct tm tm;
    char text[32];
    if (localtime_r(&now, &tm) == nullptr || strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm) == 0) return "";
    return text;
}
