#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "core/EngineHandover.hpp"
#include "core/RenderStats.hpp"

namespace sonvel {
namespace {

using Log = std::vector<std::string>;

// An engine whose IO cycles happen when the test says so.
struct FakeEngine : HandoverEngine {
    FakeEngine(std::string name_, Log& log_, float gain_, bool running_ = false)
        : name(std::move(name_)), log(log_), gain(gain_), running(running_) {}

    GainControl& control() override {
        log.push_back(name + ".control");
        cycle(cyclesOnControl);
        return gain;
    }
    const EngineMeter& meter() const override { return cycles; }
    std::expected<void, std::string> startIO() override {
        log.push_back(name + ".start");
        if (startError) return std::unexpected(*startError);
        running = true;
        cycle(cyclesOnStart);
        return {};
    }
    void stopIO() override {
        log.push_back(name + ".stop");
        running = false;
    }
    // Each cycle carries the application's sound.
    void cycle(int count = 1) {
        for (int i = 0; i < count && running; ++i) cycles.record({.inputNonZeroSamples = 1});
    }

    std::string name;
    Log& log;
    GainControl gain;
    EngineMeter cycles;
    std::optional<std::string> startError;
    bool running = false;
    int cyclesOnStart = 0, cyclesOnControl = 0;
};

class EngineHandoverTest : public ::testing::Test {
  protected:
    std::expected<EngineHandover::Engine, HandoverError> replace(
        float target = 0.4f, const EngineHandover::Timing& timing = {}) {
        return EngineHandover::replace(
            *old, target, [&] { return build(); }, timing,
            [&](double seconds) {
                sleeps.push_back(seconds);
                // A wait that would never end fails the test instead of hanging it.
                if (sleeps.size() > 100'000) throw std::runtime_error("waits forever");
                onSleep();
            });
    }

    Log log;
    std::shared_ptr<FakeEngine> old = std::make_shared<FakeEngine>("old", log, 0.7f, true);
    std::shared_ptr<FakeEngine> fresh = std::make_shared<FakeEngine>("new", log, 0.9f);
    std::function<std::expected<EngineHandover::Engine, std::string>()> build = [this] {
        return EngineHandover::Engine(fresh);
    };
    std::function<void()> onSleep = [] {};
    std::vector<double> sleeps;
};

TEST_F(EngineHandoverTest, FailuresLeaveTheOldEngineUntouched) {
    build = [] { return std::unexpected<std::string>("No tap."); };
    auto result = replace();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(), "The replacement engine could not be built: No tap.");
    EXPECT_TRUE(log.empty());

    build = [this] { return EngineHandover::Engine(fresh); };
    fresh->startError = "Device busy.";
    result = replace();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(), "The replacement engine could not start: Device busy.");
    EXPECT_EQ(log, (Log{"new.control", "new.start", "new.stop"}));
    EXPECT_EQ(std::pair(old->running, old->gain.target()), std::pair(true, 0.7f));
}

// A new engine that never renders is stopped after 0.75 s of 5 ms polls, and
// the old one keeps playing as it was. An old engine that never completes its
// cycles after the fade is waited for 50 polls, then stopped all the same.
// Timings that are zero, negative or not a number never make a wait endless:
// a time-out means no wait, a poll interval the 0.5 ms floor. An engine that
// renders as it starts, and cycles that complete as the gains are written,
// need no sleep at all. Whenever the new engine renders, it starts silent and
// takes the target before the old one is faded out and, last, stopped: one
// poll until its first cycle, two for the cycles after the fade.
TEST_F(EngineHandoverTest, GivesUpOnTimeAndOddTimingsNeverWaitForever) {
    using T = EngineHandover::Timing;
    const double nan = std::nan("");
    // Beyond the new engine's rendering: cycles that come on start and on each
    // gain written, or the old engine's cycle on each poll.
    enum Also { alone, eager, oldPlays };
    const struct {
        double T::*field;  // none: the defaults
        double value;
        bool renders;  // the new engine renders from its first poll on
        std::size_t sleeps;
        Also also;
    } cases[] = {
        {nullptr, 0, false, 150, alone},           {nullptr, 0, true, 1 + 50, alone},
        {&T::pollInterval, 0, false, 1500, alone}, {&T::pollInterval, nan, false, 1500, alone},
        {&T::startTimeout, nan, false, 0, alone},  {&T::startTimeout, -1, false, 0, alone},
        {&T::fadeTimeout, 0, true, 1, alone},  // only the wait for the first cycle
        {&T::fadeTimeout, nan, true, 1, alone},    {nullptr, 0, true, 0, eager},
        {nullptr, 0, true, 1 + 2, oldPlays}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.value << " for " << c.sleeps << " sleeps");
        sleeps.clear();
        log.clear();
        old = std::make_shared<FakeEngine>("old", log, 0.7f, true);
        fresh = std::make_shared<FakeEngine>("new", log, 0.9f);
        fresh->cyclesOnStart = c.also == eager;
        fresh->cyclesOnControl = old->cyclesOnControl = c.also == eager ? 2 : 0;
        onSleep = [&] {
            if (c.renders) fresh->cycle();
            if (c.also == oldPlays) old->cycle();
        };
        T timing;
        if (c.field) timing.*c.field = c.value;
        const auto result = replace(0.4f, timing);
        // Every wait is one poll, at the interval given or, below it, the floor.
        EXPECT_EQ(sleeps, std::vector(c.sleeps, c.field == &T::pollInterval ? 0.0005 : 0.005));
        EXPECT_EQ(result.has_value(), c.renders);
        if (c.renders) {
            EXPECT_EQ(result->get(), fresh.get());
            EXPECT_EQ(log,
                      (Log{"new.control", "new.start", "new.control", "old.control", "old.stop"}));
            EXPECT_EQ(std::pair(fresh->gain.target(), old->gain.target()), std::pair(0.4f, 0.0f));
        } else {
            EXPECT_EQ(result.error(), HandoverError{HandoverError::NewEngineNeverRan{}});
            EXPECT_FALSE(fresh->running);
            EXPECT_EQ(std::pair(old->running, old->gain.target()), std::pair(true, 0.7f));
        }
    }
}

}  // namespace
}  // namespace sonvel
