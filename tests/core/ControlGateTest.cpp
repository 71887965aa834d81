#include <gtest/gtest.h>

#include "core/ControlGate.hpp"
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

TEST(ControlGateTest, PermissionComesBeforeValidationWhichComesBeforePause) {
    for (const PermissionState& p : {PermissionState{PermissionState::Unknown{}},
                                     PermissionState{PermissionState::Probing{true}},
                                     PermissionState{PermissionState::Failed{"x"}}}) {
        EXPECT_EQ(evaluate(p, passed(), true), G{G::NeedsPermission{}});
    }
    EXPECT_EQ(evaluate(PermissionState::LikelyDenied{}, passed(), true), G{G::PermissionDenied{}});

    const PermissionState verified = PermissionState::Verified{};
    EXPECT_EQ(evaluate(verified, std::nullopt, true), G{G::NeedsLiveValidation{}});
    ValidationRecord failed = passed();
    failed.outcome = ValidationRecord::Outcome::failed;
    failed.invalidatedReason = "ignored";
    EXPECT_EQ(evaluate(verified, failed, true), G{G::ValidationFailed{}});
    EXPECT_EQ(evaluate(verified, passed(), false), G{G::Ready{}});
    EXPECT_EQ(evaluate(verified, passed(), true), G{G::Paused{}});
}

TEST(ControlGateTest, StaleRecordsNeedRevalidationWithTheirReason) {
    const PermissionState verified = PermissionState::Verified{};
    const ValidationPath newBuild{"24B83", 1};
    const G gate = evaluate(verified, passed("24A335"), false, newBuild);
    EXPECT_EQ(gate, G{G::NeedsRevalidation{"The system changed from build 24A335 to 24B83."}});
    EXPECT_EQ(gate.detail(),
              "The system changed from build 24A335 to 24B83. Run the 10-second live test again.");

    for (std::int64_t revision : {0, 2}) {
        EXPECT_EQ(evaluate(verified, passed("24A335", revision), true),
                  G{G::NeedsRevalidation{"Sonvel's audio engine changed since the last test."}});
    }
    EXPECT_EQ(evaluate(verified, passed("24A335", 1)), G{G::Ready{}});

    ValidationRecord invalidated = passed("24A335");
    invalidated.invalidatedReason = "Silence was captured.";
    EXPECT_EQ(evaluate(verified, invalidated, false, newBuild),
              G{G::NeedsRevalidation{"Silence was captured."}});
}

TEST(ValidationPolicyTest, InvalidateKeepsTheFirstReasonAndLeavesFailuresAlone) {
    EXPECT_EQ(ValidationPolicy::invalidate(std::nullopt, "r"), std::nullopt);

    const auto once = ValidationPolicy::invalidate(passed(), "first");
    ASSERT_TRUE(once);
    EXPECT_EQ(once->invalidatedReason, "first");
    EXPECT_EQ(ValidationPolicy::invalidate(once, "second")->invalidatedReason, "first");

    ValidationRecord failed = passed();
    failed.outcome = ValidationRecord::Outcome::failed;
    EXPECT_EQ(ValidationPolicy::invalidate(failed, "r"), failed);
    EXPECT_EQ(ValidationPolicy::status(failed, current, {}),
              ValidationStatus{ValidationStatus::Failed{}});
    EXPECT_EQ(ValidationPolicy::status(std::nullopt, current, {}),
              ValidationStatus{ValidationStatus::Missing{}});
}

}  // namespace
}  // namespace sonvel
