// The one rule every reader of a GAM listing goes by: which runs gave a listing to read.
#include <gtest/gtest.h>

#include <string>

#include "../platform_testdir.h"
#include "common/gam_status.h"

namespace {

TEST(GamListing, OnlyZeroOrNoEntitiesWithAHeaderLineIsAListing) {
    plattest::TempDir dir;
    const struct {
        const char* name;
        int ret, status;
        const char* out;  // nullptr: no output file
        bool readable;
    } cases[] = {
        {"rows", 0, 0, "Owner,id\nu@x.test,1\n", true},
        {"no entities, header only", 0, 60, "Owner,id,name\n", true},
        {"no entities, count row of 0", 0, 60, "User,messages\nu@x.test,0\n", true},
        {"no entities, header without a line end", 0, 60, "calendarId,id", true},
        {"no entities without a header", 0, 60, "", false},
        {"no entities, blank first line", 0, 60, " \r\nid\n", false},
        {"exit 0 without any output", 0, 0, "", false},
        {"no output file", 0, 60, nullptr, false},
        {"failed action", 0, 50, "Owner,id\n", false},
        {"usage error", 0, 2, "Owner,id\n", false},
        {"lost connection", 0, 3, "Owner,id\n", false},
        {"timed out", -110, -1, "Owner,id\n", false},
        {"not run", -12, 0, "Owner,id\n", false},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string path = dir / ("out" + std::to_string(++n));
        if (c.out) plattest::Write_File(path, c.out);
        EXPECT_EQ(qlm::Gam_Listing_Readable(c.ret, c.status, path), c.readable) << c.name;
    }
}

}  // namespace
