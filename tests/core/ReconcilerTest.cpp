#include <gtest/gtest.h>

#include "core/EnginePlanner.hpp"
#include "core/EngineTopology.hpp"
#include "core/Reconciler.hpp"

namespace sonvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const OutputContext builtIn{3, "speakers-uid", "Speakers", std::nullopt};
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
    return {.groups = std::move(groups),
            .gate = ControlGate::Ready{},
            .output = builtIn,
            .outputs = {builtIn, headphones},
            .now = Clock::time_point{} + 1000s};
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
    input.failures.insert_or_assign("a", GroupStatus{GroupStatus::Failed{"broken", true}});

    // Gate closed beats no output, other device, unusable target, fallback, failure.
    input.gate = ControlGate::NeedsLiveValidation{};
    input.output.reset();
    EXPECT_EQ(statusOf(input), locked(ControlGate::NeedsLiveValidation{}));
    EXPECT_TRUE(Reconciler::reconcile(input).specs.empty());

    // No default output beats plays-elsewhere.
    input.gate = ControlGate::Ready{};
    EXPECT_EQ(statusOf(input),
              GroupStatus{GroupStatus::Unavailable{UnavailableReason::NoOutputDevice{}}});

    // Plays elsewhere (device 7, default is 3) beats the unusable default output.
    input.output = OutputContext{3, "speakers-uid", "Speakers", "Another app has it."};
    EXPECT_EQ(statusOf(input),
              GroupStatus{GroupStatus::Unavailable{UnavailableReason::PlaysToOtherDevice{}}});

    // An empty device set says nothing, so the route decides: the fallback
    // target (the unusable default output) beats the route-only fallback.
    input.groups[0].outputDeviceIDs.clear();
    EXPECT_EQ(statusOf(input), GroupStatus{GroupStatus::Unavailable{
                                   UnavailableReason::DeviceUnsupported{"Another app has it."}}});

    // A route alone that falls back beats the recorded failure.
    input.output = builtIn;
    const GroupStatus fallback =
        GroupStatus::RouteFallback{"Old DAC is not connected — using Default Output."};
    EXPECT_EQ(statusOf(input), fallback);

    // With a level set, the failure is shown unchanged and beats activity.
    input.preferences["a"] = AppPreference(0.5, false, "A", "gone-uid", "Old DAC");
    EXPECT_EQ(statusOf(input), (GroupStatus{GroupStatus::Failed{"broken", true}}));
    EXPECT_TRUE(Reconciler::reconcile(input).specs.empty());

    // Without the failure, the fallen-back route plays on the default output.
    input.failures.clear();
    EXPECT_EQ(
        Reconciler::reconcile(input),
        (ReconcileResult{{{"a", "a name", {{20}, "speakers-uid"}, 0.25f}}, {{"a", fallback}}}));
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

using Action = EngineAction;
using Plan = std::vector<EngineAction>;

EngineSpec want(std::string key, std::vector<AudioObjectID> processes = {1},
                std::string device = "dev", float gain = 0.5f) {
    return {key, key, {std::move(processes), std::move(device)}, gain};
}

// Stale engines go first (by key), then new and moved ones in the desired
// order, then gain changes; an unchanged engine needs nothing, and a changed
// device or process set is a rebuild, not a destroy and a create.
TEST(EnginePlannerTest, DestroysThenBuildsInDesiredOrderThenGains) {
    EXPECT_TRUE(EnginePlanner::actions({}, {}).empty());
    const auto a = want("a", {1}), b = want("b", {2}), c = want("c", {3}), d = want("d", {4});
    const auto bMoved = want("b", {2}, "headphones"), cLouder = want("c", {3}, "dev", 0.9f);
    const auto dGrown = want("d", {4, 5});
    const std::map<std::string, EnginePlanner::Running> engines{
        {"b", {b.topology, 0.5f}},      {"c", {c.topology, 0.5f}},
        {"d", {d.topology, 0.5f}},      {"e", {want("e").topology, 0.5f}},
        {"z", {want("z").topology, 1}}, {"Y", {want("Y").topology, 1}}};
    EXPECT_EQ(
        EnginePlanner::actions(engines, {cLouder, a, bMoved, dGrown, want("e")}),
        (Plan{Action::Destroy{"Y"}, Action::Destroy{"z"}, Action::Create{a},
              Action::Rebuild{bMoved}, Action::Rebuild{dGrown}, Action::UpdateGain{"c", 0.9f}}));
}

TEST(EnginePlannerTest, ResetHandsOverEveryWantedEngine) {
    const auto a = want("A"), b = want("B"), c = want("C");
    EXPECT_EQ(
        EnginePlanner::resetActions({"A", "B", "Z"}, {b, c, a}),
        (Plan{Action::Destroy{"Z"}, Action::Handover{b}, Action::Handover{a}, Action::Create{c}}));
    EXPECT_TRUE(EnginePlanner::resetActions({}, {}).empty());
}

}  // namespace
}  // namespace sonvel
