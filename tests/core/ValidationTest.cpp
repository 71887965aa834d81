#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "core/ControlGate.hpp"
#include "core/LiveTest.hpp"
#include "core/PermissionProbeEvaluator.hpp"
#include "core/SilenceWatchdog.hpp"
#include "core/ValidationPolicy.hpp"

namespace sonvel {
namespace {

ValidationRecord passed(std::string build = "24A335",
                        std::optional<std::int64_t> revision = std::nullopt) {
    return {ValidationRecord::Outcome::passed, std::move(build), {}, "", "", {}, "", revision};
}

using G = ControlGate;
const ValidationPath current{"24A335", ValidationPath::currentEngineRevision};

ControlGate evaluate(PermissionState permission, std::optional<ValidationRecord> record,
                     bool paused = false, const ValidationPath& path = current) {
    return ControlGate::evaluate(permission, record, path, paused, GateWording{});
}

// Each row also meets the conditions of the verdicts after its own: permission
// comes before validation, which comes before staleness, which comes before
// pause. A stale record keeps the first reason it was given.
TEST(ControlGateTest, PermissionThenValidationThenStalenessThenPause) {
    const PermissionState verified = PermissionState::Verified{};
    const ValidationPath newBuild{"24B83", 1};
    ValidationRecord failed = passed();
    failed.outcome = ValidationRecord::Outcome::failed;
    EXPECT_EQ(ValidationPolicy::invalidate(failed, "r"), failed);
    failed.invalidatedReason = "ignored";
    const auto silence = ValidationPolicy::invalidate(passed(), "Silence was captured.");
    const auto stale = [](const char* why) { return G{G::NeedsRevalidation{why}}; };
    const char* engine = "Sonvel's audio engine changed since the last test.";
    const std::tuple<PermissionState, std::optional<ValidationRecord>, bool, G, ValidationPath>
        cases[] = {
            {PermissionState::Unknown{}, passed(), true, G::NeedsPermission{}, current},
            {PermissionState::Probing{true}, passed(), true, G::NeedsPermission{}, current},
            {PermissionState::Failed{"x"}, passed(), true, G::NeedsPermission{}, current},
            {PermissionState::LikelyDenied{}, passed(), true, G::PermissionDenied{}, current},
            {verified, ValidationPolicy::invalidate(std::nullopt, "r"), true,
             G::NeedsLiveValidation{}, current},
            {verified, failed, true, G::ValidationFailed{}, newBuild},
            {verified, passed(), false, G::Ready{}, current},
            {verified, passed(), true, G::Paused{}, current},
            {verified, passed("24A335", 0), true, stale(engine), current},
            {verified, passed("24A335", 2), true, stale(engine), current},
            {verified, passed("24A335", 1), false, G::Ready{}, current},
            {verified, ValidationPolicy::invalidate(silence, "second"), true,
             stale("Silence was captured."), newBuild},
            {verified, passed(), true, stale("The system changed from build 24A335 to 24B83."),
             newBuild},
        };
    for (const auto& [permission, record, paused, gate, path] : cases)
        EXPECT_EQ(evaluate(permission, record, paused, path), gate);
    EXPECT_EQ(stale("The system changed.").detail(),
              "The system changed. Run the 10-second live test again.");
}

const double nan = std::nan("");

TEST(PermissionProbeEvaluatorTest, VerdictsAtTheirBoundaries) {
    using V = PermissionProbeVerdict;
    using PermissionProbeEvaluator::evaluate;
    // NaN never concludes by itself.
    const std::tuple<std::uint64_t, double, double, V> cases[] = {
        {1, 0.1, 5, V::verified},          {0, 0.5, 3.0, V::likelyDenied},
        {0, 15.0, 2.9, V::nothingPlaying}, {0, 3.0, 0, V::nothingPlaying},
        {0, 2.99, 0, V::keepWaiting},      {0, 10, 0.5, V::keepWaiting},
        {0, nan, nan, V::keepWaiting},     {0, nan, 0, V::keepWaiting},
        {0, 20, nan, V::nothingPlaying}};
    for (const auto& [heard, elapsed, playing, verdict] : cases)
        EXPECT_EQ(evaluate(heard, elapsed, playing), verdict) << elapsed << " s, " << playing;
}

TEST(SilenceWatchdogTest, TripsOnlyForAPlayingTargetAfterThreeSeconds) {
    using V = SilenceWatchdog::Verdict;
    using SilenceWatchdog::evaluate;
    EXPECT_EQ(evaluate(true, 0, 100, true), V::healthy);
    EXPECT_EQ(evaluate(false, 1, 60, true), V::healthy);
    EXPECT_EQ(evaluate(false, 0, 3.0, true), V::tripped);
    EXPECT_EQ(evaluate(false, 0, 2.999, true), V::waiting);
    EXPECT_EQ(evaluate(false, 0, 60, false), V::waiting);
    EXPECT_EQ(evaluate(false, 0, nan, true), V::waiting);
}

// The schedule itself is heard end to end in the model's retry test.
TEST(RecoveryPolicyTest, NoDelayOutsideTheSchedule) {
    for (long failures : {-2L, 0L, 6L}) EXPECT_EQ(RecoveryPolicy::delay(failures), std::nullopt);
}

using LiveTest::StepMeasurement;

// A step that heard the application steadily, silent at gain 0.
StepMeasurement measured(float gain) {
    return {gain, MeterSnapshot{1, 96000, 1000, 1000, 1000, 250, 250 * gain * gain, 0.5f, gain}};
}

std::vector<StepMeasurement> passing() {
    return {measured(1), measured(0.5f), measured(0.25f), measured(0), measured(1)};
}

// The plan's gains are heard end to end in MixerModelTest's live test, the
// last one's in the measurements below.
TEST(LiveTestTest, StepsInTime) {
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

// A passing run and the engine's own failure are MixerModelTest's live tests.
TEST(LiveTestTest, AutomaticFailuresInOrder) {
    const auto fails = [](const std::vector<StepMeasurement>& steps) {
        return LiveTest::automaticFailure(steps, std::nullopt);
    };
    EXPECT_EQ(fails({measured(1)}), "The test did not complete.");

    auto allSilent = passing();
    for (auto& m : allSilent) m.inputNonZeroSamples = 0;
    allSilent[2].steadyFrames = 0;
    EXPECT_EQ(fails(allSilent),
              "Sonvel received only digital silence from the app (no permission, the app was not "
              "playing, or its audio cannot be captured).");

    auto unmeasured = passing();
    unmeasured[3].steadyFrames = unmeasured[4].steadyFrames = 0;
    EXPECT_EQ(fails(unmeasured), "Step 4 (0%) produced no steady-state audio to measure.");
    unmeasured[2].steadyFrames = 0;
    EXPECT_EQ(fails(unmeasured), "Step 3 (25%) produced no steady-state audio to measure.");

    auto loud = passing();
    loud[3].outputPeak = 0.001f;
    EXPECT_EQ(fails(loud), "Output was not silent at 0% (steady-state peak -60.0 dBFS).");
    loud[3].outputPeak = 0;
    loud[3].outputRMSDBFS = -90;
    EXPECT_EQ(fails(loud), "Output was not silent at 0% (steady-state peak -120.0 dBFS).");
}

}  // namespace
}  // namespace sonvel
