#include <gtest/gtest.h>

#include "core/ControlGate.hpp"
#include "core/ValidationPolicy.hpp"

namespace sonvel {
namespace {

ValidationRecord passed(std::string build = "24A335",
                        std::optional<std::int64_t> revision = std::nullopt) {
    ValidationRecord r;
    r.outcome = ValidationRecord::Outcome::passed;
    r.osBuild = std::move(build);
    r.engineRevision = revision;
    return r;
}

const ValidationPath current{"24A335", ValidationPath::currentEngineRevision};

ControlGate evaluate(PermissionState permission, std::optional<ValidationRecord> record,
                     bool paused = false, const ValidationPath& path = current) {
    return ControlGate::evaluate(permission, record, path, paused);
}

TEST(ControlGateTest, TitlesAndDetailsAreExact) {
    struct Case {
        ControlGate gate;
        const char* title;
        const char* detail;
    };
    const Case cases[] = {
        {ControlGate::Ready{}, "Ready", "Changes apply immediately."},
        {ControlGate::NeedsPermission{},
         "Volume controls unavailable \u2014 permission not verified",
         "Allow \u201CSystem Audio Recording Only\u201D for Sonvel and confirm it with sound "
         "playing."},
        {ControlGate::PermissionDenied{}, "Volume controls unavailable \u2014 no audio access",
         "Sonvel only received silence. Turn on Sonvel in System Settings \u203A Privacy & "
         "Security \u203A Screen & System Audio Recording \u203A System Audio Recording Only, "
         "then relaunch."},
        {ControlGate::NeedsLiveValidation{},
         "Volume controls unavailable \u2014 live audio test not done",
         "Run the 10-second live test once so you can confirm by ear that per-app volume really "
         "works on this Mac."},
        {ControlGate::ValidationFailed{},
         "Volume controls unavailable \u2014 live audio test failed",
         "You reported that the live test did not behave correctly. Per-app volume stays off. You "
         "can re-run the test."},
        {ControlGate::NeedsRevalidation{"Something changed."},
         "Volume controls unavailable \u2014 live audio test needs to be repeated",
         "Something changed. Run the 10-second live test again."},
        {ControlGate::Paused{}, "Sonvel is paused",
         "All apps play at their normal volume. Resume to apply your levels."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.gate.title(), c.title);
        EXPECT_EQ(c.gate.detail(), c.detail);
        EXPECT_EQ(c.gate.isReady(), c.gate.is<ControlGate::Ready>());
    }
}

TEST(ControlGateTest, PermissionComesBeforeValidationWhichComesBeforePause) {
    for (const PermissionState& p : {PermissionState{PermissionState::Unknown{}},
                                     PermissionState{PermissionState::Probing{true}},
                                     PermissionState{PermissionState::Failed{"x"}}}) {
        EXPECT_EQ(evaluate(p, passed(), true), ControlGate{ControlGate::NeedsPermission{}});
    }
    EXPECT_EQ(evaluate(PermissionState::LikelyDenied{}, passed(), true),
              ControlGate{ControlGate::PermissionDenied{}});

    const PermissionState verified = PermissionState::Verified{};
    EXPECT_EQ(evaluate(verified, std::nullopt, true),
              ControlGate{ControlGate::NeedsLiveValidation{}});
    ValidationRecord failed = passed();
    failed.outcome = ValidationRecord::Outcome::failed;
    failed.invalidatedReason = "ignored";
    EXPECT_EQ(evaluate(verified, failed, true), ControlGate{ControlGate::ValidationFailed{}});
    EXPECT_EQ(evaluate(verified, passed(), false), ControlGate{ControlGate::Ready{}});
    EXPECT_EQ(evaluate(verified, passed(), true), ControlGate{ControlGate::Paused{}});
}

TEST(ControlGateTest, StaleRecordsNeedRevalidationWithTheirReason) {
    const PermissionState verified = PermissionState::Verified{};
    const ValidationPath newBuild{"24B83", 1};
    const ControlGate gate = evaluate(verified, passed("24A335"), false, newBuild);
    EXPECT_EQ(
        gate,
        ControlGate{ControlGate::NeedsRevalidation{"macOS changed from build 24A335 to 24B83."}});
    EXPECT_EQ(gate.detail(),
              "macOS changed from build 24A335 to 24B83. Run the 10-second live test again.");

    for (std::int64_t revision : {0, 2}) {
        EXPECT_EQ(evaluate(verified, passed("24A335", revision), true),
                  ControlGate{ControlGate::NeedsRevalidation{
                      "Sonvel's audio engine changed since the last test."}});
    }
    EXPECT_EQ(evaluate(verified, passed("24A335", 1)), ControlGate{ControlGate::Ready{}});

    ValidationRecord invalidated = passed("24A335");
    invalidated.invalidatedReason = "Silence was captured.";
    EXPECT_EQ(evaluate(verified, invalidated, false, newBuild),
              ControlGate{ControlGate::NeedsRevalidation{"Silence was captured."}});
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
    EXPECT_EQ(ValidationPolicy::status(failed, current),
              ValidationStatus{ValidationStatus::Failed{}});
    EXPECT_EQ(ValidationPolicy::status(std::nullopt, current),
              ValidationStatus{ValidationStatus::Missing{}});
}

}  // namespace
}  // namespace sonvel
