#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <tuple>

#include "core/EngineMeter.hpp"
#include "support/AllocationCounter.hpp"

namespace sonvel {
namespace {

RenderStats cycle(float inPeak = 0.5f, float outPeak = 0.25f, double inSquares = 2.5,
                  double outSquares = 1.0) {
    return {512, inPeak, outPeak, inSquares, outSquares, 1000, 1024, 1024};
}

TEST(EngineMeterTest, SnapshotsDrainIntervalsButNotLifetimeTotals) {
    EngineMeter meter;
    // No samples is silence, not 0/0.
    EXPECT_EQ(meter.takeSnapshot().inputRMS(), 0.0);
    EXPECT_EQ(MeterSnapshot::empty.outputRMSDBFS(), -120.0);
    meter.record(cycle());
    meter.record(cycle());
    const MeterSnapshot first = meter.takeSnapshot();
    EXPECT_EQ(first, (MeterSnapshot{2, 1024, 2000, 2048, 2048, 5.0, 2.0, 0.5f, 0.25f}));
    EXPECT_NEAR(first.inputRMS(), std::sqrt(5.0 / 2048), 1e-15);
    EXPECT_EQ(meter.takeSnapshot(), MeterSnapshot::empty);
    meter.record(cycle());
    EXPECT_EQ(meter.totalCallbacks(), 3u);
    EXPECT_EQ(meter.totalInputNonZeroSamples(), 3000u);
    EXPECT_EQ(meter.takeSnapshot().callbacks, 1u);
}

TEST(EngineMeterTest, PeaksKeepTheLargestWhateverTheOrder) {
    EngineMeter meter;
    meter.record(cycle(0.5f, 0.25f));
    meter.record(cycle(0.25f, 0.5f));
    const MeterSnapshot s = meter.takeSnapshot();
    EXPECT_EQ(std::pair(s.inputPeak, s.outputPeak), std::pair(0.5f, 0.5f));
    // A NaN peak would stick above every number: it is ignored.
    meter.record(cycle(std::nanf(""), -1.0f));
    meter.record(cycle(0.125f, 0.125f));
    const MeterSnapshot t = meter.takeSnapshot();
    EXPECT_EQ(std::pair(t.inputPeak, t.outputPeak), std::pair(0.125f, 0.125f));
}

TEST(EngineMeterTest, SquaresAreMillionthsAndNonFiniteCyclesAddNothing) {
    EXPECT_EQ(EngineMeter::fixedPoint(2.5), 2'500'000u);
    for (double nothing :
         {0.0000004, std::nan(""), std::numeric_limits<double>::infinity(), -1.0}) {
        EXPECT_EQ(EngineMeter::fixedPoint(nothing), 0u) << nothing;
    }
    // Beyond the counter's range the contribution saturates instead of wrapping.
    EXPECT_EQ(EngineMeter::fixedPoint(1e300), EngineMeter::fixedPoint(1e30));

    EngineMeter meter;
    meter.record(cycle(0.5f, 0.5f, 2.5, 1.0));
    meter.record(cycle(0.5f, 0.5f, std::numeric_limits<double>::infinity(), std::nan("")));
    // The cycle itself still counts.
    EXPECT_EQ(meter.takeSnapshot(),
              (MeterSnapshot{2, 1024, 2000, 2048, 2048, 2.5, 1.0, 0.5f, 0.5f}));
}

TEST(EngineMeterTest, DecibelConversionFloorsAtMinus120) {
    EXPECT_NEAR(MeterSnapshot::dB(0.5), -6.0206, 1e-4);
    for (double silent : {0.0, -1.0, std::nan(""), 0.0000001}) {
        EXPECT_EQ(MeterSnapshot::dB(silent), -120.0) << silent;
    }
}

TEST(SegmentedMeterTest, SteadyCyclesGoToTheirSegmentEverythingElseToTransitions) {
    SegmentedMeter meter(5);
    ASSERT_EQ(meter.segments().size(), 5u);
    meter.record(cycle(), 4, true);
    meter.record(cycle(), 5, true);
    meter.record(cycle(), 2, false);
    EXPECT_EQ(meter.segments()[4]->totalCallbacks(), 1u);
    EXPECT_EQ(meter.segments()[2]->totalCallbacks(), 0u);
    EXPECT_EQ(meter.transitions()->totalCallbacks(), 2u);

    for (long count : {0L, -3L}) {
        SegmentedMeter none(count);
        EXPECT_TRUE(none.segments().empty());
        none.record(cycle(), 0, true);
        EXPECT_EQ(none.transitions()->totalCallbacks(), 1u);
    }
}

TEST(EngineMeterTest, RecordingNeverAllocates) {
    EngineMeter meter;
    SegmentedMeter segments(3);
    testing::AllocationCounter allocations;
    for (int i = 0; i < 100; ++i) {
        meter.record(cycle());
        segments.record(cycle(), static_cast<std::uint32_t>(i % 4), i % 2 == 0);
    }
    EXPECT_EQ(allocations.count(), 0u);
}

// Draining while the IO thread records must neither lose nor double-count a
// cycle: the sum of all snapshots equals what was recorded.
TEST(EngineMeterConcurrencyTest, DrainingDuringRecordingLosesNothing) {
    constexpr std::uint64_t cycles = 300'000;
    EngineMeter meter;
    MeterSnapshot sum;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        const auto add = [&](const MeterSnapshot& s) {
            sum.callbacks += s.callbacks;
            sum.frames += s.frames;
            sum.inputNonZeroSamples += s.inputNonZeroSamples;
            sum.inputSamples += s.inputSamples;
            sum.outputSamples += s.outputSamples;
            sum.inputSumOfSquares += s.inputSumOfSquares;
        };
        while (!done.load(std::memory_order_acquire)) add(meter.takeSnapshot());
        add(meter.takeSnapshot());
    });
    for (std::uint64_t i = 0; i < cycles; ++i) meter.record({3, 0.1f, 0.1f, 0.5, 0.5, 2, 5, 7});
    done.store(true, std::memory_order_release);
    reader.join();
    EXPECT_EQ(std::tuple(sum.callbacks, sum.frames, sum.inputNonZeroSamples, sum.inputSamples,
                         sum.outputSamples),
              std::tuple(cycles, 3 * cycles, 2 * cycles, 5 * cycles, 7 * cycles));
    EXPECT_DOUBLE_EQ(sum.inputSumOfSquares, 0.5 * cycles);
}

}  // namespace
}  // namespace sonvel
