#pragma once

#include <array>
#include <string_view>

namespace sonvel::Symbols {

// The symbol names Sonvel asks for, as the product's design names them, in
// one list so that a window meaning what the panel means asks for the same
// symbol. The panel's are drawn from the desktop's icon theme through the
// table in ui/SymbolIcons.cpp, which is the only place that knows the theme's
// names; the windows' own are drawn by ui/WindowIcons.cpp.
inline constexpr std::string_view soundSettings = "gearshape.2";
inline constexpr std::string_view paused = "pause.circle.fill";
inline constexpr std::string_view locked = "lock.fill";
inline constexpr std::string_view warning = "exclamationmark.triangle.fill";
inline constexpr std::string_view muted = "speaker.slash.fill";
inline constexpr std::string_view unmuted = "speaker.wave.2.fill";
inline constexpr std::string_view routed = "hifispeaker.fill";
inline constexpr std::string_view followsDefault = "hifispeaker";
inline constexpr std::string_view genericApp = "app.dash";

// The setup and settings windows' own.
inline constexpr std::string_view controlsAvailable = "slider.horizontal.3";
inline constexpr std::string_view stepComplete = "checkmark.circle.fill";
inline constexpr std::string_view stepOpen = "circle";
inline constexpr std::string_view accessConfirmed = "checkmark.seal.fill";
inline constexpr std::string_view testFailed = "xmark.octagon.fill";
inline constexpr std::string_view stepDone = "checkmark";
inline constexpr std::string_view stepPlaying = unmuted;
inline constexpr std::string_view stepLater = "circle";
inline constexpr std::string_view generalTab = "gearshape";
inline constexpr std::string_view diagnosticsTab = "waveform.path.ecg";

// The panel's, each with a theme name and a drawing.
inline constexpr std::array panel{soundSettings, paused, locked,         warning,   muted,
                                  unmuted,       routed, followsDefault, genericApp};

}  // namespace sonvel::Symbols
