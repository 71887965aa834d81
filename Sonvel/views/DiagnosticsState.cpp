#include "Sonvel/views/DiagnosticsState.hpp"

#include <fmt/format.h>

#include <cmath>

#include "Sonvel/MixerModel.hpp"

namespace sonvel {

DiagnosticsInput DiagnosticsInput::of(const MixerModel& model) {
    DiagnosticsInput input{
        model.osBuild(), model.preferences->validation, model.output, model.permission, {},
        std::nullopt};
    for (const auto& [key, readout] : model.host().readouts()) {
        EngineFacts& facts = input.engines[key];
        facts.setup = readout.setup;
        facts.overloads = readout.overloads ? readout.overloads() : 0;
        facts.inputNonZeroSamples = readout.meter ? readout.meter->totalInputNonZeroSamples() : 0;
    }
    if (const auto& notice = model.silenceNotice.get()) input.silenceNotice = notice->message;
    input.unreadableSettings = model.unreadableSettings;
    input.saveError = model.saveError;
    return input;
}

namespace DiagnosticsView {

namespace {

// A rate as a whole number, as the row shows it; a rate that is no number at
// all (a broken reading) shows as 0 rather than as whatever the cast yields.
long long truncated(double value) {
    if (!std::isfinite(value) || std::abs(value) >= 9e18) return 0;
    return static_cast<long long>(value);
}

}  // namespace

std::string text(const ValidationStatus& status) {
    return status.visit(Overloaded{
        [](const ValidationStatus::Valid&) -> std::string { return "valid"; },
        [](const ValidationStatus::Missing&) -> std::string { return "missing"; },
        [](const ValidationStatus::Failed&) -> std::string { return "failed"; },
        [](const ValidationStatus::NeedsRevalidation& s) -> std::string {
            return "needsRevalidation(" + s.reason + ")";
        },
    });
}

std::string text(const PermissionState& permission) {
    return permission.visit(Overloaded{
        [](const PermissionState::Unknown&) -> std::string { return "unknown"; },
        [](const PermissionState::Probing& p) -> std::string {
            return fmt::format("probing(nothingPlaying: {})", p.nothingPlaying);
        },
        [](const PermissionState::Verified&) -> std::string { return "verified"; },
        [](const PermissionState::LikelyDenied&) -> std::string { return "likelyDenied"; },
        [](const PermissionState::Failed& f) -> std::string { return "failed(" + f.message + ")"; },
    });
}

std::vector<DiagnosticsRow> engineRows(const EngineFacts& engine) {
    std::vector<DiagnosticsRow> rows;
    if (const auto& s = engine.setup) {
        rows.push_back(
            {"Added latency (est.)", fmt::format("{:.1f} ms", s->estimatedLatencyMilliseconds())});
        rows.push_back({"IO", fmt::format("{:.0f} Hz, {} frames", s->sampleRate, s->bufferFrames)});
        rows.push_back(
            {"Tap", fmt::format("{} Hz, {} ch", truncated(s->tapSampleRate), s->tapChannels)});
        // Inputs left on are not a fault on every device, so this never says "no".
        rows.push_back({"Device inputs disabled", s->deviceInputsDisabled ? "yes" : "n/a"});
    }
    rows.push_back({"Processor overloads", std::to_string(engine.overloads)});
    rows.push_back({"Received audio", engine.inputNonZeroSamples > 0 ? "yes" : "not yet"});
    return rows;
}

DiagnosticsState diagnostics(const DiagnosticsInput& input, const PlatformWording& wording) {
    const ValidationPath path{input.osBuild};
    DiagnosticsState state;
    state.rows = {
        {wording.buildLabel, input.osBuild},
        {"Validation path",
         "build " + path.osBuild + ", engine rev " + std::to_string(path.engineRevision)},
        {"Validation", text(ValidationPolicy::status(input.validation, path, wording.gate.build))},
        {"Output device", input.output ? input.output->name : "none"},
        {"Permission", text(input.permission)},
        {"Active engines", std::to_string(input.engines.size())},
    };
    if (input.silenceNotice) state.rows.push_back({"Only silence", *input.silenceNotice});
    if (input.unreadableSettings)
        state.rows.push_back({"Stored settings", *input.unreadableSettings});
    if (input.saveError) state.rows.push_back({"Saving", *input.saveError});
    for (const auto& [key, engine] : input.engines) {
        state.engines.push_back({key, engineRows(engine)});
    }
    return state;
}

}  // namespace DiagnosticsView

}  // namespace sonvel
