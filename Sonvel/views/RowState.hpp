#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Sonvel/MixerModel.hpp"
#include "Sonvel/views/Tone.hpp"
#include "core/AppPreference.hpp"
#include "core/ControlGate.hpp"
#include "core/GroupStatus.hpp"
#include "core/OutputContext.hpp"

// What one panel row shows, as plain values: widgets render these and hold
// nothing of their own. Pure functions, no platform; main thread or any.
namespace sonvel {

// The caption of a row whose engine hears only silence, and the silence
// banner's title.
inline constexpr const char* silentRowCaption = "Only silence is coming through";

struct Caption {
    std::string text;
    Tone role = Tone::secondary;
    bool operator==(const Caption&) const = default;
};

struct LevelDotState {
    bool lit = false;  // green: the engine's output is above the floor
    std::string accessibleName;
    bool operator==(const LevelDotState&) const = default;
};

struct OutputMenuItem {
    std::optional<OutputContext> output;  // none: follow the default output
    std::string label;
    bool checked = false;
    bool enabled = true;
    std::string tooltip;
    bool operator==(const OutputMenuItem&) const = default;
};

// The first item is the default output; a divider follows it.
struct OutputMenuState {
    std::string symbol;
    std::string accessibleName;  // also the tooltip
    std::string label;           // beside the symbol: where the sound goes
    std::vector<OutputMenuItem> items;
    bool operator==(const OutputMenuState&) const = default;
};

struct RowState {
    AppGroupDescriptor group;
    std::optional<std::string> iconPath;  // the application whose icon to show
    std::optional<std::string> note;      // beside the name
    std::optional<LevelDotState> dot;
    bool controlsEnabled = false;
    bool muted = false;
    std::string muteSymbol;
    std::string muteAccessibleName;
    double position = 1.0;
    std::string sliderAccessibleName;
    std::string levelText;  // the percentage label and the slider's accessible value
    Tone levelRole = Tone::primary;
    std::optional<OutputMenuState> outputMenu;
    std::optional<Caption> caption;
    bool showsRetry = false;
    bool operator==(const RowState&) const = default;
};

namespace RowView {

// A peak must be strictly above this for the dot to light.
inline constexpr float silenceFloor = 0.0001f;
// The application whose icon stands for the shared web-content row.
inline constexpr const char* sharedRowIconPath = "/Applications/Safari.app";

// Whether a change made on a row reaches the speakers now, or is only stored:
// until the application plays, or for a reason the caption gives.
enum class Hearing { now, oncePlaying, notNow };

// The status line under a row, none when there is nothing to say, and what
// that status means for a change. One function, so that what scripts are told
// never disagrees with the row.
// `silentNotice`: the model hears only silence from this row's engine.
struct Described {
    std::optional<Caption> caption;
    Hearing hearing = Hearing::now;
};
Described describe(const AppGroupDescriptor& group, const std::optional<GroupStatus>& status,
                   const std::optional<AppPreference>& preference,
                   const std::vector<OutputContext>& outputs, bool silentNotice = false);

inline std::optional<Caption> caption(const AppGroupDescriptor& group,
                                      const std::optional<GroupStatus>& status,
                                      const std::optional<AppPreference>& preference,
                                      const std::vector<OutputContext>& outputs,
                                      bool silentNotice = false) {
    return describe(group, status, preference, outputs, silentNotice).caption;
}

LevelDotState levelDot(float peak);

OutputMenuState outputMenu(const std::string& appName, const std::optional<std::string>& routeUID,
                           const std::optional<std::string>& defaultName,
                           const std::vector<OutputContext>& outputs);

// Everything the panel knows that a row needs.
struct Context {
    ControlGate gate{ControlGate::NeedsPermission{}};
    std::optional<OutputContext> output;
    std::vector<OutputContext> outputs;
    bool silentNotice = false;
};

RowState row(const AppGroupDescriptor& group, const std::optional<GroupStatus>& status,
             const std::optional<AppPreference>& preference, std::optional<float> peak,
             const Context& context);

}  // namespace RowView

}  // namespace sonvel
