#include <gtest/gtest.h>

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

TEST_F(EngineHandoverTest, ZeroFadeTimeoutSkipsTheWait) {
    onSleep = [&] { fresh->cycle(); };
    EngineHandover::Timing timing;
    timing.fadeTimeout = 0;
    ASSERT_TRUE(replace(0.4f, timing));
    EXPECT_EQ(sleeps.size(), 1u);  // only the wait for the first cycle
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

TEST_F(EngineHandoverTest, ZeroPollIntervalCannotSpinForever) {
    EngineHandover::Timing timing;
    timing.pollInterval = 0;
    const auto result = replace(0.4f, timing);
    ASSERT_FALSE(result);
    EXPECT_EQ(sleeps.size(), 1500u);  // 0.75 s at the smallest interval allowed
}

}  // namespace
}  // namespace sonvel
