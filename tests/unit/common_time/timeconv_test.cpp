#include "common/timeconv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "../platform_testdir.h"

namespace {

constexpr const char* kZoneRoot = "/usr/share/zoneinfo";
// 2024-03-10T08:30:15Z
constexpr int64_t kInstant = 1710059415;

std::optional<std::string> Env(const char* name) {
    const char* v = getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

void Set_Or_Unset(const char* name, const std::optional<std::string>& v) {
    if (v)
        setenv(name, v->c_str(), 1);
    else
        unsetenv(name);
}

// Every test runs in a zone it names, and leaves TZ and TZDIR as it found them.
class TimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedTz_ = Env("TZ");
        savedTzdir_ = Env("TZDIR");
        unsetenv("TZDIR");
        Use_Zone("UTC");
    }
    void TearDown() override {
        Set_Or_Unset("TZ", savedTz_);
        Set_Or_Unset("TZDIR", savedTzdir_);
        tzset();
    }
    static void Use_Zone(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }

private:
    std::optional<std::string> savedTz_, savedTzdir_;
};

TEST_F(TimeTest, CalendarTextsWithZoneGiveTheUtcInstant) {
    struct Case {
        const char* text;
        int64_t expected;
    };
    const Case cases[] = {
        {"2024-03-10T08:30:15Z", kInstant},
        {"2024-03-10T16:30:15+08:00", kInstant},
        {"2024-03-10T03:30:15-05:00", kInstant},
        {"2024-03-10T14:15:15+05:45", kInstant},  // the offset's minutes count
        {"2024-03-10T16:30:45+08:00", kInstant + 30},
        {"2024-03-10T08:30:15.123Z", kInstant},
        {"2024-03-10T16:30:15.000+08:00", kInstant},
        {"2024-03-10T03:30:15.5-05:00", kInstant},
        {"no date here", -1},
        {"Zulu", -1},
        {"", -1},
        {"2024-03-10T16:30:15+0x:00", -1},
    };
    // The local zone must not matter for any of these.
    for (const char* zone : {"UTC", "Asia/Taipei", "America/New_York"}) {
        Use_Zone(zone);
        for (const Case& c : cases) EXPECT_EQ(calendar_parse_iso8601(c.text), c.expected) << zone << " " << c.text;
    }
}

TEST_F(TimeTest, CalendarBareDateIsLocalMidnight) {
    struct Case {
        const char* zone;
        const char* text;
        int64_t expected;
    };
    const Case cases[] = {
        {"UTC", "2024-03-10", 1710028800},
        {"Asia/Taipei", "2024-03-10", 1710000000},
        {"Asia/Taipei", "2024-03-10T08:30:15", 1710000000},  // no zone: time of day dropped
        {"America/New_York", "2024-01-10", 1704862800},
        {"America/New_York", "2024-07-10", 1720584000},  // midnight EDT, not 01:00
    };
    for (const Case& c : cases) {
        Use_Zone(c.zone);
        EXPECT_EQ(calendar_parse_iso8601(c.text), c.expected) << c.zone << " " << c.text;
    }
}

TEST_F(TimeTest, MailDateHeaders) {
    struct Case {
        const char* text;
        int64_t expected;
    };
    const Case cases[] = {
        {"Sun, 10 Mar 2024 16:30:15 +0800", kInstant},
        {"10 Mar 2024 08:30:15 GMT", kInstant},
        {"Sun, 10 Mar 2024 03:30:15 -0500 (EST)", kInstant},
        {"Sun,\t 10 Mar 2024 08:30:15 utc", kInstant},
        {"Sun, 10 Mar 2024 08:30:15 z", kInstant},
        {"Sun, 10 Mar 2024 08:30:15", kInstant},        // no zone word
        {"Sun, 10 Mar 2024 08:30:15 +2400", kInstant},  // hours out of range
        {"Sun, 10 Mar 2024 08:30:15 +0860", kInstant},  // minutes out of range
        {"Sun, 10 Mar 2024 08:30:15 XYZ", kInstant},  // unknown zone name
        {"Sun, 10 Mar 2024 08:30:15 +08000", kInstant},  // not five characters
        {"", -1},
        {" \t ", -1},
        {"Sun,", -1},
        {"Sun, 10 Foo 2024 16:30:15 +0800", -1},
        {"Sun, 10 Mar 2024 16 +0800", -1},
        {"Sun, 32 Mar 2024 16:30:15 +0800", -1},
        {"(no date) (at all)", -1},
    };
    Use_Zone("Asia/Taipei");
    for (const Case& c : cases) {
        EXPECT_EQ(parseDateToTimestamp(c.text), c.expected) << c.text;
        EXPECT_EQ(parseDateToTimestamp(std::string(c.text)), c.expected) << c.text;
    }
    EXPECT_EQ(parseDateToTimestamp(static_cast<const char*>(nullptr)), -1);
}

// The forms old and hand-written mail carries, as RFC 5322 reads them.
TEST_F(TimeTest, MailDateHeadersInObsoleteForms) {
    struct Case {
        const char* text;
        int64_t expected;
    };
    const Case cases[] = {
        // US zone names in any letter case
        {"Sun, 10 Mar 2024 03:30:15 EST", kInstant},
        {"Sun, 10 Mar 2024 04:30:15 EDT", kInstant},
        {"Sun, 10 Mar 2024 02:30:15 CST", kInstant},
        {"Sun, 10 Mar 2024 03:30:15 cdt", kInstant},
        {"Sun, 10 Mar 2024 01:30:15 MST", kInstant},
        {"Sun, 10 Mar 2024 02:30:15 Mdt", kInstant},
        {"Sun, 10 Mar 2024 00:30:15 pst", kInstant},
        {"Sun, 10 Mar 2024 01:30:15 PDT", kInstant},
        // UT, GMT and the military letters are +0000
        {"Sun, 10 Mar 2024 08:30:15 UT", kInstant},
        {"Sun, 10 Mar 2024 08:30:15 gmt", kInstant},
        {"Sun, 10 Mar 2024 08:30:15 A", kInstant},
        {"Sun, 10 Mar 2024 08:30:15 m", kInstant},
        {"Sun, 10 Mar 2024 08:30:15 Y", kInstant},
        // two- and three-digit years
        {"21 Nov 97 09:55:06 GMT", 880106106},
        {"Sun, 10 Mar 24 08:30:15 GMT", kInstant},
        {"1 Jan 49 00:00:00 +0000", 2493072000},
        {"1 Jan 50 00:00:00 +0000", -631152000},
        {"Sun, 10 Mar 124 08:30:15 GMT", kInstant},
        {"21 Nov 097 09:55:06 GMT", 880106106},
        // no seconds, no weekday, weekday without comma, full month name
        {"Sun, 10 Mar 2024 16:30 +0800", kInstant - 15},
        {"10 Mar 2024 16:30 +0800", kInstant - 15},
        {"Sunday 10 Mar 2024 16:30:15 +0800", kInstant},
        {"10 March 2024 16:30:15 +0800", kInstant},
        // comments and folding wherever they stand
        {"Wed, 20 Sep 1995 00:19:00 (EDT) -0400", 811570740},
        {"(Sunday) 10 (day) Mar 2024 (nested (x) y) 16:30:15 +0800 (CST)", kInstant},
        {"Sun, 10 Mar 2024 16:30:15 +0800 (a \\) b) (EST)", kInstant},
        {"Sun, 10 Mar 2024 00:30:15(a)-0800", kInstant},
        {"Sun, 10 Mar\r\n 2024\r\n\t16:30:15 +0800", kInstant},
        {"Sun , 10 Mar 2024 16 : 30 : 15 +0800", kInstant},
    };
    for (const char* zone : {"UTC", "Asia/Taipei"}) {
        Use_Zone(zone);
        for (const Case& c : cases) EXPECT_EQ(parseDateToTimestamp(c.text), c.expected) << zone << " " << c.text;
    }
}

TEST_F(TimeTest, Iso8601UtcAcceptsFractionAndRejectsEverythingElse) {
    EXPECT_EQ(parseISO8601("2024-03-10T08:30:15Z"), kInstant);
    EXPECT_EQ(parseISO8601("2024-03-10T08:30:15.123Z"), kInstant);
    for (const char* bad : {"2024-03-10T08:30:15", "2024-03-10T16:30:15+08:00", "2024-03-10T08:30:15Zjunk",
                            "2024-03-10T08:30:15.Z", "2024-03-10", ""}) {
        try {
            parseISO8601(bad);
            ADD_FAILURE() << "no error for " << bad;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Failed to parse date: ") + bad);
        }
    }
}

TEST_F(TimeTest, TimestampToLocalTextWithOffset) {
    struct Case {
        const char* zone;
        time_t t;
        const char* expected;
    };
    const Case cases[] = {
        {"Asia/Taipei", kInstant, "2024-03-10T16:30:15+08:00"},
        {"UTC", kInstant, "2024-03-10T08:30:15+00:00"},
        {"America/New_York", 1720584000, "2024-07-10T00:00:00-04:00"},
        {"Asia/Kathmandu", kInstant, "2024-03-10T14:15:15+05:45"},
        {"Asia/Taipei", 0, ""},
        {"Asia/Taipei", -5, ""},
    };
    for (const Case& c : cases) {
        Use_Zone(c.zone);
        EXPECT_EQ(timestamp_to_iso8601(c.t), c.expected) << c.zone << " " << c.t;
    }
}

TEST_F(TimeTest, ConvertToZone) {
    struct Case {
        const char* src;
        const char* zone;
        const char* expected;
    };
    const Case cases[] = {
        {"2024-03-10T08:30:15Z", "Asia/Taipei", "2024-03-10T16:30:15+08:00"},
        {"2024-03-10T08:30:15.500Z", "Asia/Taipei", "2024-03-10T16:30:15+08:00"},
        // Daylight saving began at 07:00Z that day.
        {"2024-03-10T16:30:15+08:00", "America/New_York", "2024-03-10T04:30:15-04:00"},
        {"2024-03-10T06:30:15Z", "America/New_York", "2024-03-10T01:30:15-05:00"},
        {"2024-07-10T12:00:00-04:00", "UTC", "2024-07-10T16:00:00+00:00"},
        {"2024-03-10T08:30:15Z", "Asia/Kathmandu", "2024-03-10T14:15:15+05:45"},
    };
    for (const Case& c : cases) {
        std::string out = "unchanged";
        Convert_TimeZone_By_Zoneinfo(kZoneRoot, c.src, c.zone, out);
        EXPECT_EQ(out, c.expected) << c.src << " -> " << c.zone;
    }
}

TEST_F(TimeTest, ConvertFailuresLeaveOutUnchanged) {
    // A real zone file outside the root, reachable only by escaping it.
    plattest::TempDir dir;
    std::filesystem::create_directory(dir / "zi");
    std::filesystem::copy_file(std::string(kZoneRoot) + "/Asia/Taipei", dir / "x");
    std::filesystem::create_directories(dir / "zi/Asia");
    std::filesystem::copy_file(std::string(kZoneRoot) + "/Asia/Taipei", dir / "zi/Asia/Taipei");
    const std::string root = dir / "zi";
    const std::string absolute = dir / "x";

    struct Case {
        const char* src;
        const char* zone;
    };
    const Case cases[] = {
        {"2024-03-10T08:30:15Z", "Not/A_Zone"},
        {"2024-03-10T08:30:15Z", "../x"},
        {"2024-03-10T08:30:15Z", "Asia/../../x"},
        {"2024-03-10T08:30:15Z", absolute.c_str()},
        {"2024-03-10T08:30:15Z", "Asia"},  // a folder
        {"2024-03-10T08:30:15Z", ""},
        {"2024-03-10T08:30:15Z", nullptr},
        {"2024-03-10", "Asia/Taipei"},           // bare date
        {"2024-03-10T08:30:15", "Asia/Taipei"},  // no zone
        {"2024-03-10T08:30:15*08:00", "Asia/Taipei"},
        {nullptr, "Asia/Taipei"},
    };
    for (const Case& c : cases) {
        std::string out = "unchanged";
        Convert_TimeZone_By_Zoneinfo(root.c_str(), c.src, c.zone, out);
        EXPECT_EQ(out, "unchanged") << (c.src ? c.src : "(null)") << " -> " << (c.zone ? c.zone : "(null)");
    }
    // A regular file of the zone folder that is not a zone.
    std::string out = "unchanged";
    Convert_TimeZone_By_Zoneinfo(kZoneRoot, "2024-03-10T08:30:15Z", "iso3166.tab", out);
    EXPECT_EQ(out, "unchanged");
    Convert_TimeZone_By_Zoneinfo(nullptr, "2024-03-10T08:30:15Z", "Asia/Taipei", out);
    EXPECT_EQ(out, "unchanged");
}

TEST_F(TimeTest, ConvertRestoresTheZoneEnvironmentExactly) {
    struct Case {
        std::optional<std::string> tz, tzdir;
    };
    const Case cases[] = {
        {"America/New_York", std::nullopt},
        {std::nullopt, std::string(kZoneRoot)},
        {std::nullopt, std::nullopt},
        {"Asia/Taipei", std::string(kZoneRoot)},
    };
    for (const Case& c : cases) {
        Set_Or_Unset("TZ", c.tz);
        Set_Or_Unset("TZDIR", c.tzdir);
        tzset();
        std::string before = timestamp_to_iso8601(kInstant);
        std::string out;
        Convert_TimeZone_By_Zoneinfo(kZoneRoot, "2024-03-10T08:30:15Z", "Asia/Kathmandu", out);
        EXPECT_EQ(out, "2024-03-10T14:15:15+05:45");
        EXPECT_EQ(Env("TZ"), c.tz);
        EXPECT_EQ(Env("TZDIR"), c.tzdir);
        // The restored zone is in force again, not the one of the call.
        EXPECT_EQ(timestamp_to_iso8601(kInstant), before);
    }
    Set_Or_Unset("TZ", std::string("America/New_York"));
    tzset();
    EXPECT_EQ(timestamp_to_iso8601(kInstant), "2024-03-10T04:30:15-04:00");
}

TEST_F(TimeTest, ConvertReadsTheZoneFromTheRootEvenWhenTzAlreadyHoldsThatName) {
    // Under this root "Asia/Taipei" holds New York's rules; the process already runs as Asia/Taipei.
    plattest::TempDir dir;
    std::filesystem::create_directories(dir / "Asia");
    std::filesystem::copy_file(std::string(kZoneRoot) + "/America/New_York", dir / "Asia/Taipei");
    Use_Zone("Asia/Taipei");
    std::string out;
    Convert_TimeZone_By_Zoneinfo(dir.path().c_str(), "2024-03-10T08:30:15Z", "Asia/Taipei", out);
    EXPECT_EQ(out, "2024-03-10T04:30:15-04:00");
    EXPECT_EQ(timestamp_to_iso8601(kInstant), "2024-03-10T16:30:15+08:00");
}

}  // namespace
