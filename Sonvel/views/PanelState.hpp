#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Sonvel/MixerModel.hpp"
#include "Sonvel/views/RowState.hpp"

// What the menu-bar panel shows, computed from the model's state by pure
// functions: the widgets in ui/ only render a PanelState and call commands.
namespace sonvel {

// The model's state the panel reads, copied out so that the rules can be
// exercised without a model.
struct PanelInput {
    std::vector<AppGroup> groups;
    std::map<std::string, GroupStatus> statuses;
    Preferences preferences;
    std::optional<OutputContext> output;
    std::vector<OutputContext> outputs;
    std::map<std::string, float> outputPeaks;
    ControlGate gate{ControlGate::NeedsPermission{}};
    std::optional<MixerModel::SilenceNotice> silenceNotice;
    // Whether the setup window can be opened from the panel; `of` leaves it
    // to the panel, which knows.
    bool canOpenSetup = false;
    // The platform's own words for a gate that points at a privacy pane
    // (where there is none); empty keeps the gate's.
    std::string needsPermissionDetail;
    std::string permissionDeniedDetail;
    // Settings that could not be read (until the notice is dismissed), and
    // why the last save failed.
    std::optional<std::string> unreadableSettings;
    std::optional<std::string> saveError;

    static PanelInput of(const MixerModel& model);
};

struct HeaderState {
    std::string defaultOutputLine;
    bool pausedOn = false;
    bool pausedEnabled = false;
    bool operator==(const HeaderState&) const = default;
};

struct BannerState {
    enum class Action { resume, openSetup, pause, retrySave, dismiss };
    std::string symbol;
    Tone symbolRole = Tone::secondary;
    std::string title;
    std::string detail;
    Action action = Action::openSetup;
    std::string actionTitle;
    // A window that does not exist yet is never faked: its button says so.
    bool actionEnabled = true;
    std::string actionTooltip;
    bool operator==(const BannerState&) const = default;
};

struct SectionState {
    std::string title;
    std::optional<std::string> emptyText;
    std::vector<RowState> rows;
    bool operator==(const SectionState&) const = default;
};

struct PanelState {
    HeaderState header;
    std::vector<BannerState> banners;
    std::vector<SectionState> sections;
    bool operator==(const PanelState&) const = default;
};

namespace PanelView {

inline constexpr const char* setupUnavailable = "The setup window is not available yet.";
inline constexpr const char* settingsUnavailable = "The settings window is not available yet.";

struct Descriptors {
    std::vector<AppGroupDescriptor> playing;
    std::vector<AppGroupDescriptor> others;
};

// "Playing now" in the model's order; "Other apps": running idle applications
// and remembered ones that are not running, in name order.
Descriptors descriptors(const std::vector<AppGroup>& groups, const Preferences& preferences);

HeaderState header(const std::optional<OutputContext>& output, const Preferences& preferences,
                   const ControlGate& gate);

std::optional<BannerState> gateBanner(const ControlGate& gate, bool canOpenSetup = false,
                                      const PanelInput* words = nullptr);
BannerState silenceBanner(const MixerModel::SilenceNotice& notice);
std::vector<BannerState> settingsBanners(const PanelInput& input);

PanelState panel(const PanelInput& input);

}  // namespace PanelView

}  // namespace sonvel
