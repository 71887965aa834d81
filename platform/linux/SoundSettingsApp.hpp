#pragma once

#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sonvel::SoundSettingsApp {

inline constexpr const char* notFound =
    "No sound settings app was found (GNOME Settings, KDE System Settings or pavucontrol).";

// The command that opens the desktop's own sound settings: GNOME Settings'
// sound panel on GNOME, System Settings' audio module on KDE Plasma, else
// pavucontrol; or why there is none. `desktop` is XDG_CURRENT_DESKTOP (a
// colon-separated list such as "ubuntu:GNOME"); `isInstalled` says whether a
// program is on PATH.
std::expected<std::vector<std::string>, std::string> choose(
    std::string_view desktop, const std::function<bool(const std::string&)>& isInstalled);

}  // namespace sonvel::SoundSettingsApp
