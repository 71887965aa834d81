#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

#include "core/AppPreference.hpp"
#include "core/EngineAction.hpp"
#include "core/GainTaper.hpp"
#include "core/GroupStatus.hpp"
#include "core/PreferencesCodec.hpp"

namespace sonvel {
namespace {

// Wherever a position is read, stored, saved or turned into a gain, a value
// that is not a number is full level (it neither silences the application nor
// starts an engine) and infinities clamp like other values out of range.
TEST(PositionTest, EveryPlaceFollowsOneRule) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double raw;
        double sane;
        const char* percent;
    } cases[] = {{std::nan(""), 1.0, "100%"}, {inf, 1.0, "100%"}, {-inf, 0.0, "0%"},
                 {1.7, 1.0, "100%"},          {-0.2, 0.0, "0%"},  {0.5, 0.5, "50%"},
                 {1.0, 1.0, "100%"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        const bool full = c.sane >= 1.0;
        EXPECT_EQ(AppPreference(c.raw, false, "A").position, c.sane);

        AppPreference raw;  // as a document or a command may leave it
        raw.position = c.raw;
        EXPECT_EQ(raw.isDefault(), full);
        EXPECT_EQ(raw.isFullLevel(), full);
        EXPECT_EQ(raw.gain(), static_cast<float>(c.sane * c.sane));
        EXPECT_EQ(GainTaper::gain(c.raw), raw.gain());
        EXPECT_EQ(GainTaper::position(static_cast<float>(c.raw)), std::sqrt(c.sane));
        EXPECT_EQ(GainTaper::percentText(c.raw), c.percent);

        Preferences set;
        set.set(raw, "k");
        Preferences direct;  // bypassing `set`, as a stale record might
        direct.apps["k"] = raw;
        for (const Preferences& p :
             {set, PreferencesCodec::decode(PreferencesCodec::encode(direct)).preferences}) {
            EXPECT_EQ(p.apps.contains("k"), !full);
            if (!full) {
                EXPECT_EQ(p.apps.at("k").position, c.sane);
            }
        }
    }
}

TEST(AppPreferenceTest, MuteAndRouteChangeSomethingEvenAtFullLevel) {
    const AppPreference muted(1.0, true, "A");
    EXPECT_FALSE(muted.isDefault());
    EXPECT_FALSE(muted.isFullLevel());
    EXPECT_EQ(muted.gain(), 0.0f);
    const AppPreference routed(1.0, false, "A", "uid", "Speakers");
    EXPECT_FALSE(routed.isDefault());
    EXPECT_TRUE(routed.isFullLevel());
    EXPECT_EQ(routed.outputDeviceName, "Speakers");
    // A device name without a device identifies nothing.
    EXPECT_FALSE(AppPreference(0.5, false, "A", std::nullopt, "Speakers").outputDeviceName);
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
