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
    AppGroup g;
    g.key = key;
    g.displayName = key + " name";
    g.processObjectIDs = std::move(processes);
    g.isRunningOutput = playing;
    g.outputDeviceIDs = std::move(devices);
    return g;
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

TEST(ReconcilerTest, EmptyInputGivesNothing) {
    EXPECT_EQ(Reconciler::reconcile(readyInput({})), ReconcileResult{});
}

TEST(ReconcilerTest, GroupWithoutPreferenceIsNeverTouched) {
    ReconcileInput input = readyInput({group("a")});
    input.failures.insert_or_assign("a", GroupStatus{GroupStatus::Failed{"x", true}});
    input.lastActive["a"] = input.now;
    ReconcileResult result = Reconciler::reconcile(input);
    EXPECT_TRUE(result.specs.empty());
    EXPECT_EQ(result.statuses.at("a"), GroupStatus{GroupStatus::Untouched{}});

    input.preferences["a"] = AppPreference(1.0, false, "A");  // default: same as none
    EXPECT_EQ(statusOf(input), GroupStatus{GroupStatus::Untouched{}});

    input.gate = ControlGate::Paused{};
    EXPECT_EQ(statusOf(input), locked(ControlGate::Paused{}));
}

TEST(ReconcilerTest, ActiveGroupGetsOneSpecWithSortedProcessesAndSquaredGain) {
    ReconcileInput input = readyInput({group("a", true, {42, 7, 19})});
    input.preferences["a"] = AppPreference(0.5, false, "A");
    const ReconcileResult result = Reconciler::reconcile(input);
    ASSERT_EQ(result.specs.size(), 1u);
    EXPECT_EQ(result.specs[0], (EngineSpec{"a", "a name", {{7, 19, 42}, "speakers-uid"}, 0.25f}));
    EXPECT_EQ(result.statuses.at("a"), GroupStatus{GroupStatus::Active{}});

    input.preferences["a"] = AppPreference(1.0, true, "A");  // muted at full level
    const ReconcileResult muted = Reconciler::reconcile(input);
    ASSERT_EQ(muted.specs.size(), 1u);
    EXPECT_EQ(muted.specs[0].gain, 0.0f);
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

TEST(ReconcilerTest, ClosedGateLocksEveryGroupAndRunsNothing) {
    ReconcileInput input = readyInput({group("a"), group("b")});
    input.preferences["a"] = AppPreference(0.3, false, "A");
    input.gate = ControlGate::NeedsRevalidation{"Why."};
    const ReconcileResult result = Reconciler::reconcile(input);
    EXPECT_TRUE(result.specs.empty());
    EXPECT_EQ(result.statuses.at("a"), locked(ControlGate::NeedsRevalidation{"Why."}));
    EXPECT_EQ(result.statuses.at("b"), locked(ControlGate::NeedsRevalidation{"Why."}));
}

TEST(ReconcilerTest, RoutesToAUsableDeviceEvenAtFullLevel) {
    ReconcileInput input = readyInput({group("a")});
    input.preferences["a"] = AppPreference(1.0, false, "A", "headphones-uid", "Headphones");
    const ReconcileResult result = Reconciler::reconcile(input);
    ASSERT_EQ(result.specs.size(), 1u);
    EXPECT_EQ(result.specs[0].topology.deviceUID, "headphones-uid");
    EXPECT_EQ(result.specs[0].gain, 1.0f);
    EXPECT_EQ(result.statuses.at("a"), GroupStatus{GroupStatus::Active{}});
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

TEST(ReconcilerTest, SpecsFollowGroupOrderAndEveryGroupHasAStatus) {
    ReconcileInput input = readyInput({group("c"), group("a"), group("b")});
    input.preferences["c"] = AppPreference(0.1, false, "C");
    input.preferences["b"] = AppPreference(0.2, false, "B");
    const ReconcileResult result = Reconciler::reconcile(input);
    ASSERT_EQ(result.specs.size(), 2u);
    EXPECT_EQ(result.specs[0].key, "c");
    EXPECT_EQ(result.specs[1].key, "b");
    EXPECT_EQ(result.statuses.size(), 3u);
    EXPECT_EQ(Reconciler::reconcile(input), result);
}

}  // namespace
}  // namespace sonvel
