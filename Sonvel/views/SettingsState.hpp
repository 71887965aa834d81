#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "Sonvel/views/Tone.hpp"
#include "Sonvel/views/UpdateFeed.hpp"
#include "core/ControlGate.hpp"

// What the settings window's General tab shows, as pure functions of the
// model's state and the update checker's: the widgets in ui/ render a
// GeneralSettingsState and call commands. No platform; main thread or any.
namespace sonvel {

class MixerModel;

struct SettingsInput {
    // What the system says, not what was last asked for.
    bool launchAtLogin = false;
    std::optional<std::string> launchAtLoginError;
    bool showIdleApps = true;
    ControlGate gate{ControlGate::NeedsPermission{}};
    std::optional<std::chrono::system_clock::time_point> audioResetAt;
    UpdateCheckState updates;

    static SettingsInput of(const MixerModel& model, const UpdateCheckState& updates);
};

// A time of day in the user's locale, standard time style, no date.
using TimeFormat = std::function<std::string(std::chrono::system_clock::time_point)>;

struct UpdateLineState {
    std::string text;
    Tone tone = Tone::secondary;
    // Present when a newer version is available and the feed gives a web link.
    std::optional<std::string> downloadPage;
    std::optional<std::string> releaseNotesURL;
    // The start of the feed's own notes for that version, as plain text.
    std::string notes;
    bool operator==(const UpdateLineState&) const = default;
};

struct GeneralSettingsState {
    bool launchAtLogin = false;
    std::optional<std::string> launchAtLoginError;  // orange, under the switch
    bool checkForUpdatesEnabled = false;
    std::string checkForUpdatesTooltip;
    std::optional<UpdateLineState> update;
    bool showIdleApps = true;
    std::string volumeControls;
    Tone volumeControlsTone = Tone::warning;
    std::optional<std::string> audioReset;
    bool operator==(const GeneralSettingsState&) const = default;
};

namespace SettingsView {

inline constexpr int windowWidth = 520;
inline constexpr int windowHeight = 380;
inline constexpr const char* resetSonvelAudioTooltip =
    "Destroys and rebuilds only Sonvel's own taps and devices. System settings are not changed.";
inline constexpr const char* resetSetupTitle = "Reset setup?";
inline constexpr const char* resetSetupMessage =
    "Forgets the access check and live test result. Volume controls stay unavailable until you "
    "complete setup again.";
inline constexpr const char* resetSetupAction = "Reset Setup";
inline constexpr const char* checkingForUpdates = "Checking for updates…";
// The notes show in a few lines of the window, and laying out all of a long
// text there would hold up the main thread for its whole length.
inline constexpr std::size_t notesShownBytes = 2048;

std::optional<UpdateLineState> updateLine(const UpdateCheckState& updates);

GeneralSettingsState general(const SettingsInput& input, const TimeFormat& formatTime);

}  // namespace SettingsView

}  // namespace sonvel
