#include "Sonvel/views/SettingsState.hpp"

#include "Sonvel/MixerModel.hpp"

namespace sonvel {

SettingsInput SettingsInput::of(const MixerModel& model, const UpdateCheckState& updates) {
    return {model.launchAtLogin, model.launchAtLoginError, model.preferences->showIdleApps,
            model.gate(),        model.audioResetAt,       updates};
}

namespace SettingsView {

namespace {

// The start of `text`, cut between characters, within `limit` bytes.
std::string excerpt(std::string_view text, std::size_t limit) {
    constexpr std::string_view ellipsis = "\u2026";
    if (text.size() <= limit) return std::string(text);
    std::size_t cut = limit - ellipsis.size();
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + std::string(ellipsis);
}

}  // namespace

std::optional<UpdateLineState> updateLine(const UpdateCheckState& updates) {
    if (updates.checking) return UpdateLineState{checkingForUpdates};
    if (!updates.last) return std::nullopt;
    UpdateLineState line{UpdateFeed::sentence(*updates.last)};
    updates.last->visit(Overloaded{
        [&](const UpdateOutcome::UpToDate&) { line.tone = Tone::secondary; },
        [&](const UpdateOutcome::Available& available) {
            line.tone = Tone::primary;
            line.downloadPage = available.item.downloadPage();
            line.releaseNotesURL = available.item.releaseNotesPage();
            line.notes = excerpt(available.item.description, notesShownBytes);
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
