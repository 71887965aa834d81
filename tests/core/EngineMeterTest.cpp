#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "core/EngineMeter.hpp"
#include "support/AllocationCounter.hpp"

namespace sonvel {
namespace {

RenderStats cycle(float inPeak = 0.5f, float outPeak = 0.25f, double inSquares = 2.5,
                  double outSquares = 1.0) {
    return {512, inPeak, outPeak, inSquares, outSquares, 1000, 1024, 1024};
}

TEST(EngineMeterTest, EmptySnapshotReadsSilence) {
    EngineMeter meter;
    const MeterSnapshot s = meter.takeSnapshot();
    EXPECT_EQ(s, MeterSnapshot::empty);
    EXPECT_EQ(s.inputRMS(), 0.0);
    EXPECT_EQ(s.outputRMS(), 0.0);
    EXPECT_EQ(s.inputRMSDBFS(), -120.0);
    EXPECT_EQ(s.outputRMSDBFS(), -120.0);
    EXPECT_EQ(s.inputPeakDBFS(), -120.0);
    EXPECT_EQ(s.outputPeakDBFS(), -120.0);
}

TEST(EngineMeterTest, SnapshotsDrainIntervalsButNotLifetimeTotals) {
    EngineMeter meter;
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
    MeterSnapshot s = meter.takeSnapshot();
    EXPECT_EQ(s.inputPeak, 0.5f);
    EXPECT_EQ(s.outputPeak, 0.5f);
    // A NaN peak would stick above every number: it is ignored.
    meter.record(cycle(std::nanf(""), -1.0f));
    meter.record(cycle(0.125f, 0.125f));
    s = meter.takeSnapshot();
    EXPECT_EQ(s.inputPeak, 0.125f);
    EXPECT_EQ(s.outputPeak, 0.125f);
}

TEST(EngineMeterTest, SquaresAreMillionthsAndNonFiniteCyclesAddNothing) {
    EXPECT_EQ(EngineMeter::fixedPoint(0.0000004), 0u);
    EXPECT_EQ(EngineMeter::fixedPoint(2.5), 2'500'000u);
    EXPECT_EQ(EngineMeter::fixedPoint(std::nan("")), 0u);
    EXPECT_EQ(EngineMeter::fixedPoint(std::numeric_limits<double>::infinity()), 0u);
    EXPECT_EQ(EngineMeter::fixedPoint(-1.0), 0u);
    // Beyond the counter's range the contribution saturates instead of wrapping.
    EXPECT_EQ(EngineMeter::fixedPoint(1e300), EngineMeter::fixedPoint(1e30));

    EngineMeter meter;
    meter.record(cycle(0.5f, 0.5f, 2.5, 1.0));
    meter.record(cycle(0.5f, 0.5f, std::numeric_limits<double>::infinity(), std::nan("")));
    const MeterSnapshot s = meter.takeSnapshot();
    EXPECT_EQ(s.inputSumOfSquares, 2.5);
    EXPECT_EQ(s.outputSumOfSquares, 1.0);
    EXPECT_EQ(s.callbacks, 2u);  // the cycle itself still counts
    EXPECT_EQ(s.inputSamples, 2048u);
}

TEST(EngineMeterTest, DecibelConversionFloorsAtMinus120) {
    EXPECT_EQ(MeterSnapshot::dB(1.0), 0.0);
    EXPECT_EQ(MeterSnapshot::dB(0.0), -120.0);
    EXPECT_EQ(MeterSnapshot::dB(-1.0), -120.0);
    EXPECT_EQ(MeterSnapshot::dB(std::nan("")), -120.0);
    EXPECT_EQ(MeterSnapshot::dB(0.0000001), -120.0);
    EXPECT_NEAR(MeterSnapshot::dB(0.5), -6.0206, 1e-4);
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
    EXPECT_EQ(sum.callbacks, cycles);
    EXPECT_EQ(sum.frames, 3 * cycles);
    EXPECT_EQ(sum.inputNonZeroSamples, 2 * cycles);
    EXPECT_EQ(sum.inputSamples, 5 * cycles);
    EXPECT_EQ(sum.outputSamples, 7 * cycles);
    EXPECT_DOUBLE_EQ(sum.inputSumOfSquares, 0.5 * cycles);
    EXPECT_EQ(meter.totalCallbacks(), cycles);
}

}  // namespace
}  // namespace sonvel
