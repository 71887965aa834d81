// The settings window's tabs without a window: the General tab's rules, and
// the Diagnostics tab's rows and their formatting.

#include <gtest/gtest.h>

#include <tuple>

#include "Sonvel/views/DiagnosticsState.hpp"
#include "Sonvel/views/SettingsState.hpp"

namespace sonvel {
namespace {

std::string clock(std::chrono::system_clock::time_point) {
    return "15:04:05";
}

TEST(SettingsStateTest, VolumeControlsAndResetTime) {
    SettingsInput input;
    const auto shown = [&] {
        const auto state = SettingsView::general(input, clock);
        return std::tuple(state.volumeControls, state.volumeControlsTone, state.audioReset);
    };
    EXPECT_EQ(shown(), std::tuple(ControlGate(ControlGate::NeedsPermission{}).title(),
                                  Tone::warning, std::optional<std::string>()));
    input.gate = ControlGate::Ready{};
    input.audioResetAt = std::chrono::system_clock::time_point{};
    EXPECT_EQ(shown(),
              std::tuple("Available", Tone::positive, "Sonvel audio was reset at 15:04:05"));
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

using Rows = std::vector<DiagnosticsRow>;
const PlatformWording macWording = PlatformWording::simulatedMacOS();

// The tap's rate has a fraction, which the page truncates rather than rounds.
GainTapSetupInfo setup48k() {
    return {.tapSampleRate = 44100.9,
            .tapChannels = 2,
            .sampleRate = 48000,
            .bufferFrames = 512,
            .outputLatencyFrames = 24,
            .outputSafetyOffsetFrames = 16,
            .inputLatencyFrames = 8,
            .inputSafetyOffsetFrames = 5};
}

TEST(DiagnosticsStateTest, SummaryRowsWithNoEngine) {
    DiagnosticsInput input;
    input.osBuild = "24B83";
    input.validation =
        ValidationRecord{ValidationRecord::Outcome::passed, "24A335", {}, "", "", {}, "", 1};
    input.permission = PermissionState::Probing{true};
    const DiagnosticsState state = DiagnosticsView::diagnostics(input, macWording);
    EXPECT_EQ(state.rows,
              (Rows{{"macOS build", "24B83"},
                    {"Validation path", "build 24B83, engine rev 1"},
                    {"Validation", "needsRevalidation(macOS changed from build 24A335 to 24B83.)"},
                    {"Output device", "none"},
                    {"Permission", "probing(nothingPlaying: true)"},
                    {"Active engines", "0"}}));
    EXPECT_TRUE(state.engines.empty());

    input.output = OutputContext{3, "spk", "Speakers", std::nullopt};
    input.silenceNotice = "Every app you turned down is silent.";
    const auto rows = DiagnosticsView::diagnostics(input, PlatformWording::linuxDesktop()).rows;
    EXPECT_EQ(rows.front().label, "Audio server");
    EXPECT_EQ(rows[3].value, "Speakers");
    EXPECT_EQ(rows.back(), (DiagnosticsRow{"Only silence", *input.silenceNotice}));
    EXPECT_EQ(DiagnosticsView::text(PermissionState::Failed{"no device"}), "failed(no device)");
}

TEST(DiagnosticsStateTest, EngineSectionsInKeyOrderWithTheirMeasurements) {
    DiagnosticsInput input;
    input.engines["com.zeta"] = EngineFacts{setup48k(), 3, 1};
    input.engines["com.alpha"] = EngineFacts{std::nullopt, 0, 0};  // setup not known yet
    GainTapSetupInfo noRate = setup48k();
    noRate.sampleRate = 0;
    noRate.deviceInputsDisabled = true;
    input.engines["com.mid"] = EngineFacts{noRate, 0, 0};

    const DiagnosticsState state = DiagnosticsView::diagnostics(input, macWording);
    EXPECT_EQ(state.rows[5], (DiagnosticsRow{"Active engines", "3"}));
    ASSERT_EQ(state.engines.size(), 3u);
    EXPECT_EQ(state.engines[0],
              (DiagnosticsSection{"com.alpha",
                                  {{"Processor overloads", "0"}, {"Received audio", "not yet"}}}));
    EXPECT_EQ(state.engines[1].title, "com.mid");
    EXPECT_EQ(state.engines[1].rows[0], (DiagnosticsRow{"Added latency (est.)", "0.0 ms"}));
    EXPECT_EQ(state.engines[1].rows[1], (DiagnosticsRow{"IO", "0 Hz, 512 frames"}));
    EXPECT_EQ(state.engines[1].rows[3], (DiagnosticsRow{"Device inputs disabled", "yes"}));
    // (512 + 24 + 16 + 8 + 5) frames at 48 kHz.
    EXPECT_EQ(state.engines[2], (DiagnosticsSection{"com.zeta",
                                                    {{"Added latency (est.)", "11.8 ms"},
                                                     {"IO", "48000 Hz, 512 frames"},
                                                     {"Tap", "44100 Hz, 2 ch"},
                                                     {"Device inputs disabled", "n/a"},
                                                     {"Processor overloads", "3"},
                                                     {"Received audio", "yes"}}}));
}

}  // namespace
}  // namespace sonvel
