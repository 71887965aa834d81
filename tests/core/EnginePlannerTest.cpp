#include <gtest/gtest.h>

#include "core/EnginePlanner.hpp"

namespace sonvel {
namespace {

using Action = EngineAction;
using Plan = std::vector<EngineAction>;

EngineSpec want(std::string key, std::vector<AudioObjectID> processes = {1},
                std::string device = "dev", float gain = 0.5f) {
    return {key, key, {std::move(processes), std::move(device)}, gain};
}

EnginePlanner::Running running(const EngineSpec& s, float gain) {
    return {s.topology, gain};
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
        {"b", running(b, 0.5f)},      {"c", running(c, 0.5f)},
        {"d", running(d, 0.5f)},      {"e", running(want("e"), 0.5f)},
        {"z", running(want("z"), 1)}, {"Y", running(want("Y"), 1)}};
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
