#include <gtest/gtest.h>

#include <cmath>

#include "core/LiveTest.hpp"

namespace sonvel {
namespace {

using LiveTest::StepMeasurement;

StepMeasurement measured(float gain, std::uint64_t nonZero = 1000, std::uint64_t frames = 96000,
                         float peak = 0.5f, double out = -12.0) {
    StepMeasurement m;
    m.gain = gain;
    m.inputRMSDBFS = -6.0;
    m.outputRMSDBFS = out;
    m.outputPeak = peak;
    m.inputNonZeroSamples = nonZero;
    m.steadyFrames = frames;
    return m;
}

std::vector<StepMeasurement> passing() {
    return {measured(1), measured(0.5f), measured(0.25f), measured(0, 1000, 96000, 0, -120),
            measured(1)};
}

TEST(LiveTestTest, PlanAndStepsInTime) {
    std::vector<float> gains;
    for (const LiveTest::Step& step : LiveTest::steps()) gains.push_back(step.gain);
    EXPECT_EQ(gains, (std::vector<float>{1, 0.5f, 0.25f, 0, 1}));
    const std::pair<double, std::optional<std::size_t>> times[] = {
        {-5, 0},    {1.999, 0},           {2.0, 1},
        {9.999, 4}, {10.0, std::nullopt}, {std::nan(""), std::nullopt}};
    for (const auto& [seconds, index] : times) EXPECT_EQ(LiveTest::stepIndex(seconds), index);
}

TEST(LiveTestTest, MeasurementsAndSummaries) {
    // RMS 0.125 in (−18.06 dBFS) and 0.0625 out over 1000 samples each.
    const StepMeasurement m(0.5f, MeterSnapshot{1, 96000, 999, 1000, 1000, 1000 * 0.125 * 0.125,
                                                1000 * 0.0625 * 0.0625, 0.5f, 0.1f});
    EXPECT_EQ(m.summary(),
              "gain 0.50: in -18.1 dBFS, out -24.1 dBFS (peak -20.0, 96000 steady frames)");

    const StepMeasurement silent(0.0f, MeterSnapshot::empty);
    EXPECT_EQ(silent.outputRMSDBFS, -120.0);
    EXPECT_EQ(silent.summary(),
              "gain 0.00: in -inf dBFS, out -inf dBFS (peak -inf, 0 steady frames)");

    // A segmented meter with three segments still gives five measurements.
    SegmentedMeter meter(3);
    meter.record({512, 0.5f, 0.5f, 10, 10, 1024, 1024, 1024}, 1, true);
    const auto five = LiveTest::measurements(meter);
    ASSERT_EQ(five.size(), 5u);
    EXPECT_EQ(five[1].steadyFrames, 512u);
    EXPECT_EQ(five[4], (StepMeasurement(1.0f, MeterSnapshot::empty)));
    EXPECT_EQ(meter.segments()[1]->takeSnapshot(), MeterSnapshot::empty);  // drained
}

TEST(LiveTestTest, AutomaticFailuresInOrder) {
    EXPECT_EQ(LiveTest::automaticFailure(passing(), std::nullopt), std::nullopt);
    EXPECT_EQ(LiveTest::automaticFailure({}, "Device busy."), "The engine failed: Device busy.");
    EXPECT_EQ(LiveTest::automaticFailure({measured(1)}, std::nullopt),
              "The test did not complete.");

    auto allSilent = passing();
    for (auto& m : allSilent) m.inputNonZeroSamples = 0;
    allSilent[2].steadyFrames = 0;
    EXPECT_EQ(LiveTest::automaticFailure(allSilent, std::nullopt),
              "Sonvel received only digital silence from the app (no permission, the app was not "
              "playing, or its audio cannot be captured).");

    auto unmeasured = passing();
    unmeasured[3].steadyFrames = 0;
    unmeasured[4].steadyFrames = 0;
    EXPECT_EQ(LiveTest::automaticFailure(unmeasured, std::nullopt),
              "Step 4 (0%) produced no steady-state audio to measure.");
    unmeasured[2].steadyFrames = 0;
    EXPECT_EQ(LiveTest::automaticFailure(unmeasured, std::nullopt),
              "Step 3 (25%) produced no steady-state audio to measure.");

    auto loud = passing();
    loud[3].outputPeak = 0.001f;
    EXPECT_EQ(LiveTest::automaticFailure(loud, std::nullopt),
              "Output was not silent at 0% (steady-state peak -60.0 dBFS).");
    loud[3].outputPeak = 0;
    loud[3].outputRMSDBFS = -90;
    EXPECT_EQ(LiveTest::automaticFailure(loud, std::nullopt),
              "Output was not silent at 0% (steady-state peak -120.0 dBFS).");
}

}  // namespace
}  // namespace sonvel
