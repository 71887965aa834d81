// The settings window's General tab rules, without a window.

#include <gtest/gtest.h>

#include "Sonvel/views/SettingsState.hpp"

namespace sonvel {
namespace {

std::string clock(std::chrono::system_clock::time_point) {
    return "15:04:05";
}

TEST(SettingsStateTest, VolumeControlsAndResetTime) {
    SettingsInput input;
    auto state = SettingsView::general(input, clock);
    EXPECT_EQ(state.volumeControls, ControlGate(ControlGate::NeedsPermission{}).title());
    EXPECT_EQ(state.volumeControlsTone, Tone::warning);
    EXPECT_FALSE(state.audioReset);

    input.gate = ControlGate::Ready{};
    input.audioResetAt = std::chrono::system_clock::time_point{};
    state = SettingsView::general(input, clock);
    EXPECT_EQ(state.volumeControls, "Available");
    EXPECT_EQ(state.volumeControlsTone, Tone::positive);
    EXPECT_EQ(state.audioReset, "Sonvel audio was reset at 15:04:05");
}

TEST(SettingsStateTest, AnAvailableVersionOffersOnlyAWebPageToOpen) {
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
