#include <gtest/gtest.h>

#include <cmath>

#include "core/PermissionProbeEvaluator.hpp"
#include "core/SilenceWatchdog.hpp"

namespace sonvel {
namespace {

const double nan = std::nan("");

TEST(PermissionProbeEvaluatorTest, VerdictsAtTheirBoundaries) {
    using V = PermissionProbeVerdict;
    using PermissionProbeEvaluator::evaluate;
    EXPECT_EQ(evaluate(1, 0.1, 5), V::verified);
    EXPECT_EQ(evaluate(0, 0.5, 3.0), V::likelyDenied);
    EXPECT_EQ(evaluate(0, 15.0, 2.9), V::nothingPlaying);
    EXPECT_EQ(evaluate(0, 3.0, 0), V::nothingPlaying);
    EXPECT_EQ(evaluate(0, 2.99, 0), V::keepWaiting);
    EXPECT_EQ(evaluate(0, 10, 0.5), V::keepWaiting);
    // NaN never concludes by itself.
    EXPECT_EQ(evaluate(0, nan, nan), V::keepWaiting);
    EXPECT_EQ(evaluate(0, nan, 0), V::keepWaiting);
    EXPECT_EQ(evaluate(0, 20, nan), V::nothingPlaying);
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

}  // namespace
}  // namespace sonvel
