// The two words the IO thread shares with everyone else: the gain it is told
// and the meter it fills.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>

#include "core/EngineMeter.hpp"
#include "core/GainControl.hpp"

namespace sonvel {
namespace {

// Runs `background` over and over on a thread of its own while `foreground`
// runs once here, from the moment that thread is under way: on a busy machine
// it may start late, and the two must overlap.
void alongside(const std::function<void()>& background, const std::function<void()>& foreground) {
    std::atomic<bool> started{false}, done{false};
    std::thread other([&] {
        while (!done.load(std::memory_order_acquire)) {
            background();
            started.store(true, std::memory_order_release);
        }
    });
    while (!started.load(std::memory_order_acquire)) std::this_thread::yield();
    foreground();
    done.store(true, std::memory_order_release);
    other.join();
}

// The constructor and both setters store the same sanitised gain: never -0,
// never louder than 1, and any other positive number, denormals too, as given.
TEST(GainControlTest, SanitisesEveryWrite) {
    const float inf = std::numeric_limits<float>::infinity();
    const float denormal = std::numeric_limits<float>::denorm_min();
    EXPECT_EQ(GainControl().state(), (GainControl::State{1.0f, 0}));
    const std::pair<float, float> cases[] = {{std::nanf(""), 0.0f}, {inf, 0.0f},  {-inf, 0.0f},
                                             {-0.25f, 0.0f},        {0.0f, 0.0f}, {-0.0f, 0.0f},
                                             {-denormal, 0.0f},     {1.5f, 1.0f}, {0.3f, 0.3f},
                                             {denormal, denormal}};
    for (const auto& [written, stored] : cases) {
        SCOPED_TRACE(written);
        GainControl control(written, 7);
        EXPECT_FALSE(std::signbit(control.target()));
        EXPECT_EQ(control.state(), (GainControl::State{stored, 7}));
        control.set(0.5f);
        control.set(written);  // the gain alone: the segment stays
        EXPECT_EQ(control.state(), (GainControl::State{stored, 7}));
        control.set(written, 9);
        EXPECT_EQ(control.state(), (GainControl::State{stored, 9}));
    }
}

// Each write pairs segment s with a gain derived from s; while another thread
// writes too, a reader must never see a gain from one write with the segment
// of another.
TEST(GainControlConcurrencyTest, ReadersSeeOnlyPairsOneWriteProduced) {
    const auto gainFor = [](std::uint32_t s) { return static_cast<float>(s % 997 + 1) / 1024.0f; };
    GainControl control(gainFor(0), 0);
    long torn = 0;
    alongside(
        [&, odd = 1u]() mutable {
            control.set(gainFor(odd), odd);
            odd += 2;
        },
        [&] {
            for (std::uint32_t even = 2; even < 400'000; even += 2) {
                control.set(gainFor(even), even);
                const GainControl::State s = control.state();
                if (s.gain != gainFor(s.segment)) ++torn;
            }
        });
    EXPECT_EQ(torn, 0);
}

// A gain-only write racing a segment write must not put an old segment back.
TEST(GainControlConcurrencyTest, GainOnlyWritesNeverLoseASegment) {
    GainControl control(0.5f, 0);
    int i = 0;
    long lost = 0;
    constexpr std::uint32_t last = 100'000;
    alongside([&] { control.set(static_cast<float>(i++ % 100) / 100.0f); },
              [&] {
                  for (std::uint32_t segment = 1; segment <= last; ++segment) {
                      control.set(0.75f, segment);
                      if (control.state().segment < segment) ++lost;
                  }
              });
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(control.state().segment, last);
}

RenderStats cycle(float inPeak = 0.5f, float outPeak = 0.25f, double inSquares = 2.5,
                  double outSquares = 1.0) {
    return {512, inPeak, outPeak, inSquares, outSquares, 1000, 1024, 1024};
}

// Snapshots drain the interval, not the lifetime totals. A NaN peak would
// stick above every number: it is ignored. A cycle whose squares are not
// finite, negative or below a millionth adds none, but the cycle itself still
// counts; squares beyond the counter's range saturate instead of wrapping.
TEST(EngineMeterTest, SnapshotsDrainKeepTheLargestPeaksAndCountSquaresInMillionths) {
    EXPECT_EQ(EngineMeter::fixedPoint(2.5), 2'500'000u);
    // Saturated at a quarter of the counter's range, so a few such cycles cannot wrap it.
    EXPECT_EQ(EngineMeter::fixedPoint(1e300), std::uint64_t{1} << 62);
    EngineMeter meter;
    // No samples is silence, not 0/0.
    EXPECT_EQ(meter.takeSnapshot().inputRMS(), 0.0);
    EXPECT_EQ(MeterSnapshot::empty.outputRMSDBFS(), -120.0);
    EXPECT_NEAR(MeterSnapshot::dB(0.5), -6.0206, 1e-4);
    for (double silent : {0.0, -1.0, std::nan(""), 0.0000001})
        EXPECT_EQ(MeterSnapshot::dB(silent), -120.0) << silent;
    meter.record(cycle(0.5f, 0.25f));
    meter.record(cycle(0.25f, 0.5f));
    const MeterSnapshot first = meter.takeSnapshot();
    EXPECT_EQ(first, (MeterSnapshot{2, 1024, 2000, 2048, 2048, 5.0, 2.0, 0.5f, 0.5f}));
    EXPECT_NEAR(first.inputRMS(), std::sqrt(5.0 / 2048), 1e-15);
    EXPECT_EQ(meter.takeSnapshot(), MeterSnapshot::empty);
    meter.record(
        cycle(std::nanf(""), -1.0f, std::numeric_limits<double>::infinity(), std::nan("")));
    meter.record(cycle(0.125f, 0.125f));
    meter.record(cycle(0.0f, 0.0f, -1.0, 0.0000004));
    EXPECT_EQ(meter.totalCallbacks(), 5u);
    EXPECT_EQ(meter.totalInputNonZeroSamples(), 5000u);
    EXPECT_EQ(meter.takeSnapshot(),
              (MeterSnapshot{3, 1536, 3000, 3072, 3072, 2.5, 1.0, 0.125f, 0.125f}));
}

// Where steady cycles of a segment in range or beyond it and unsteady ones go
// is heard in GainRendererTest; here, counts that leave no segments.
TEST(SegmentedMeterTest, CountsBelowOneGiveNoSegments) {
    for (long count : {0L, -3L}) EXPECT_TRUE(SegmentedMeter(count).segments().empty()) << count;
}

// Draining while the IO thread records must neither lose nor double-count a
// cycle: the sum of all snapshots equals what was recorded.
TEST(EngineMeterConcurrencyTest, DrainingDuringRecordingLosesNothing) {
    constexpr std::uint64_t cycles = 300'000;
    EngineMeter meter;
    using M = MeterSnapshot;
    M sum;
    const auto drain = [&] {
        const M s = meter.takeSnapshot();
        for (auto n : {&M::callbacks, &M::frames, &M::inputNonZeroSamples, &M::inputSamples,
                       &M::outputSamples})
            sum.*n += s.*n;
        sum.inputSumOfSquares += s.inputSumOfSquares;
    };
    alongside(drain, [&] {
        for (std::uint64_t i = 0; i < cycles; ++i) meter.record({3, 0.1f, 0.1f, 0.5, 0.5, 2, 5, 7});
    });
    drain();  // what was recorded after the last drain over there
    EXPECT_EQ(sum, (M{cycles, 3 * cycles, 2 * cycles, 5 * cycles, 7 * cycles, 0.5 * cycles}));
}

}  // namespace
}  // namespace sonvel
