#include "Sonvel/SettingsState.hpp"

#include "Sonvel/MixerModel.hpp"

namespace sonvel {

SettingsInput SettingsInput::of(const MixerModel& model, const UpdateCheckState& updates) {
    return {model.launchAtLogin, model.launchAtLoginError, model.preferences->showIdleApps,
            model.gate(),        model.audioResetAt,       updates};
}

namespace SettingsView {

std::optional<UpdateLineState> updateLine(const UpdateCheckState& updates) {
    if (updates.checking) return UpdateLineState{checkingForUpdates};
    if (!updates.last) return std::nullopt;
    UpdateLineState line{UpdateFeed::sentence(*updates.last)};
    updates.last->visit(Overloaded{
        [&](const UpdateOutcome::UpToDate&) { line.tone = Tone::secondary; },
        [&](const UpdateOutcome::Available& available) {
            line.tone = Tone::primary;
            line.downloadPage = available.item.downloadPage();
            line.releaseNotesURL = available.item.releaseNotesURL;
            line.notes = available.item.description;
        },
        [&](const UpdateOutcome::Failed&) { line.tone = Tone::warning; },
    });
    return line;
}

GeneralSettingsState general(const SettingsInput& input, const TimeFormat& formatTime) {
    GeneralSettingsState state;
    state.launchAtLogin = input.launchAtLogin;
    state.launchAtLoginError = input.launchAtLoginError;
    state.checkForUpdatesEnabled = input.updates.canCheckForUpdates();
    if (!input.updates.configured) {
        state.checkForUpdatesTooltip =
            UpdateFeed::sentence(UpdateOutcome::Failed{{UpdateError::Kind::notConfigured}});
    }
    state.update = updateLine(input.updates);
    state.showIdleApps = input.showIdleApps;
    if (input.gate.isReady()) {
        state.volumeControls = "Available";
        state.volumeControlsTone = Tone::positive;
    } else {
        state.volumeControls = input.gate.title();
        state.volumeControlsTone = Tone::warning;
    }
    if (input.audioResetAt) {
        state.audioReset = "Sonvel audio was reset at " + formatTime(*input.audioResetAt);
    }
    return state;
}

}  // namespace SettingsView

}  // namespace sonvel
