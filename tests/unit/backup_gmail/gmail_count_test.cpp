// Reading GAM's message-count listings, as the backup's ordering, its pre-count and the counting
// job's list read them.
#include <gtest/gtest.h>

#include <string>

#include "../platform_testdir.h"
#include "backup/gmail_count.h"

namespace {

TEST(ReadCountRow, FirstDataRowOrNothing) {
    struct Case {
        const char* name;
        const char* csv;
        bool ok;
        const char* user;
        int64_t count;
    } cases[] = {
        {"gam's form", "User,messages\nann@x.test,1234\n", true, "ann@x.test", 1234},
        {"an empty mailbox (GAM exits 60 with its row)", "User,messages\nann@x.test,0\n", true, "ann@x.test", 0},
        {"other spellings", "user,Messages\r\nann@x.test,7\r\n", true, "ann@x.test", 7},
        {"by position when the names differ", "Account,Total\nann@x.test,9\n", true, "ann@x.test", 9},
        {"only the first row counts", "User,messages\nann@x.test,1\nbob@x.test,2\n", true, "ann@x.test", 1},
        {"a quoted user", "User,messages\n\"o'brien, x\",3\n", true, "o'brien, x", 3},
        {"header only (a failed count)", "User,messages\n", false, "", 0},
        {"not a number", "User,messages\nann@x.test,many\n", false, "", 0},
        {"no user", "User,messages\n,5\n", false, "", 0},
        {"one column", "messages\n5\n", false, "", 0},
        {"empty file", "", false, "", 0},
        {"cut short (1234 would read as 12)", "User,messages\nann@x.test,12", false, "", 0},
    };
    plattest::TempDir dir;
    for (const Case& c : cases) {
        plattest::Write_File(dir / "count.out", c.csv);
        std::string user = "";
        int64_t count = 0;
        EXPECT_EQ(qlm::gmailbk::Read_Count_Row(dir / "count.out", user, count), c.ok) << c.name;
        EXPECT_EQ(user, c.user) << c.name;
        EXPECT_EQ(count, c.count) << c.name;
    }
    std::string user;
    int64_t count = 0;
    EXPECT_FALSE(qlm::gmailbk::Read_Count_Row(dir / "missing.out", user, count));
}

}  // namespace
