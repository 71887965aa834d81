#pragma once

#include <array>
#include <string_view>

namespace sonvel::Symbols {

// The symbol names the panel asks for, as the product's design names them.
// Each is drawn from the desktop's icon theme through the table in
// ui/SymbolIcons.cpp, which is the only place that knows the theme's names.
inline constexpr std::string_view soundSettings = "gearshape.2";
inline constexpr std::string_view paused = "pause.circle.fill";
inline constexpr std::string_view locked = "lock.fill";
inline constexpr std::string_view warning = "exclamationmark.triangle.fill";
inline constexpr std::string_view muted = "speaker.slash.fill";
inline constexpr std::string_view unmuted = "speaker.wave.2.fill";
inline constexpr std::string_view routed = "hifispeaker.fill";
inline constexpr std::string_view followsDefault = "hifispeaker";
inline constexpr std::string_view genericApp = "app.dash";

inline constexpr std::array all{soundSettings, paused, locked,         warning,   muted,
                                unmuted,       routed, followsDefault, genericApp};

}  // namespace sonvel::Symbols
