#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "core/GainControl.hpp"
#include "core/GainTaper.hpp"

namespace sonvel {
namespace {

TEST(GainTaperTest, QuadraticTaperAndItsInverse) {
    EXPECT_EQ(GainTaper::gain(-0.5), 0.0f);
    EXPECT_EQ(GainTaper::gain(1.7), 1.0f);
    EXPECT_EQ(GainTaper::gain(0.5), 0.25f);
    EXPECT_EQ(GainTaper::gain(0.25), 0.0625f);

    EXPECT_EQ(GainTaper::position(0.25f), 0.5);
    EXPECT_EQ(GainTaper::position(2.0f), 1.0);
    EXPECT_EQ(GainTaper::position(-1.0f), 0.0);
}

TEST(GainTaperTest, DecibelsAndPercentLabels) {
    EXPECT_EQ(GainTaper::decibels(0), -120.0);
    EXPECT_EQ(GainTaper::decibels(1), 0.0);
    EXPECT_NEAR(GainTaper::decibels(0.5), -12.0412, 1e-4);
    EXPECT_NEAR(GainTaper::decibels(0.0001), -160.0, 1e-3);  // no floor but silence

    EXPECT_EQ(GainTaper::percentText(0.005), "1%");
    EXPECT_EQ(GainTaper::percentText(0.004), "0%");
    EXPECT_EQ(GainTaper::percentText(-3), "0%");
    EXPECT_EQ(GainTaper::percentText(2), "100%");
    EXPECT_EQ(GainTaper::percentText(0.5), "50%");
    EXPECT_EQ(GainTaper::percentText(0.125), "13%");
}

TEST(GainControlTest, SanitisesEveryWrite) {
    const float inf = std::numeric_limits<float>::infinity();
    const float denormal = std::numeric_limits<float>::denorm_min();
    for (float bad : {std::nanf(""), inf, -inf, -0.25f, 0.0f, -0.0f, -denormal}) {
        GainControl control(bad, 7);
        EXPECT_EQ(std::signbit(control.target()), false);
        EXPECT_EQ(control.state(), (GainControl::State{0.0f, 7}));
        control.set(0.5f);
        control.set(bad);
        EXPECT_EQ(control.state(), (GainControl::State{0.0f, 7}));
        control.set(bad, 9);
        EXPECT_EQ(control.state(), (GainControl::State{0.0f, 9}));
    }
    GainControl control;
    EXPECT_EQ(control.state(), (GainControl::State{1.0f, 0}));
    control.set(1.5f);
    EXPECT_EQ(control.target(), 1.0f);
    control.set(0.3f);
    EXPECT_EQ(control.target(), 0.3f);
    control.set(denormal);
    EXPECT_EQ(control.target(), denormal);
}

TEST(GainControlTest, SettingTheGainKeepsTheSegment) {
    GainControl control;
    control.set(0.5f, 3);
    control.set(0.2f);
    EXPECT_EQ(control.state(), (GainControl::State{0.2f, 3}));
}

// Each write pairs segment s with a gain derived from s; a reader must never
// see a gain from one write with the segment of another.
TEST(GainControlConcurrencyTest, ReadersSeeOnlyPairsOneWriteProduced) {
    const auto gainFor = [](std::uint32_t s) { return static_cast<float>(s % 997 + 1) / 1024.0f; };
    GainControl control(gainFor(0), 0);
    std::atomic<bool> done{false};
    std::atomic<long> torn{0};
    std::atomic<long> reads{0};
    std::thread reader([&] {
        while (!done.load(std::memory_order_acquire)) {
            const GainControl::State s = control.state();
            if (s.gain != gainFor(s.segment)) torn.fetch_add(1);
            reads.fetch_add(1, std::memory_order_relaxed);
        }
    });
    std::vector<std::thread> writers;
    for (std::uint32_t w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            for (std::uint32_t i = 1; i < 200'000; ++i) {
                const std::uint32_t segment = i * 2 + w;
                control.set(gainFor(segment), segment);
            }
        });
    }
    for (std::thread& t : writers) t.join();
    done.store(true, std::memory_order_release);
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

// A gain-only write racing a segment write must not put an old segment back.
TEST(GainControlConcurrencyTest, GainOnlyWritesNeverLoseASegment) {
    GainControl control(0.5f, 0);
    std::atomic<bool> done{false};
    std::thread gains([&] {
        for (int i = 0; !done.load(std::memory_order_acquire); ++i) {
            control.set(static_cast<float>(i % 100) / 100.0f);
        }
    });
    std::uint32_t last = 0;
    for (std::uint32_t segment = 1; segment <= 100'000; ++segment) {
        control.set(0.75f, segment);
        last = segment;
        ASSERT_GE(control.state().segment, segment);
    }
    done.store(true, std::memory_order_release);
    gains.join();
    EXPECT_EQ(control.state().segment, last);
}

}  // namespace
}  // namespace sonvel
