// The one rule every reader of a GAM listing goes by: which runs ended with a listing to read (the
// output's own check, header line included, is the CSV reader's).
#include <gtest/gtest.h>

#include "common/gam_status.h"

namespace {

TEST(GamListing, OnlyZeroOrNoEntitiesEndsWithAListing) {
    const struct {
        const char* name;
        int ret, status;
        bool ended;
    } cases[] = {
        {"rows", 0, 0, true},
        {"no entities", 0, 60, true},
        {"failed action", 0, 50, false},
        {"not performed", 0, 51, false},
        {"usage error", 0, 2, false},
        {"lost connection", 0, 3, false},
        {"timed out", -110, -1, false},
        {"not run", -12, 0, false},
    };
    for (const auto& c : cases) EXPECT_EQ(qlm::Gam_Listing_Ended(c.ret, c.status), c.ended) << c.name;
}

}  // namespace
