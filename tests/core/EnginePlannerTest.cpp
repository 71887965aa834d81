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

TEST(EnginePlannerTest, EmptyAndAllStale) {
    EXPECT_TRUE(EnginePlanner::actions({}, {}).empty());
    const std::map<std::string, EnginePlanner::Running> engines{
        {"zeta", running(spec("zeta"), 1)},
        {"alpha", running(spec("alpha"), 1)},
        {"Mid", running(spec("Mid"), 1)}};
    EXPECT_EQ(EnginePlanner::actions(engines, {}),
              (Plan{Action::Destroy{"Mid"}, Action::Destroy{"alpha"}, Action::Destroy{"zeta"}}));
}

TEST(EnginePlannerTest, UnchangedEngineNeedsNothingAndGainChangesInPlace) {
    const EngineSpec a = spec("a", {1, 2}, "dev", 0.25f);
    EXPECT_TRUE(EnginePlanner::actions({{"a", running(a, 0.25f)}}, {a}).empty());

    EngineSpec louder = a;
    louder.gain = 0.5f;
    EXPECT_EQ(EnginePlanner::actions({{"a", running(a, 0.25f)}}, {louder}),
              (Plan{Action::UpdateGain{"a", 0.5f}}));
}

TEST(EnginePlannerTest, TopologyChangeRebuildsRatherThanDestroyAndCreate) {
    const EngineSpec before = spec("a", {1, 2}, "dev");
    for (const EngineSpec& after : {spec("a", {1, 2}, "other"), spec("a", {1, 2, 3}, "dev")}) {
        EXPECT_EQ(EnginePlanner::actions({{"a", running(before, 0.5f)}}, {after}),
                  (Plan{Action::Rebuild{after}}));
    }
}

TEST(EnginePlannerTest, DestroysThenBuildsInDesiredOrderThenGains) {
    const EngineSpec c = spec("c", {3});
    const EngineSpec b = spec("b", {2});
    const EngineSpec a = spec("a", {1});
    const EngineSpec bMoved = spec("b", {2}, "headphones");
    const EngineSpec cLouder = spec("c", {3}, "dev", 0.9f);
    const std::map<std::string, EnginePlanner::Running> engines{{"b", running(b, 0.5f)},
                                                                {"c", running(c, 0.5f)},
                                                                {"z", running(spec("z"), 1)},
                                                                {"y", running(spec("y"), 1)}};
    // Gain change first in desired order, then a create and a rebuild.
    EXPECT_EQ(EnginePlanner::actions(engines, {cLouder, a, bMoved}),
              (Plan{Action::Destroy{"y"}, Action::Destroy{"z"}, Action::Create{a},
                    Action::Rebuild{bMoved}, Action::UpdateGain{"c", 0.9f}}));
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
