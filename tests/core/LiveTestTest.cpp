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
    ASSERT_EQ(LiveTest::steps().size(), 5u);
    EXPECT_EQ(LiveTest::steps()[1].instruction, "Half level \u2014 clearly quieter (\u22126 dB)");
    EXPECT_EQ(LiveTest::steps()[2].instruction, "Quarter level \u2014 quieter again (\u221212 dB)");
    EXPECT_EQ(LiveTest::steps()[3],
              (LiveTest::Step{0.0f, 2, "SILENT \u2014 you must hear nothing from this app"}));
    EXPECT_EQ(LiveTest::stepIndex(1.999), 0u);
    EXPECT_EQ(LiveTest::stepIndex(2.0), 1u);
    EXPECT_EQ(LiveTest::stepIndex(9.999), 4u);
    EXPECT_EQ(LiveTest::stepIndex(10.0), std::nullopt);
    EXPECT_EQ(LiveTest::stepIndex(-5), 0u);
    EXPECT_EQ(LiveTest::stepIndex(std::nan("")), std::nullopt);
}

TEST(LiveTestTest, MeasurementsAndSummaries) {
    MeterSnapshot s;
    s.inputSamples = 1000;
    s.inputSumOfSquares = 1000 * 0.125 * 0.125;  // rms 0.125: -18.06 dBFS
    s.outputSamples = 1000;
    s.outputSumOfSquares = 1000 * 0.0625 * 0.0625;
    s.outputPeak = 0.1f;
    s.inputNonZeroSamples = 999;
    s.frames = 96000;
    const StepMeasurement m(0.5f, s);
    EXPECT_NEAR(m.inputRMSDBFS, -18.06, 0.01);
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
