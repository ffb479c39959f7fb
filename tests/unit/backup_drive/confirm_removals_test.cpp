// The guard before a pass removes what its listing lacks: most of an account is removed only when a
// second listing agrees, and only what neither listing holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "backup/drive_backup_common.h"

namespace {

using qlm::drivebk::Confirm_Removals;
using qlm::drivebk::RunResult;
using qlm::drivebk::ToolRun;

std::vector<std::string> Ids(int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i < to; ++i) out.push_back("id" + std::to_string(i));
    return out;
}

TEST(ConfirmRemovals, MostOfAnAccountGoesOnlyWhenASecondListingAgrees) {
    struct Case {
        const char* name;
        size_t held;
        std::vector<std::string> gone;  // what the first listing lacks
        RunResult second;               // the second listing's result
        std::vector<std::string> again;  // what the second listing holds
        int relists;                    // second listings made
        RunResult result;
        size_t removed;
    } cases[] = {
        {"a few removals need no second look", 30, Ids(0, 10), RunResult::Ok, {}, 0, RunResult::Ok, 10},
        {"half of a small account needs none", 20, Ids(0, 10), RunResult::Ok, {}, 0, RunResult::Ok, 10},
        {"the second listing agrees", 30, Ids(0, 20), RunResult::Ok, {}, 1, RunResult::Ok, 20},
        {"the first listing was short", 30, Ids(0, 20), RunResult::Ok, Ids(0, 30), 1, RunResult::Ok, 0},
        {"only what neither holds goes", 30, Ids(0, 20), RunResult::Ok, Ids(5, 20), 1, RunResult::Ok, 5},
        {"a failed second listing removes nothing", 30, Ids(0, 20), RunResult::Failed, {}, 1, RunResult::Ok, 0},
        {"a lost connection removes nothing", 30, Ids(0, 20), RunResult::Lost, {}, 1, RunResult::Lost, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::set<std::string> gone(c.gone.begin(), c.gone.end());
        std::vector<std::string> removals = c.gone;
        int relists = 0;
        const RunResult r = Confirm_Removals(
            qlm::drivebk::LogCtx{}, "Drive file tree listing", "a@b.c", c.held,
            [&](const std::string& id) { return gone.count(id) == 0; }, removals,
            [&](std::set<std::string>& ids) {
                ++relists;
                ids.insert(c.again.begin(), c.again.end());
                ToolRun t;
                t.result = c.second;
                return t;
            });
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(relists, c.relists);
        EXPECT_EQ(removals.size(), c.removed);
        for (const std::string& id : removals) EXPECT_EQ(std::count(c.again.begin(), c.again.end(), id), 0) << id;
    }
}

}  // namespace
