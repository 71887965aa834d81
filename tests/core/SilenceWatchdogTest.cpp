#include <gtest/gtest.h>

#include <cmath>

#include "core/PermissionProbeEvaluator.hpp"
#include "core/SilenceWatchdog.hpp"

namespace sonvel {
namespace {

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
    EXPECT_EQ(evaluate(0, std::nan(""), std::nan("")), V::keepWaiting);
    EXPECT_EQ(evaluate(0, std::nan(""), 0), V::keepWaiting);
    EXPECT_EQ(evaluate(0, 20, std::nan("")), V::nothingPlaying);
}

TEST(SilenceWatchdogTest, TripsOnlyForAPlayingTargetAfterThreeSeconds) {
    using V = SilenceWatchdog::Verdict;
    using SilenceWatchdog::evaluate;
    EXPECT_EQ(evaluate(true, 0, 100, true), V::healthy);
    EXPECT_EQ(evaluate(false, 0, 3.0, true), V::tripped);
    EXPECT_EQ(evaluate(false, 0, 2.999, true), V::waiting);
    EXPECT_EQ(evaluate(false, 0, 60, false), V::waiting);
    EXPECT_EQ(evaluate(false, 1, 60, true), V::healthy);
    EXPECT_EQ(evaluate(false, 0, std::nan(""), true), V::waiting);
}

TEST(RecoveryPolicyTest, DelaysThenNone) {
    EXPECT_EQ(RecoveryPolicy::delay(0), std::nullopt);
    EXPECT_EQ(RecoveryPolicy::delay(-2), std::nullopt);
    EXPECT_EQ(RecoveryPolicy::delay(1), 0.5);
    EXPECT_EQ(RecoveryPolicy::delay(4), 5.0);
    EXPECT_EQ(RecoveryPolicy::delay(5), 10.0);
    EXPECT_EQ(RecoveryPolicy::delay(6), std::nullopt);
}

}  // namespace
}  // namespace sonvel
