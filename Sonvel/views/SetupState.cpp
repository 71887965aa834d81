#include "Sonvel/views/SetupState.hpp"

#include <algorithm>

#include "Sonvel/MixerModel.hpp"
#include "Sonvel/views/Symbols.hpp"
#include "core/LiveTest.hpp"
#include "core/ValidationPolicy.hpp"

namespace sonvel {

SetupInput SetupInput::of(const MixerModel& model) {
    return {model.gate(),
            model.permission,
            model.permissionMessage,
            model.liveTest,
            model.isLiveTesting(),
            model.liveTestCandidates(),
            model.output,
            model.preferences->validation,
            model.osBuild()};
}

namespace SetupView {

namespace {

std::string symbol(std::string_view name) {
    return std::string(name);
}

StepHeaderState header(int position, const char* name, bool complete) {
    return {"Step " + std::to_string(position) + ": " + name, complete,
            symbol(complete ? Symbols::stepComplete : Symbols::stepOpen)};
}

IdleTestState idle(const SetupInput& input, const std::optional<std::string>& selectedKey,
                   const DateFormat& formatDate, const PlatformWording& wording) {
    IdleTestState state;
    state.intro = "This is the only way to make sure per-app volume really works on " +
                  wording.computer +
                  ". Sonvel will take over one playing app for 10 seconds and step its volume "
                  "down and back up: 100%, 50%, 25%, silent, then 100% again. Just listen.";
    if (input.validation) {
        const bool passed = input.validation->outcome == ValidationRecord::Outcome::passed;
        state.record = IdleTestState::Record{
            recordSummary(*input.validation, ValidationPath{input.osBuild}, formatDate, wording),
            passed ? Tone::positive : Tone::warning};
    }
    if (!input.permission.is<PermissionState::Verified>()) {
        state.blocked = "Complete step 1 first.";
        return state;
    }
    if (input.candidates.empty()) {
        std::string hint =
            "Start playing something continuous (music or a video with steady sound) in one app, "
            "on the current output device";
        if (input.output) hint += " (" + input.output->name + ")";
        state.hint = hint + ".";
        if (input.output) state.outputProblem = input.output->unsupportedReason;
        return state;
    }
    for (const AppGroup& group : input.candidates) {
        state.choices.push_back({group.key, group.displayName});
    }
    state.selection = keyToTest(input.candidates, selectedKey);
    return state;
}

RunningTestState running(const std::string& name, long step) {
    RunningTestState state{"Testing " + name + ". Listen:", {}};
    const auto& steps = LiveTest::steps();
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const long index = static_cast<long>(i);
        const std::string_view mark = index < step    ? Symbols::stepDone
                                      : index == step ? Symbols::stepPlaying
                                                      : Symbols::stepLater;
        state.steps.push_back({symbol(mark), steps[i].instruction, index == step});
    }
    return state;
}

AnswerTestState answer(const LiveTestPhase::AwaitingAnswer& phase) {
    AnswerTestState state;
    state.automaticFailure = phase.automaticFailure;
    state.question = "Did " + phase.name +
                     " get quieter twice, go completely silent, then return to full volume, with "
                     "no echo, doubled sound, clicks or dropouts? It should sound exactly like it "
                     "did before the test.";
    for (const auto& measurement : phase.measurements) {
        state.measured.push_back(measurement.summary());
    }
    state.yesEnabled = !phase.automaticFailure;
    return state;
}

}  // namespace

ControlsStatusState controlsStatus(const ControlGate& gate, const PlatformWording& wording) {
    if (gate.isReady()) {
        return {symbol(Symbols::controlsAvailable), Tone::positive, "Volume controls are available",
                gate.detail()};
    }
    // Told in the platform's words whatever words the gate came with.
    ControlGate told = gate;
    told.words = wording.gate;
    return {symbol(Symbols::locked), Tone::warning, gate.title(), told.detail()};
}

AccessStepState accessStep(const PermissionState& permission,
                           const std::optional<std::string>& message, bool isLiveTesting,
                           const PlatformWording& wording) {
    using Line = AccessStepState::Line;
    AccessStepState state;
    state.intro = wording.accessIntro;
    permission.visit(Overloaded{
        [&](const PermissionState::Verified&) {
            state.line = Line::label;
            state.lineSymbol = symbol(Symbols::accessConfirmed);
            state.lineTone = Tone::positive;
            state.lineText = "Access confirmed. Sonvel can hear your audio.";
        },
        [&](const PermissionState::Probing& probing) {
            state.line = Line::progress;
            state.lineText = probing.nothingPlaying
                                 ? "Listening… play any sound now (music, a video) so Sonvel can "
                                   "confirm access."
                                 : wording.listening;
        },
        [&](const PermissionState::LikelyDenied&) {
            state.line = Line::label;
            state.lineSymbol = symbol(Symbols::warning);
            state.lineTone = Tone::warning;
            state.lineText = "Sonvel only heard silence.";
        },
        [&](const auto&) {  // unknown, failed
            state.line = Line::instructions;
            state.lineText = wording.accessSteps;
        },
    });
    state.message = message;
    if (permission.is<PermissionState::LikelyDenied>() || message) {
        state.instructions = wording.deniedInstructions;
    }
    state.checkAccessEnabled = !permission.is<PermissionState::Probing>() && !isLiveTesting;
    state.showsPrivacySettings = wording.hasPrivacySettings;
    state.privacySettingsTitle = wording.privacySettingsButton;
    return state;
}

std::string recordSummary(const ValidationRecord& record, const ValidationPath& current,
                          const DateFormat& formatDate, const PlatformWording& wording) {
    std::string text = record.outcome == ValidationRecord::Outcome::passed ? "Passed" : "Failed";
    text += " on " + formatDate(record.date) + " with " + record.appName + " via " +
            record.outputDeviceName + " (" +
            (wording.systemName.empty() ? "" : wording.systemName + " ") + record.osBuild + ").";
    const ValidationStatus status = ValidationPolicy::status(record, current, wording.gate.build);
    if (const auto* stale = status.as<ValidationStatus::NeedsRevalidation>()) {
        text += " Needs repeating: " + stale->reason;
    }
    return text;
}

std::optional<std::string> keyToTest(const std::vector<AppGroup>& candidates,
                                     const std::optional<std::string>& selectedKey) {
    if (candidates.empty()) return std::nullopt;
    if (selectedKey &&
        std::ranges::find(candidates, *selectedKey, &AppGroup::key) != candidates.end()) {
        return selectedKey;
    }
    return candidates.front().key;
}

SetupState setup(const SetupInput& input, const std::optional<std::string>& selectedKey,
                 const DateFormat& formatDate, const PlatformWording& wording) {
    SetupState state;
    state.status = controlsStatus(input.gate, wording);
    state.accessHeader =
        header(1, "Audio access", input.permission.is<PermissionState::Verified>());
    state.access =
        accessStep(input.permission, input.permissionMessage, input.isLiveTesting, wording);
    state.liveTestHeader =
        header(2, "Live audio test",
               ValidationPolicy::status(input.validation, ValidationPath{input.osBuild},
                                        wording.gate.build)
                   .is<ValidationStatus::Valid>());
    state.liveTest = input.liveTest.visit(Overloaded{
        [&](const LiveTestPhase::Idle&) -> LiveTestStepState {
            return idle(input, selectedKey, formatDate, wording);
        },
        [](const LiveTestPhase::Starting& phase) -> LiveTestStepState {
            return BusyTestState{"Starting the test on " + phase.name + "…"};
        },
        [](const LiveTestPhase::Finishing& phase) -> LiveTestStepState {
            return BusyTestState{"Restoring " + phase.name + " and reading measurements…"};
        },
        [](const LiveTestPhase::Running& phase) -> LiveTestStepState {
            return running(phase.name, phase.step);
        },
        [](const LiveTestPhase::AwaitingAnswer& phase) -> LiveTestStepState {
            return answer(phase);
        },
    });
    return state;
}

}  // namespace SetupView

}  // namespace sonvel
