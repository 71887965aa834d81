#include <gtest/gtest.h>

#include "tap/Log.hpp"

namespace sonvel {
namespace {

// Lines at the default level (notice) must not reach the journal as warnings,
// and every level keeps its own syslog priority.
TEST(LogTest, EachLevelReachesTheJournalAtItsOwnPriority) {
    const std::pair<Log::Level, int> cases[] = {{Log::Level::debug, 7},
                                                {Log::Level::info, 6},
                                                {Log::Level::notice, 5},
                                                {Log::Level::error, 3},
                                                {Log::Level::fault, 2}};
    for (const auto& [level, priority] : cases) {
        EXPECT_EQ(Log::journalPriority(level), priority) << static_cast<int>(level);
    }
}

}  // namespace
}  // namespace sonvel
