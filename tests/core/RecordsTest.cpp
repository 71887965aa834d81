#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

#include "core/AppPreference.hpp"
#include "core/EngineAction.hpp"
#include "core/GroupStatus.hpp"

namespace sonvel {
namespace {

TEST(AppPreferenceTest, ConstructionClampsPositionAndDropsNameWithoutDevice) {
    EXPECT_EQ(AppPreference(1.7, false, "A").position, 1.0);
    EXPECT_EQ(AppPreference(-0.2, false, "A").position, 0.0);
    EXPECT_EQ(AppPreference(0.4, false, "A").position, 0.4);
    EXPECT_EQ(AppPreference(std::numeric_limits<double>::infinity(), false, "A").position, 1.0);
    EXPECT_EQ(AppPreference(-std::numeric_limits<double>::infinity(), false, "A").position, 0.0);
    // A corrupt position leaves the application at its normal level.
    EXPECT_EQ(AppPreference(std::nan(""), false, "A").position, 1.0);

    const AppPreference nameOnly(0.5, false, "A", std::nullopt, "Speakers");
    EXPECT_FALSE(nameOnly.outputDeviceName);
    const AppPreference routed(0.5, false, "A", "uid-1", "Speakers");
    EXPECT_EQ(routed.outputDeviceName, "Speakers");
}

TEST(AppPreferenceTest, DefaultFullLevelAndGain) {
    AppPreference p(1.0, false, "A");
    EXPECT_TRUE(p.isDefault());
    EXPECT_TRUE(p.isFullLevel());
    EXPECT_EQ(p.gain(), 1.0f);

    p.muted = true;
    EXPECT_FALSE(p.isDefault());
    EXPECT_FALSE(p.isFullLevel());
    EXPECT_EQ(p.gain(), 0.0f);

    // Stored documents are read unclamped: 1.3 still means "unchanged".
    AppPreference high;
    high.position = 1.3;
    EXPECT_TRUE(high.isDefault());
    EXPECT_EQ(high.gain(), 1.0f);
    high.position = 0.99;
    EXPECT_FALSE(high.isDefault());

    AppPreference routed(1.0, false, "A", "uid", std::nullopt);
    EXPECT_FALSE(routed.isDefault());
    EXPECT_TRUE(routed.isFullLevel());

    EXPECT_EQ(AppPreference(0.5, false, "A").gain(), 0.25f);
    AppPreference negative;
    negative.position = -3.0;
    EXPECT_EQ(negative.gain(), 0.0f);
    AppPreference corrupt;
    corrupt.position = std::nan("");
    EXPECT_EQ(corrupt.gain(), 1.0f);
}

TEST(RecordsTest, TopologyComparesInOrderAndHashesLikeEquality) {
    const EngineTopology a{{3, 5}, "dev"};
    const EngineTopology b{{5, 3}, "dev"};
    const EngineTopology c{{3, 5}, "dev"};
    EXPECT_NE(a, b);
    EXPECT_EQ(a, c);
    EXPECT_EQ(std::hash<EngineTopology>{}(a), std::hash<EngineTopology>{}(c));

    // Order, every ID and the device all feed the hash.
    const std::hash<EngineTopology> hash;
    std::unordered_set<std::size_t> hashes{hash(a), hash(b), hash({{3}, "dev"}),
                                           hash({{3, 5}, "dev2"}), hash({{}, "dev"})};
    EXPECT_EQ(hashes.size(), 5u);
}

TEST(RecordsTest, EnumerationsCompareByCaseAndPayload) {
    const GroupStatus retrying = GroupStatus::Failed{"boom", true};
    const GroupStatus final = GroupStatus::Failed{"boom", false};
    EXPECT_NE(retrying, final);
    EXPECT_EQ(retrying, (GroupStatus::Failed{"boom", true}));

    const GroupStatus lockedPaused =
        GroupStatus::Unavailable{UnavailableReason::ControlsLocked{ControlGate::Paused{}}};
    const GroupStatus lockedPermission =
        GroupStatus::Unavailable{UnavailableReason::ControlsLocked{ControlGate::NeedsPermission{}}};
    EXPECT_NE(lockedPaused, lockedPermission);
    EXPECT_EQ(lockedPaused, GroupStatus{GroupStatus::Unavailable{
                                UnavailableReason::ControlsLocked{ControlGate::Paused{}}}});
    EXPECT_NE(GroupStatus{GroupStatus::Active{}}, GroupStatus{GroupStatus::Idle{}});

    const EngineAction half = EngineAction::UpdateGain{"k", 0.5f};
    const EngineAction quarter = EngineAction::UpdateGain{"k", 0.25f};
    EXPECT_EQ(half, (EngineAction{EngineAction::UpdateGain{"k", 0.5f}}));
    EXPECT_NE(half, quarter);
    const EngineSpec spec{"k", "K", {{1}, "d"}, 1.0f};
    EXPECT_NE(EngineAction{EngineAction::Create{spec}}, EngineAction{EngineAction::Rebuild{spec}});
}

}  // namespace
}  // namespace sonvel
