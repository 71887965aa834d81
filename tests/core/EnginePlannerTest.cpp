#include <gtest/gtest.h>

#include "core/EnginePlanner.hpp"

namespace sonvel {
namespace {

using Action = EngineAction;
using Plan = std::vector<EngineAction>;

EngineSpec spec(std::string key, std::vector<AudioObjectID> processes = {1},
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
    const EngineSpec a = spec("a", {1}), b = spec("b", {2}), c = spec("c", {3}), d = spec("d", {4});
    const EngineSpec bMoved = spec("b", {2}, "headphones"), cLouder = spec("c", {3}, "dev", 0.9f);
    const EngineSpec dGrown = spec("d", {4, 5});
    const std::map<std::string, EnginePlanner::Running> engines{
        {"b", running(b, 0.5f)},      {"c", running(c, 0.5f)},
        {"d", running(d, 0.5f)},      {"e", running(spec("e"), 0.5f)},
        {"z", running(spec("z"), 1)}, {"Y", running(spec("Y"), 1)}};
    EXPECT_EQ(
        EnginePlanner::actions(engines, {cLouder, a, bMoved, dGrown, spec("e")}),
        (Plan{Action::Destroy{"Y"}, Action::Destroy{"z"}, Action::Create{a},
              Action::Rebuild{bMoved}, Action::Rebuild{dGrown}, Action::UpdateGain{"c", 0.9f}}));
}

TEST(EnginePlannerTest, ResetHandsOverEveryWantedEngine) {
    const EngineSpec a = spec("A"), b = spec("B"), c = spec("C");
    EXPECT_EQ(
        EnginePlanner::resetActions({"A", "B", "Z"}, {b, c, a}),
        (Plan{Action::Destroy{"Z"}, Action::Handover{b}, Action::Handover{a}, Action::Create{c}}));
    EXPECT_TRUE(EnginePlanner::resetActions({}, {}).empty());
}

}  // namespace
}  // namespace sonvel
