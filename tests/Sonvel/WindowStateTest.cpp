// The setup and settings windows' rules, without a window: the setup's state
// line, buttons, record summary and live-test views; the settings' General
// tab and the Diagnostics tab's rows and their formatting.

#include <gtest/gtest.h>

#include <tuple>

#include "Sonvel/views/DiagnosticsState.hpp"
#include "Sonvel/views/SettingsState.hpp"
#include "Sonvel/views/SetupState.hpp"
#include "Sonvel/views/Symbols.hpp"
#include "core/LiveTest.hpp"
#include "core/ValidationPolicy.hpp"

namespace sonvel {
namespace {

using Line = AccessStepState::Line;
using Outcome = ValidationRecord::Outcome;
const PlatformWording mac = PlatformWording::simulatedMacOS();
const PlatformWording linux = PlatformWording::linuxDesktop();
const std::string build = "24A335";

const TimeFormat isoDate = [](auto) { return std::string("6 Dec 2025, 15:04"); };

const auto render = [](const SetupInput& in) { return SetupView::setup(in, {}, isoDate, mac); };

IdleTestState idle(const SetupInput& input, std::optional<std::string> selected = std::nullopt) {
    return std::get<IdleTestState>(SetupView::setup(input, selected, isoDate, mac).liveTest);
}

// The gate's own sentences, as every view that shows the gate reads them.
std::string detail(ControlGate gate, const PlatformWording& words) {
    gate.words = words.gate;
    return gate.detail();
}

// Access verified, the live test not yet run, these applications (key, name) playing.
SetupInput verifiedWith(const std::vector<std::pair<std::string, std::string>>& playing) {
    SetupInput input{.gate = ControlGate::NeedsLiveValidation{},
                     .permission = PermissionState::Verified{},
                     .output = OutputContext{7, "spk", "Speakers", std::nullopt},
                     .osBuild = build};
    for (const auto& [key, name] : playing)
        input.candidates.push_back({.key = key, .displayName = name, .isRunningOutput = true});
    return input;
}

// Unknown permission shows the steps and blocks the live test.
TEST(SetupStateTest, StateLineMessageInstructionsAndCheckAccessByPermission) {
    SetupInput input = verifiedWith({{"com.apple.Music", "Music"}});
    input.permission = PermissionState::Unknown{};
    const SetupState state = render(input);
    EXPECT_EQ(
        state.access.lineText,
        "1. Start playing any sound.  2. Click Check Access.  3. If macOS asks, click Allow.");
    const auto& idle = std::get<IdleTestState>(state.liveTest);
    // No selection, so no start button.
    EXPECT_EQ(std::tuple(idle.blocked, idle.choices.empty(), idle.selection),
              std::tuple("Complete step 1 first.", true, std::nullopt));
    EXPECT_EQ(state.accessHeader, (StepHeaderState{"Step 1: Audio access", false, "circle"}));

    // Check Access is off while the check listens and while a live test runs.
    const std::string silence = "Only silence was received while an app was playing.";
    // The permission and message; the state line, its tone and symbol; whether the
    // instructions show and Check Access is on.
    using P = PermissionState;
    using enum Tone;
    using Row = std::tuple<P, std::optional<std::string>, Line, Tone, std::string_view, bool, bool>;
    const Row cases[] = {
        {P::LikelyDenied{}, {}, Line::label, warning, Symbols::warning, true, true},
        {P::Verified{}, {}, Line::label, positive, Symbols::accessConfirmed, false, true},
        {P::Probing{true}, {}, Line::progress, primary, "", false, false},
        {P::Failed{"boom"}, "The access check could not start: boom", Line::instructions, primary,
         "", true, true},
        {P::Unknown{}, silence, Line::instructions, primary, "", true, true},
        {P::Unknown{}, {}, Line::instructions, primary, "", false, true},
    };
    for (const auto& [permission, message, line, tone, symbol, instructions, access] : cases) {
        const AccessStepState s = SetupView::accessStep(permission, message, false, mac);
        EXPECT_EQ(std::tuple(s.line, s.lineTone, std::string_view(s.lineSymbol), s.message,
                             s.instructions.has_value(), s.checkAccessEnabled),
                  std::tuple(line, tone, symbol, message, instructions, access))
            << s.lineText;
    }
    EXPECT_FALSE(SetupView::accessStep(P::Verified{}, {}, true, mac).checkAccessEnabled);
    EXPECT_EQ(SetupView::accessStep(P::LikelyDenied{}, {}, false, mac).lineText,
              "Sonvel only heard silence.");
    EXPECT_NE(SetupView::accessStep(P::Probing{true}, {}, false, mac).lineText,
              SetupView::accessStep(P::Probing{false}, {}, false, mac).lineText);
}

// With candidates the picker shows the one Start would test; without, a hint
// names the default output when there is one.
TEST(SetupStateTest, IdleStepShowsTheChoiceStartWouldTestOrAHintAndTheRecord) {
    auto input = verifiedWith({{"com.apple.Music", "Music"}, {"com.example.pod", "Podcasts"}});
    EXPECT_EQ(idle(input).choices, (std::vector<TestChoice>{{"com.apple.Music", "Music"},
                                                            {"com.example.pod", "Podcasts"}}));
    EXPECT_EQ(idle(input).selection, "com.apple.Music");
    // A choice that still plays is kept (the setup window's test picks one); one
    // that stopped playing gives way to the first.
    EXPECT_EQ(idle(input, "com.gone").selection, "com.apple.Music");

    input.candidates.clear();
    const std::string start =
        "Start playing something continuous (music or a video with steady sound) in one app, on "
        "the current output device";
    EXPECT_EQ(std::tuple(idle(input).hint, idle(input).outputProblem, idle(input).selection),
              std::tuple(start + " (Speakers).", std::nullopt, std::nullopt));
    input.output->unsupportedReason = "Speakers has no output channels.";
    EXPECT_EQ(idle(input).outputProblem, "Speakers has no output channels.");
    input.output.reset();
    EXPECT_EQ(std::tuple(idle(input).hint, idle(input).outputProblem),
              std::tuple(start + ".", std::nullopt));

    // The last record's summary, its colour and why it needs repeating.
    input = verifiedWith({});
    input.validation = ValidationRecord{Outcome::failed, build, {}, "Speakers", "Music", {}, "", 1};
    const char* failed = "Failed on 6 Dec 2025, 15:04 with Music via Speakers (macOS 24A335).";
    EXPECT_EQ(idle(input).record, (IdleTestState::Record{failed, Tone::warning}));

    input.validation->outcome = Outcome::passed;
    EXPECT_EQ(idle(input).record->tone, Tone::positive);
    EXPECT_EQ(render(input).liveTestHeader.symbol, Symbols::stepComplete);

    input.osBuild = "24B83";
    EXPECT_EQ(idle(input).record->text,
              "Passed on 6 Dec 2025, 15:04 with Music via Speakers (macOS 24A335). Needs "
              "repeating: macOS changed from build 24A335 to 24B83.");
    EXPECT_FALSE(render(input).liveTestHeader.complete);
}

// Running marks done, current and later steps; an automatic failure leaves only No.
TEST(SetupStateTest, RunningMarksTheStepsAndAnAutomaticFailureLeavesOnlyNo) {
    SetupInput input = verifiedWith({});
    input.liveTest = LiveTestPhase::Running{"com.apple.Music", "Music", 2, {}};
    const auto shown = std::get<RunningTestState>(render(input).liveTest);
    EXPECT_EQ(shown.heading, "Testing Music. Listen:");
    ASSERT_EQ(shown.steps.size(), LiveTest::steps().size());
    const char* marks[] = {"checkmark", "checkmark", "speaker.wave.2.fill", "circle", "circle"};
    for (std::size_t i = 0; i < shown.steps.size(); ++i) {
        EXPECT_EQ(shown.steps[i].symbol, marks[i]) << i;
        EXPECT_EQ(shown.steps[i].instruction, LiveTest::steps()[i].instruction);
    }
    input.liveTest = LiveTestPhase::Finishing{"Music"};
    EXPECT_EQ(std::get<BusyTestState>(render(input).liveTest).text,
              "Restoring Music and reading measurements…");
    // Without an automatic failure Yes is pressed, and the measurements read, in the
    // setup window's test.
    input.liveTest = LiveTestPhase::AwaitingAnswer{"Music", {}, "The app stayed silent."};
    const auto answer = std::get<AnswerTestState>(render(input).liveTest);
    EXPECT_EQ(std::tuple(answer.yesEnabled, answer.automaticFailure),
              std::tuple(false, "The app stayed silent."));
    EXPECT_TRUE(answer.question.starts_with("Did Music get quieter twice"));
}

// Linux wording never points at a privacy pane, and each system lapses the live
// test in its own words.
TEST(SetupStateTest, EachSystemInItsOwnWords) {
    SetupInput input = verifiedWith({});
    input.permission = PermissionState::LikelyDenied{};
    input.validation = ValidationRecord{Outcome::passed, build, {}, "Speakers", "Music", {}, "", 1};
    input.gate = ControlGate::PermissionDenied{};
    const SetupState state = SetupView::setup(input, {}, isoDate, linux);
    EXPECT_FALSE(state.access.showsPrivacySettings);
    const auto& idle = std::get<IdleTestState>(state.liveTest);
    EXPECT_NE(idle.record->text.find("(24A335)"), std::string::npos);
    for (const std::string& text :
         {state.access.intro, *state.access.instructions, state.status.detail, idle.intro,
          detail(ControlGate::NeedsLiveValidation{}, linux),
          detail(ControlGate::NeedsPermission{}, linux),
          detail(ControlGate::PermissionDenied{}, linux)})
        for (const char* word : {"Mac", "macOS", "System Settings"})
            EXPECT_EQ(text.find(word), std::string::npos) << text;

    // The audio path is what a live test proves: on Linux a kernel update (not
    // part of the build) leaves the controls open, a new audio server asks again,
    // and a record that stored a kernel release is carried over once.
    const std::string before = "PipeWire 0.3.65, WirePlumber 0.4.13";
    const std::string after = "PipeWire 1.0.5, WirePlumber 0.5.2";
    using Case = std::tuple<const PlatformWording&, std::string, std::string, std::string>;
    for (const auto& [words, stored, current, reason] : {
             Case{mac, "24A335", "24B83", "macOS changed from build 24A335 to 24B83."},
             Case{linux, before, before, ""},
             Case{linux, "6.1.0-18-amd64", before, ""},
             Case{linux, before, after,
                  "The audio server changed from " + before + " to " + after + "."},
         }) {
        std::optional<ValidationRecord> record =
            ValidationRecord{Outcome::passed, stored, {}, "Speakers", "Music", {}, "", 1};
        // A wrongly adopted path shows as a lapsed test below.
        record = ValidationPolicy::adopt(record, current, words.gate.build).value_or(*record);
        EXPECT_EQ(ControlGate::evaluate(PermissionState::Verified{}, record, {current}, false,
                                        words.gate),
                  reason.empty() ? ControlGate{ControlGate::Ready{}}
                                 : ControlGate{ControlGate::NeedsRevalidation{reason}})
            << stored << " → " << current;
    }
    EXPECT_EQ(detail(ControlGate::NeedsLiveValidation{}, mac),
              "Run the 10-second live test once so you can confirm by ear that per-app volume "
              "really works on this Mac.");
    EXPECT_EQ(detail(ControlGate::PermissionDenied{}, mac),
              "Sonvel only received silence. Turn on Sonvel in System Settings › Privacy & "
              "Security › Screen & System Audio Recording › System Audio Recording Only, then "
              "relaunch.");
}

TEST(SettingsStateTest, VolumeControlsResetTimeAndUpdateNotes) {
    SettingsInput input;
    const auto shown = [&] {
        const auto state = SettingsView::general(input, isoDate);
        return std::tuple(state.volumeControls, state.volumeControlsTone, state.audioReset);
    };
    EXPECT_EQ(shown(), std::tuple(ControlGate(ControlGate::NeedsPermission{}).title(),
                                  Tone::warning, std::optional<std::string>()));
    input.gate = ControlGate::Ready{};
    input.audioResetAt = std::chrono::system_clock::time_point{};
    EXPECT_EQ(shown(), std::tuple("Available", Tone::positive,
                                  "Sonvel audio was reset at 6 Dec 2025, 15:04"));
    // The sentence and which links are offered are heard on the settings window.
    const AppcastItem item{.title = "Sonvel 0.2", .version = "20", .description = "<p>Faster.</p>"};
    input.updates = {true, false, UpdateOutcome::Available{item, "0.1.0"}};
    EXPECT_EQ(SettingsView::general(input, isoDate).update->notes, item.description);
}

using Rows = std::vector<DiagnosticsRow>;

// The tap's rate has a fraction, which the page truncates rather than rounds.
GainTapSetupInfo engineSetup(double sampleRate = 48000, bool inputsDisabled = false) {
    return {.tapSampleRate = 44100.9,
            .tapChannels = 2,
            .deviceInputsDisabled = inputsDisabled,
            .sampleRate = sampleRate,
            .bufferFrames = 512,
            .outputLatencyFrames = 24,
            .outputSafetyOffsetFrames = 16,
            .inputLatencyFrames = 8,
            .inputSafetyOffsetFrames = 5};
}

TEST(DiagnosticsStateTest, SummaryRowsThenEngineSections) {
    DiagnosticsInput input;
    input.osBuild = "24B83";
    input.validation = ValidationRecord{Outcome::passed, "24A335", {}, "", "", {}, "", 1};
    input.permission = PermissionState::Probing{true};
    DiagnosticsState state = DiagnosticsView::diagnostics(input, mac);
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
    const auto rows = DiagnosticsView::diagnostics(input, linux).rows;
    EXPECT_EQ(rows.front().label, "Audio server");
    EXPECT_EQ(rows[3].value, "Speakers");
    EXPECT_EQ(rows.back(), (DiagnosticsRow{"Only silence", *input.silenceNotice}));
    EXPECT_EQ(DiagnosticsView::text(PermissionState::Failed{"no device"}), "failed(no device)");

    // Engine sections, in key order, with their measurements.
    input = {};
    input.engines["com.zeta"] = EngineFacts{engineSetup(), 3, 1};
    input.engines["com.alpha"] = EngineFacts{std::nullopt, 0, 0};        // setup not known yet
    input.engines["com.mid"] = EngineFacts{engineSetup(0, true), 0, 0};  // no rate, inputs off

    state = DiagnosticsView::diagnostics(input, mac);
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
