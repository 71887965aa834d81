#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tap/CleanupStack.hpp"
#include "tap/Log.hpp"

namespace sonvel {
namespace {

using Failure = CleanupStack::Failure;

CleanupStack::Action record(std::vector<std::string>& log, std::string name,
                            std::optional<std::string> error = std::nullopt) {
    return [&log, name, error]() -> std::expected<void, std::string> {
        log.push_back(name);
        if (error) return std::unexpected(*error);
        return {};
    };
}

TEST(CleanupStackTest, RunsNewestFirstOnceAndKeepsGoingPastFailures) {
    const Log::Capture captured;
    std::vector<std::string> log;
    CleanupStack stack;
    EXPECT_TRUE(stack.push("A", record(log, "A")));
    EXPECT_TRUE(stack.push("B", record(log, "B", "B broke.")));
    EXPECT_TRUE(stack.push("C", record(log, "C")));
    EXPECT_EQ(stack.pendingLabels(), (std::vector<std::string>{"A", "B", "C"}));

    EXPECT_EQ(stack.runAll(), (std::vector<Failure>{{"B", "B broke."}}));
    EXPECT_EQ(log, (std::vector<std::string>{"C", "B", "A"}));
    EXPECT_TRUE(stack.hasRun());
    EXPECT_TRUE(stack.runAll().empty());
    EXPECT_EQ(log.size(), 3u);
    // Late pushes run at once, and their failures are no less logged.
    EXPECT_FALSE(stack.push("D", record(log, "D", "D broke.")));
    EXPECT_EQ(
        captured.messages("cleanup"),
        (std::vector<std::string>{"Cleanup B failed: B broke.", "Cleanup D failed: D broke."}));
}

TEST(CleanupStackTest, DiscardForgetsWithoutRunning) {
    std::vector<std::string> log;
    CleanupStack stack;
    stack.push("A", record(log, "A"));
    stack.push("B", record(log, "B"));
    EXPECT_EQ(stack.discardAll(), (std::vector<std::string>{"A", "B"}));
    EXPECT_TRUE(stack.runAll().empty());
    EXPECT_TRUE(log.empty());
    EXPECT_FALSE(stack.push("C", record(log, "C")));
    EXPECT_EQ(log, std::vector<std::string>{"C"});
    EXPECT_TRUE(stack.pendingLabels().empty());
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
        std::atomic<int> ran{0};
        for (int i = 0; i < 10; ++i) {
            stack.push("e", [&]() -> std::expected<void, std::string> {
                ran.fetch_add(1);
                return {};
            });
        }
        std::vector<std::string> discarded;
        std::vector<Failure> failures;
        std::thread a([&] { failures = stack.runAll(); });
        std::thread b([&] { discarded = stack.discardAll(); });
        a.join();
        b.join();
        EXPECT_TRUE(failures.empty());
        // Either every action ran or every label was discarded; never both, never a mix.
        EXPECT_TRUE((ran == 10 && discarded.empty()) || (ran == 0 && discarded.size() == 10))
            << ran << " ran, " << discarded.size() << " discarded";
    }
}

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
