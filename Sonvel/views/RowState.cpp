#include "Sonvel/views/RowState.hpp"

#include <algorithm>

#include "Sonvel/views/Symbols.hpp"
#include "core/GainTaper.hpp"
#include "core/Position.hpp"
#include "core/Routing.hpp"

namespace sonvel::RowView {

namespace {

std::optional<std::string> activeCaption(const std::optional<AppPreference>& preference,
                                         const std::vector<OutputContext>& outputs) {
    if (!preference || !preference->outputDeviceUID) return std::nullopt;
    const auto found =
        std::ranges::find(outputs, *preference->outputDeviceUID, &OutputContext::uid);
    if (found == outputs.end()) return std::nullopt;
    return "Output: " + found->name;
}

std::string idleCaption(const std::optional<AppPreference>& preference) {
    if (preference && preference->outputDeviceUID && preference->outputDeviceName) {
        return "Not playing. Will play on " + *preference->outputDeviceName + " once it starts.";
    }
    return "Not playing. Your level kicks in once it plays.";
}

std::string unavailableCaption(const UnavailableReason& reason) {
    return reason.visit(Overloaded{
        [](const UnavailableReason::ControlsLocked& locked) -> std::string {
            return locked.gate.is<ControlGate::Paused>() ? "Paused, playing at normal volume."
                                                         : "Unavailable until setup is complete.";
        },
        [](const UnavailableReason::DeviceUnsupported& d) { return d.reason; },
        [](const UnavailableReason::PlaysToOtherDevice&) -> std::string {
            return "Plays to a different output device, not controllable.";
        },
        [](const UnavailableReason::NoOutputDevice&) -> std::string { return "No output device."; },
    });
}

// The user must act on these: the application is not at the level they set.
bool isWarning(const GroupStatus& status) {
    if (status.is<GroupStatus::RouteFallback>() || status.is<GroupStatus::Failed>()) return true;
    const auto* unavailable = status.as<GroupStatus::Unavailable>();
    return unavailable && (unavailable->reason.is<UnavailableReason::DeviceUnsupported>() ||
                           unavailable->reason.is<UnavailableReason::PlaysToOtherDevice>());
}

// The status's words for the row, and what it means for a change.
using Said = std::pair<std::optional<std::string>, Hearing>;
Said said(const GroupStatus& status, const std::optional<AppPreference>& preference,
          const std::vector<OutputContext>& outputs) {
    return status.visit(Overloaded{
        [](const GroupStatus::Untouched&) {
            return Said{std::nullopt, Hearing::now};
        },
        [&](const GroupStatus::Active&) {
            return Said{activeCaption(preference, outputs), Hearing::now};
        },
        [&](const GroupStatus::Idle&) {
            return Said{idleCaption(preference), Hearing::oncePlaying};
        },
        // Heard, on another output than the one chosen.
        [](const GroupStatus::RouteFallback& f) {
            return Said{f.reason, Hearing::now};
        },
        [](const GroupStatus::Failed& f) {
            return Said{f.retrying ? "Error, retrying… (" + f.message + ")"
                                   : "Couldn't control this app: " + f.message,
                        Hearing::notNow};
        },
        [](const GroupStatus::Unavailable& u) {
            return Said{unavailableCaption(u.reason), Hearing::notNow};
        },
    });
}

}  // namespace

Described describe(const AppGroupDescriptor& group, const std::optional<GroupStatus>& status,
                   const std::optional<AppPreference>& preference,
                   const std::vector<OutputContext>& outputs, bool silentNotice) {
    if (!group.isRunning) {
        return {Caption{"Not running. Your level kicks in once it plays.", Tone::secondary},
                Hearing::oncePlaying};
    }
    const auto [text, hearing] = status ? said(*status, preference, outputs) : Said{};
    // Said before anything the status says: the row looks fine otherwise,
    // and the user hears nothing from it.
    if (silentNotice) return {Caption{silentRowCaption, Tone::warning}, hearing};
    if (!text) return {std::nullopt, hearing};
    return {Caption{*text, isWarning(*status) ? Tone::warning : Tone::secondary}, hearing};
}

LevelDotState levelDot(float peak) {
    const bool lit = peak > silenceFloor;
    return {lit, lit ? "Playing through Sonvel" : "Silent"};
}

OutputMenuState outputMenu(const std::string& appName, const std::optional<std::string>& routeUID,
                           const std::optional<std::string>& defaultName,
                           const std::vector<OutputContext>& outputs) {
    OutputMenuState menu;
    menu.symbol = std::string(routeUID ? Symbols::routed : Symbols::followsDefault);
    menu.accessibleName = "Output for " + appName;
    menu.label = "Default";
    menu.items.push_back({std::nullopt,
                          defaultName ? "Default Output (" + *defaultName + ")" : "Default Output",
                          !routeUID, true, ""});
    for (const OutputContext& output : outputs) {
        menu.items.push_back({output, output.name, routeUID == output.uid,
                              !output.unsupportedReason, output.unsupportedReason.value_or("")});
        if (routeUID == output.uid) menu.label = output.name;
    }
    return menu;
}

RowState row(const AppGroupDescriptor& group, const std::optional<GroupStatus>& status,
             const std::optional<AppPreference>& preference, std::optional<float> peak,
             const Context& context) {
    RowState r;
    r.group = group;
    r.iconPath = group.isShared ? std::optional<std::string>(sharedRowIconPath) : group.appPath;
    if (group.isShared) r.note = "controls all web views";
    if (peak && status && status->is<GroupStatus::Active>()) r.dot = levelDot(*peak);

    const bool ready = context.gate.isReady();
    r.controlsEnabled = ready;
    r.muted = preference && preference->muted;
    r.muteSymbol = std::string(r.muted ? Symbols::muted : Symbols::unmuted);
    r.muteAccessibleName = (r.muted ? "Unmute " : "Mute ") + group.name;
    r.position = preference ? sanitizedPosition(preference->position) : 1.0;
    r.sliderAccessibleName = group.name + " volume";
    r.levelText = r.muted ? "Muted" : GainTaper::percentText(r.position);
    r.levelRole = ready ? Tone::primary : Tone::secondary;

    if (Routing::canRoute(context.gate, status, context.outputs)) {
        r.outputMenu = outputMenu(
            group.name, preference ? preference->outputDeviceUID : std::nullopt,
            context.output ? std::optional(context.output->name) : std::nullopt, context.outputs);
    }
    r.caption = caption(group, status, preference, context.outputs, context.silentNotice);
    const auto* failed = status ? status->as<GroupStatus::Failed>() : nullptr;
    r.showsRetry = group.isRunning && failed && !failed->retrying;
    return r;
}

}  // namespace sonvel::RowView
