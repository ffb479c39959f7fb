// The stored form of the day and week lists that add and edit receive: the page's comma lists,
// or the array text that detail_schedule_mission showed it, sent back unchanged.
#include <gtest/gtest.h>

#include <string>

#include "orvenna_cgi/schedule_record.h"

namespace {

TEST(ScheduleListText, CommaListsAndArrayTextGiveTheSameStoredForm) {
    const struct {
        const char* sent;
        const char* stored;
    } cases[] = {
        {nullptr, "[]"},
        {"", "[]"},
        {"1, 15", R"(["1","15"])"},
        {"monday,friday", R"(["monday","friday"])"},
        {R"(["1","15"])", R"(["1","15"])"},            // what detail shows, sent back
        {R"([ "monday" , "friday" ])", R"(["monday","friday"])"},
        {"[1,15]", "[1,15]"},                          // numbers stay numbers; the daemon reads both
        {"[]", "[]"},
        {"[broken", R"(["[broken"])"},                 // not JSON: an item like any other
        {R"(["a"] tail)", R"(["[\"a\"] tail"])"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(qlm::Schedule_List_Text(c.sent), c.stored) << (c.sent ? c.sent : "(absent)");
}

}  // namespace
