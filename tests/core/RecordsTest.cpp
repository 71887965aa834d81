#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <unordered_set>

#include "core/AppPreference.hpp"
#include "core/EngineTopology.hpp"
#include "core/GainTaper.hpp"
#include "core/PreferencesCodec.hpp"

namespace sonvel {
namespace {

// Wherever a position is read, stored, saved or turned into a gain, a value
// that is not a number is full level (it neither silences the application nor
// starts an engine) and infinities clamp like other values out of range.
TEST(PositionTest, EveryPlaceFollowsOneRule) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::tuple<double, double, const char*> cases[] = {
        {std::nan(""), 1.0, "100%"}, {inf, 1.0, "100%"}, {-inf, 0.0, "0%"}, {1.7, 1.0, "100%"},
        {-0.2, 0.0, "0%"},           {0.5, 0.5, "50%"},  {1.0, 1.0, "100%"}};
    for (const auto& [given, sane, percent] : cases) {
        SCOPED_TRACE(given);
        const bool full = sane >= 1.0;
        EXPECT_EQ(AppPreference(given, false, "A").position, sane);

        AppPreference raw;  // as a document or a command may leave it
        raw.position = given;
        EXPECT_EQ(raw.isDefault(), full);
        EXPECT_EQ(raw.isFullLevel(), full);
        EXPECT_EQ(raw.gain(), static_cast<float>(sane * sane));
        EXPECT_EQ(GainTaper::gain(given), raw.gain());
        EXPECT_EQ(GainTaper::position(static_cast<float>(given)), std::sqrt(sane));
        EXPECT_EQ(GainTaper::percentText(given), percent);

        Preferences set;
        set.set(raw, "k");
        Preferences direct;  // bypassing `set`, as a stale record might
        direct.apps["k"] = raw;
        for (const Preferences& p :
             {set, PreferencesCodec::decode(PreferencesCodec::encode(direct)).preferences}) {
            EXPECT_EQ(p.apps.contains("k"), !full);
            if (!full) {
                EXPECT_EQ(p.apps.at("k").position, sane);
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

// Order, every ID and the device all feed the hash; equal topologies hash alike.
TEST(RecordsTest, TopologyHashFollowsOrderEveryIDAndTheDevice) {
    const std::hash<EngineTopology> hash;
    EXPECT_EQ(hash({{3, 5}, "dev"}), hash({{3, 5}, "dev"}));
    const std::unordered_set<std::size_t> hashes{hash({{3, 5}, "dev"}), hash({{5, 3}, "dev"}),
                                                 hash({{3}, "dev"}), hash({{3, 5}, "dev2"}),
                                                 hash({{}, "dev"})};
    EXPECT_EQ(hashes.size(), 5u);
}

}  // namespace
}  // namespace sonvel
