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

// Out-of-range and non-numeric positions are covered by PositionTest.
TEST(GainTaperTest, QuadraticTaperDecibelsAndLinearLabels) {
    EXPECT_EQ(GainTaper::gain(0.5), 0.25f);
    EXPECT_EQ(GainTaper::gain(0.25), 0.0625f);
    EXPECT_EQ(GainTaper::position(0.25f), 0.5);
    EXPECT_EQ(GainTaper::decibels(0), -120.0);
    EXPECT_NEAR(GainTaper::decibels(0.5), -12.0412, 1e-4);
    EXPECT_NEAR(GainTaper::decibels(0.0001), -160.0, 1e-3);  // no floor but silence
    // Linear in the position, halves rounded away from zero.
    for (const auto& [position, text] : {std::pair{0.005, "1%"}, {0.004, "0%"}, {0.125, "13%"}}) {
        EXPECT_EQ(GainTaper::percentText(position), text);
    }
}

TEST(GainControlTest, SanitisesEveryWrite) {
    const float inf = std::numeric_limits<float>::infinity();
    const float denormal = std::numeric_limits<float>::denorm_min();
    for (float bad : {std::nanf(""), inf, -inf, -0.25f, 0.0f, -0.0f, -denormal}) {
        GainControl control(bad, 7);
        EXPECT_EQ(std::signbit(control.target()), false);
        EXPECT_EQ(control.state(), (GainControl::State{0.0f, 7}));
        control.set(0.5f);
        control.set(bad);  // the gain alone: the segment stays
        EXPECT_EQ(control.state(), (GainControl::State{0.0f, 7}));
        control.set(bad, 9);
        EXPECT_EQ(control.state(), (GainControl::State{0.0f, 9}));
    }
    GainControl control;
    EXPECT_EQ(control.state(), (GainControl::State{1.0f, 0}));
    control.set(1.5f);  // never amplifies
    EXPECT_EQ(control.target(), 1.0f);
    control.set(0.3f);
    EXPECT_EQ(control.target(), 0.3f);
    control.set(denormal);
    EXPECT_EQ(control.target(), denormal);
}

// Each write pairs segment s with a gain derived from s; a reader must never
// see a gain from one write with the segment of another.
TEST(GainControlConcurrencyTest, ReadersSeeOnlyPairsOneWriteProduced) {
    const auto gainFor = [](std::uint32_t s) { return static_cast<float>(s % 997 + 1) / 1024.0f; };
    GainControl control(gainFor(0), 0);
    std::atomic<bool> started{false};
    std::atomic<bool> done{false};
    std::atomic<long> torn{0};
    std::thread reader([&] {
        while (!done.load(std::memory_order_acquire)) {
            const GainControl::State s = control.state();
            if (s.gain != gainFor(s.segment)) torn.fetch_add(1);
            started.store(true, std::memory_order_release);
        }
    });
    // On a busy machine the reader may start late; the writes must overlap its reads.
    while (!started.load(std::memory_order_acquire)) std::this_thread::yield();
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
    // Counted rather than asserted in the loop: returning early would leave the
    // writer thread running and end the whole run.
    long lost = 0;
    constexpr std::uint32_t last = 100'000;
    for (std::uint32_t segment = 1; segment <= last; ++segment) {
        control.set(0.75f, segment);
        if (control.state().segment < segment) ++lost;
    }
    done.store(true, std::memory_order_release);
    gains.join();
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(control.state().segment, last);
}

}  // namespace
}  // namespace sonvel
