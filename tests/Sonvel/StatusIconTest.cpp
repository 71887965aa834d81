// The tray's tooltip over the model's state, and the ink chosen against a
// tray's background, without a display.

#include <gtest/gtest.h>

#include <tuple>

#include "Sonvel/views/StatusIcon.hpp"

namespace sonvel {
namespace {

using Status = GroupStatus;

TEST(StatusIconTest, TooltipCountsTheApplicationsSonvelHoldsBelowFullLevel) {
    Preferences lowered;
    lowered.set(AppPreference(0.5, false, "Music"), "music");  // playing, held
    lowered.set(AppPreference(1.0, true, "Slack"), "slack");   // muted, silent for now
    lowered.set(AppPreference(1.0, false, "Safari", "airpods", "AirPods"),
                "safari");                                       // routed only
    lowered.set(AppPreference(0.3, false, "Zoom"), "zoom");      // its engine failed
    lowered.set(AppPreference(0.2, false, "Chrome"), "chrome");  // plays to another device
    lowered.set(AppPreference(0.1, false, "Mail"), "mail");      // not running
    std::vector<AppGroup> groups;
    for (const char* key : {"music", "slack", "safari", "zoom", "chrome"})
        groups.push_back(AppGroup{.key = key});
    const std::map<std::string, GroupStatus> statuses{
        {"music", Status::Active{}},
        {"slack", Status::Idle{}},
        {"safari", Status::Active{}},
        {"zoom", Status::Failed{"no tap", true}},
        {"chrome", Status::Unavailable{UnavailableReason::PlaysToOtherDevice{}}}};
    Preferences paused = lowered;
    paused.isPaused = true;
    Preferences one;
    one.set(AppPreference(0.99, false, "Music"), "music");

    const std::tuple<Preferences, ControlGate, std::string> cases[] = {
        {{}, ControlGate::Ready{}, "Sonvel"},
        {lowered, ControlGate::Ready{}, "Sonvel — 2 applications turned down"},
        {one, ControlGate::Ready{}, "Sonvel — 1 application turned down"},
        {paused, ControlGate::Ready{}, "Sonvel — Paused"},
        {paused, ControlGate::NeedsPermission{}, "Sonvel — Paused"},
        {lowered, ControlGate::NeedsPermission{}, "Sonvel — Setup needed"},
    };
    for (const auto& [preferences, gate, expected] : cases) {
        const auto variant = StatusIcon::variant(preferences, gate);
        EXPECT_EQ(
            StatusIcon::tooltip(variant, StatusIcon::turnedDown(preferences, groups, statuses)),
            expected);
    }
    // What assistive technology reads, whatever is turned down: paused over a
    // closed gate, locked, and their tooltips are ShellTest's, on the tray.
    EXPECT_EQ(StatusIcon::accessibleDescription(StatusIcon::Variant::active), "Sonvel");
}

TEST(StatusIconTest, InkIsWhicheverOfBlackAndWhiteContrastsMore) {
    const std::tuple<int, int, int, StatusIcon::Ink> cases[] = {
        {0, 0, 0, StatusIcon::Ink::white},
        {0x2e, 0x34, 0x36, StatusIcon::Ink::white},  // a dark panel
        {0x80, 0x80, 0x80, StatusIcon::Ink::black},  // mid grey: 5.3 against 3.9
        {0x3d, 0x5a, 0xfe, StatusIcon::Ink::white},  // saturated blue reads dark
        {0xff, 0xff, 0x00, StatusIcon::Ink::black},
        {0xff, 0xff, 0xff, StatusIcon::Ink::black},
    };
    for (const auto& [r, g, b, ink] : cases)
        EXPECT_EQ(StatusIcon::inkAgainst(r, g, b), ink) << r << "," << g << "," << b;
    EXPECT_NEAR(StatusIcon::contrastRatio(StatusIcon::relativeLuminance(0, 0, 0),
                                          StatusIcon::relativeLuminance(255, 255, 255)),
                21.0, 1e-9);
}

}  // namespace
}  // namespace sonvel
