#include <gtest/gtest.h>

#include "core/Reconciler.hpp"

namespace sonvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const OutputContext speakers{3, "speakers-uid", "Speakers", std::nullopt};
const OutputContext headphones{9, "headphones-uid", "Headphones", std::nullopt};

AppGroup group(std::string key, bool playing = true, std::vector<AudioObjectID> processes = {20},
               std::set<AudioObjectID> devices = {}) {
    return {.key = key,
            .displayName = key + " name",
            .processObjectIDs = std::move(processes),
            .isRunningOutput = playing,
            .outputDeviceIDs = std::move(devices)};
}

ReconcileInput readyInput(std::vector<AppGroup> groups) {
    ReconcileInput input;
    input.groups = std::move(groups);
    input.gate = ControlGate::Ready{};
    input.output = speakers;
    input.outputs = {speakers, headphones};
    input.now = Clock::time_point{} + 1000s;
    return input;
}

GroupStatus locked(ControlGate gate) {
    return GroupStatus::Unavailable{UnavailableReason::ControlsLocked{std::move(gate)}};
}

GroupStatus statusOf(const ReconcileInput& input, const std::string& key = "a") {
    return Reconciler::reconcile(input).statuses.at(key);
}

// One pass over groups of every simple kind, compared as a whole: engines follow
// the group order, processes ascend, the gain is the squared position, and
// every group gets a status.
TEST(ReconcilerTest, EachKindOfGroupInOnePass) {
    ReconcileInput input = readyInput({group("half", true, {42, 7, 19}), group("none"),
                                       group("full"), group("muted"), group("routed")});
    input.failures.insert_or_assign("none", GroupStatus{GroupStatus::Failed{"x", true}});
    input.preferences["half"] = AppPreference(0.5, false, "H");
    input.preferences["full"] = AppPreference(1.0, false, "F");  // default: same as none
    input.preferences["muted"] = AppPreference(1.0, true, "M");
    input.preferences["routed"] = AppPreference(1.0, false, "R", "headphones-uid", "Headphones");
    const GroupStatus active = GroupStatus::Active{}, untouched = GroupStatus::Untouched{};
    EXPECT_EQ(Reconciler::reconcile(input),
              (ReconcileResult{{{"half", "half name", {{7, 19, 42}, "speakers-uid"}, 0.25f},
                                {"muted", "muted name", {{20}, "speakers-uid"}, 0.0f},
                                {"routed", "routed name", {{20}, "headphones-uid"}, 1.0f}},
                               {{"half", active},
                                {"none", untouched},
                                {"full", untouched},
                                {"muted", active},
                                {"routed", active}}}));

    input.gate = ControlGate::Paused{};  // locks even the groups left alone
    EXPECT_EQ(statusOf(input, "none"), locked(ControlGate::Paused{}));
    EXPECT_EQ(Reconciler::reconcile(readyInput({})), ReconcileResult{});
}

// Each step decides the group before the later steps are reached: every case
// below also satisfies the conditions of the steps after it.
TEST(ReconcilerTest, DecisionOrder) {
    ReconcileInput input = readyInput({group("a", true, {20}, {7})});
    input.preferences["a"] = AppPreference(1.0, false, "A", "gone-uid", "Old DAC");
    input.output = OutputContext{3, "speakers-uid", "Speakers", "Another app has it."};
    input.failures.insert_or_assign("a", GroupStatus{GroupStatus::Failed{"broken", true}});

    // Gate closed beats no output, other device, unusable target, fallback, failure.
    input.gate = ControlGate::NeedsLiveValidation{};
    std::optional<OutputContext> savedOutput = input.output;
    input.output.reset();
    EXPECT_EQ(statusOf(input), locked(ControlGate::NeedsLiveValidation{}));
    EXPECT_TRUE(Reconciler::reconcile(input).specs.empty());

    // No default output beats plays-elsewhere.
    input.gate = ControlGate::Ready{};
    EXPECT_EQ(statusOf(input),
              GroupStatus{GroupStatus::Unavailable{UnavailableReason::NoOutputDevice{}}});

    // Plays elsewhere (device 7, default is 3) beats the unusable default output.
    input.output = savedOutput;
    EXPECT_EQ(statusOf(input),
              GroupStatus{GroupStatus::Unavailable{UnavailableReason::PlaysToOtherDevice{}}});

    // An empty device set says nothing, so the route decides: the fallback
    // target (the unusable default output) beats the route-only fallback.
    input.groups[0].outputDeviceIDs.clear();
    EXPECT_EQ(statusOf(input), GroupStatus{GroupStatus::Unavailable{
                                   UnavailableReason::DeviceUnsupported{"Another app has it."}}});

    // A route alone that falls back beats the recorded failure.
    input.output = speakers;
    EXPECT_EQ(statusOf(input), GroupStatus{GroupStatus::RouteFallback{
                                   "Old DAC is not connected — using Default Output."}});

    // With a level set, the failure is shown unchanged and beats activity.
    input.preferences["a"] = AppPreference(0.5, false, "A", "gone-uid", "Old DAC");
    EXPECT_EQ(statusOf(input), (GroupStatus{GroupStatus::Failed{"broken", true}}));
    EXPECT_TRUE(Reconciler::reconcile(input).specs.empty());

    // Without the failure, the fallen-back route plays on the default output.
    input.failures.clear();
    const ReconcileResult result = Reconciler::reconcile(input);
    ASSERT_EQ(result.specs.size(), 1u);
    EXPECT_EQ(result.specs[0].topology.deviceUID, "speakers-uid");
    EXPECT_EQ(result.statuses.at("a"), GroupStatus{GroupStatus::RouteFallback{
                                           "Old DAC is not connected — using Default Output."}});
}

TEST(ReconcilerTest, IdleGraceIsStrict) {
    ReconcileInput input = readyInput({group("a", false)});
    input.preferences["a"] = AppPreference(0.5, false, "A");
    EXPECT_EQ(statusOf(input), GroupStatus{GroupStatus::Idle{}});  // never seen active

    input.lastActive["a"] = input.now - 29900ms;
    EXPECT_EQ(Reconciler::reconcile(input).specs.size(), 1u);
    input.lastActive["a"] = input.now - 30s;
    EXPECT_EQ(statusOf(input), GroupStatus{GroupStatus::Idle{}});
    EXPECT_TRUE(Reconciler::reconcile(input).specs.empty());
}

}  // namespace
}  // namespace sonvel
