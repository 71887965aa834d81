#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "core/EngineHandover.hpp"
#include "core/RenderStats.hpp"

namespace sonvel {
namespace {

using Log = std::vector<std::string>;

// An engine whose IO cycles happen when the test says so.
class FakeEngine : public HandoverEngine {
  public:
    FakeEngine(std::string name, Log& log, float gain = 1.0f)
        : name_(std::move(name)), log_(log), control_(gain) {}

    GainControl& control() override {
        log_.push_back(name_ + ".control");
        if (onControl) onControl();
        return control_;
    }
    const EngineMeter& meter() const override { return meter_; }
    std::expected<void, std::string> startIO() override {
        log_.push_back(name_ + ".start");
        if (startError) return std::unexpected(*startError);
        running = true;
        if (onStart) onStart();
        return {};
    }
    void stopIO() override {
        log_.push_back(name_ + ".stop");
        running = false;
    }

    void cycle(int count = 1) {
        for (int i = 0; i < count && running; ++i) meter_.record(RenderStats{});
    }
    float gain() const { return control_.target(); }

    std::optional<std::string> startError;
    bool running = false;
    std::function<void()> onStart;
    std::function<void()> onControl;

  private:
    std::string name_;
    Log& log_;
    GainControl control_;
    EngineMeter meter_;
};

class EngineHandoverTest : public ::testing::Test {
  protected:
    EngineHandoverTest() { old->running = true; }

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
    std::shared_ptr<FakeEngine> old = std::make_shared<FakeEngine>("old", log, 0.7f);
    std::shared_ptr<FakeEngine> fresh = std::make_shared<FakeEngine>("new", log, 0.9f);
    std::function<std::expected<EngineHandover::Engine, std::string>()> build = [this] {
        return EngineHandover::Engine(fresh);
    };
    std::function<void()> onSleep = [] {};
    std::vector<double> sleeps;
};

TEST_F(EngineHandoverTest, CrossfadesNewTargetBeforeOldZeroAndStopsOldLast) {
    // Each poll lets both engines run one cycle.
    onSleep = [&] {
        old->cycle();
        fresh->cycle();
    };
    const auto result = replace(0.4f);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->get(), fresh.get());
    EXPECT_EQ(log, (Log{"new.control", "new.start", "new.control", "old.control", "old.stop"}));
    EXPECT_EQ(fresh->gain(), 0.4f);
    EXPECT_EQ(old->gain(), 0.0f);
    EXPECT_FALSE(old->running);
    // One poll until the new engine's first cycle, two for the cycles after the fade.
    EXPECT_EQ(sleeps, (std::vector<double>{0.005, 0.005, 0.005}));
}

TEST_F(EngineHandoverTest, NoSleepWhenCyclesAreAlreadyDone) {
    // The new engine renders as soon as it starts, and both engines complete
    // their two cycles as the old one's gain is written.
    fresh->onStart = [&] { fresh->cycle(); };
    old->onControl = [&] {
        old->cycle(2);
        fresh->cycle(2);
    };
    ASSERT_TRUE(replace());
    EXPECT_TRUE(sleeps.empty());
    EXPECT_FALSE(old->running);
}

TEST_F(EngineHandoverTest, NewEngineThatNeverRendersIsStoppedAfter150Sleeps) {
    const auto result = replace();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), HandoverError{HandoverError::NewEngineNeverRan{}});
    EXPECT_EQ(result.error().description(), "The replacement engine never started rendering.");
    EXPECT_EQ(sleeps.size(), 150u);
    EXPECT_FALSE(fresh->running);
    EXPECT_TRUE(old->running);
    EXPECT_EQ(old->gain(), 0.7f);
    EXPECT_EQ(log.back(), "new.stop");
}

TEST_F(EngineHandoverTest, FadeWaitGivesUpAfter50SleepsAndStillSucceeds) {
    int polls = 0;
    onSleep = [&] {
        if (++polls == 1) fresh->cycle();  // the new engine starts; the old one is stuck
        fresh->cycle();
    };
    old->running = false;
    const auto result = replace();
    ASSERT_TRUE(result);
    EXPECT_EQ(sleeps.size(), 1u + 50u);
    EXPECT_EQ(log.back(), "old.stop");
}

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
    EXPECT_EQ(result.error(), HandoverError{HandoverError::CouldNotStart{"Device busy."}});
    EXPECT_EQ(result.error().description(), "The replacement engine could not start: Device busy.");
    EXPECT_EQ(log, (Log{"new.control", "new.start", "new.stop"}));
    EXPECT_TRUE(old->running);
    EXPECT_EQ(old->gain(), 0.7f);
}

// Timings that are zero, negative or not a number never make a wait endless:
// a time-out means no wait, a poll interval the 0.5 ms floor.
TEST_F(EngineHandoverTest, OddTimingsNeverWaitForever) {
    const double nan = std::nan("");
    const struct {
        double EngineHandover::Timing::*field;
        double value;
        bool starts;  // the new engine renders from its first poll on
        std::size_t sleeps;
    } cases[] = {
        {&EngineHandover::Timing::pollInterval, 0, false, 1500},  // 0.75 s at the floor
        {&EngineHandover::Timing::pollInterval, nan, false, 1500},
        {&EngineHandover::Timing::pollInterval, -1, false, 1500},
        {&EngineHandover::Timing::startTimeout, nan, false, 0},
        {&EngineHandover::Timing::startTimeout, -1, false, 0},
        {&EngineHandover::Timing::fadeTimeout, 0, true, 1},  // only the wait for the first cycle
        {&EngineHandover::Timing::fadeTimeout, nan, true, 1},
        {&EngineHandover::Timing::fadeTimeout, -1, true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " for " << c.sleeps << " sleeps");
        sleeps.clear();
        old->running = true;
        fresh = std::make_shared<FakeEngine>("new", log, 0.9f);
        onSleep = [&] {
            if (c.starts) fresh->cycle();
        };
        EngineHandover::Timing timing;
        timing.*c.field = c.value;
        EXPECT_EQ(replace(0.4f, timing).has_value(), c.starts);
        EXPECT_EQ(sleeps.size(), c.sleeps);
    }
}

}  // namespace
}  // namespace sonvel
