#include <gtest/gtest.h>

#include <thread>

#include "tap/CleanupStack.hpp"
#include "tap/Log.hpp"

namespace sonvel {
namespace {

using Failure = CleanupStack::Failure;

CleanupStack::Action record(std::vector<std::string>& log, std::string name,
                            std::string error = "") {
    return [&log, name, error]() -> std::expected<void, std::string> {
        log.push_back(name);
        return error.empty() ? std::expected<void, std::string>() : std::unexpected(error);
    };
}

TEST(CleanupStackTest, RunsNewestFirstOnceAndKeepsGoingPastFailuresOrDiscardsWithoutRunning) {
    const Log::Capture captured;
    std::vector<std::string> log;
    CleanupStack stack, discarded;
    EXPECT_TRUE(stack.push("A", record(log, "A")));
    EXPECT_TRUE(stack.push("B", record(log, "B", "B broke.")));
    EXPECT_TRUE(stack.push("C", record(log, "C")));
    EXPECT_EQ(stack.pendingLabels(), (std::vector<std::string>{"A", "B", "C"}));
    discarded.push("a", record(log, "a"));
    discarded.push("b", record(log, "b", "b broke."));

    EXPECT_EQ(stack.runAll(), (std::vector<Failure>{{"B", "B broke."}}));
    EXPECT_TRUE(stack.runAll().empty());  // B, run again, would fail again
    EXPECT_EQ(discarded.discardAll(), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(discarded.runAll().empty());  // b, run, would fail
    // Late pushes run at once, and their failures are no less logged.
    EXPECT_FALSE(stack.push("D", record(log, "D", "D broke.")));
    EXPECT_FALSE(discarded.push("c", record(log, "c")));
    EXPECT_EQ(log, (std::vector<std::string>{"C", "B", "A", "D", "c"}));
    EXPECT_EQ(
        captured.messages("cleanup"),
        (std::vector<std::string>{"Cleanup B failed: B broke.", "Cleanup D failed: D broke."}));
}

TEST(CleanupStackTest, AnActionMayUseTheStackWithoutDeadlock) {
    std::vector<std::string> log;
    CleanupStack stack;
    stack.push("outer", [&]() -> std::expected<void, std::string> {
        log.push_back(stack.hasRun() ? "run" : "open");
        EXPECT_TRUE(stack.pendingLabels().empty());
        // Pushed while running: released at once, not lost.
        EXPECT_FALSE(stack.push("inner", record(log, "inner")));
        return {};
    });
    EXPECT_TRUE(stack.runAll().empty());
    EXPECT_EQ(log, (std::vector<std::string>{"run", "inner"}));
}

TEST(CleanupStackConcurrencyTest, ExactlyOneOfRunAndDiscardTakesTheEntries) {
    for (int round = 0; round < 200; ++round) {
        CleanupStack stack;
        std::vector<std::string> ran, discarded;  // ran: only on the thread that runs
        for (int i = 0; i < 10; ++i) stack.push("e", record(ran, "e"));
        {
            std::jthread a([&] { stack.runAll(); }), b([&] { discarded = stack.discardAll(); });
        }
        // Either every action ran or every label was discarded; never both, never a mix.
        EXPECT_TRUE((ran.size() == 10 && discarded.empty()) ||
                    (ran.empty() && discarded.size() == 10))
            << ran.size() << " ran, " << discarded.size() << " discarded";
    }
}

// Lines at the default level (notice) must not reach the journal as warnings,
// and every level keeps its own syslog priority.
TEST(LogTest, EachLevelReachesTheJournalAtItsOwnPriority) {
    using L = Log::Level;
    const std::pair<L, int> cases[] = {
        {L::debug, 7}, {L::info, 6}, {L::notice, 5}, {L::error, 3}, {L::fault, 2}};
    for (const auto& [level, priority] : cases)
        EXPECT_EQ(Log::journalPriority(level), priority) << static_cast<int>(level);
}

}  // namespace
}  // namespace sonvel
