// The settings window's General tab rules, without a window.

#include <gtest/gtest.h>

#include "Sonvel/SettingsState.hpp"

namespace sonvel {
namespace {

std::string clock(std::chrono::system_clock::time_point) {
    return "15:04:05";
}

TEST(SettingsStateTest, VolumeControlsLaunchErrorAndResetTime) {
    SettingsInput input;
    input.launchAtLoginError = "The autostart folder is read-only.";
    auto state = SettingsView::general(input, clock);
    EXPECT_EQ(state.volumeControls, ControlGate(ControlGate::NeedsPermission{}).title());
    EXPECT_EQ(state.volumeControlsTone, Tone::warning);
    EXPECT_EQ(state.launchAtLoginError, input.launchAtLoginError);
    EXPECT_FALSE(state.audioReset);

    input.gate = ControlGate::Ready{};
    input.audioResetAt = std::chrono::system_clock::time_point{};
    state = SettingsView::general(input, clock);
    EXPECT_EQ(state.volumeControls, "Available");
    EXPECT_EQ(state.volumeControlsTone, Tone::positive);
    EXPECT_EQ(state.audioReset, "Sonvel audio was reset at 15:04:05");
}

TEST(SettingsStateTest, UpdateButtonAndLineFollowTheChecker) {
    struct Case {
        bool configured;
        bool checking;
        bool checkedBefore;
        bool enabled;
        std::optional<std::string> line;
    };
    const Case cases[] = {
        {false, false, false, false, std::nullopt},
        {true, false, false, true, std::nullopt},
        {true, true, true, false, "Checking for updates…"},
        {true, false, true, true, "Sonvel is up to date: version 0.1.0 is the newest."},
    };
    for (const Case& c : cases) {
        SettingsInput input;
        input.updates.configured = c.configured;
        input.updates.checking = c.checking;
        if (c.checkedBefore) input.updates.last = UpdateOutcome::UpToDate{"0.1.0"};
        const auto state = SettingsView::general(input, clock);
        EXPECT_EQ(state.checkForUpdatesEnabled, c.enabled);
        EXPECT_EQ(state.update ? std::optional(state.update->text) : std::nullopt, c.line);
        EXPECT_EQ(state.checkForUpdatesTooltip.empty(), c.configured);
    }

    AppcastItem item{"Sonvel 0.2",    "20",
                     "0.2",           "https://example.org/notes",
                     std::nullopt,    "file:///etc/passwd",
                     "<p>Faster.</p>"};
    auto line = SettingsView::updateLine({true, false, UpdateOutcome::Available{item, "0.1.0"}});
    EXPECT_EQ(line->text, "Version 0.2 of Sonvel is available. You have version 0.1.0.");
    EXPECT_FALSE(line->downloadPage);  // a link that is no web page is never offered
    item.enclosureURL = "https://example.org/sonvel-0.2.tar.gz";
    line = SettingsView::updateLine({true, false, UpdateOutcome::Available{item, "0.1.0"}});
    EXPECT_EQ(line->downloadPage, item.enclosureURL);
    EXPECT_EQ(line->releaseNotesURL, item.releaseNotesURL);
    EXPECT_EQ(line->notes, "<p>Faster.</p>");
}

}  // namespace
}  // namespace sonvel
