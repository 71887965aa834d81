#include "platform/linux/SoundSettingsApp.hpp"

#include <algorithm>
#include <cctype>

namespace sonvel::SoundSettingsApp {

namespace {

using Command = std::vector<std::string>;

bool names(std::string_view desktop, std::string_view wanted) {
    std::size_t start = 0;
    while (start <= desktop.size()) {
        const std::size_t end = std::min(desktop.find(':', start), desktop.size());
        const std::string_view part = desktop.substr(start, end - start);
        if (std::ranges::equal(part, wanted, [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

// GNOME Settings refuses to run outside GNOME (and Unity, which is GNOME's),
// and KDE's modules look foreign elsewhere, so each is only taken on its own
// desktop; pavucontrol works on any.
std::expected<std::vector<std::string>, std::string> choose(
    std::string_view desktop, const std::function<bool(const std::string&)>& isInstalled) {
    std::vector<Command> candidates;
    if (names(desktop, "GNOME") || names(desktop, "Unity")) {
        candidates.push_back({"gnome-control-center", "sound"});
    }
    if (names(desktop, "KDE")) {
        candidates.push_back({"systemsettings", "kcm_pulseaudio"});
        candidates.push_back({"kcmshell6", "kcm_pulseaudio"});
        candidates.push_back({"kcmshell5", "kcm_pulseaudio"});
    }
    candidates.push_back({"pavucontrol"});
    for (Command& command : candidates) {
        if (isInstalled(command.front())) return std::move(command);
    }
    return std::unexpected(notFound);
}

}  // namespace sonvel::SoundSettingsApp
