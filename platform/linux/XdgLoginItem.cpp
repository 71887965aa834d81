#include "platform/linux/XdgLoginItem.hpp"

#include <fmt/format.h>

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace sonvel {

namespace fs = std::filesystem;

namespace {

fs::path userConfigHome() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) return xdg;
    if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home) / ".config";
    return fs::temp_directory_path();
}

// Exec= needs quoting when the path has spaces or specials.
std::string quoted(const fs::path& path) {
    std::string out = "\"";
    for (char c : path.string()) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

XdgLoginItem::XdgLoginItem(fs::path configHome, fs::path executable)
    : entry_((configHome.empty() ? userConfigHome() : configHome) / "autostart" /
             "app.velmorra.sonvel.desktop"),
      executable_(executable.empty() ? fs::read_symlink("/proc/self/exe") : executable) {}

std::expected<void, std::string> XdgLoginItem::setEnabled(bool enabled) {
    std::error_code error;
    if (!enabled) {
        fs::remove(entry_, error);
        if (error) {
            return std::unexpected(fmt::format(
                "Sonvel could not be removed from the login items: {}.", error.message()));
        }
        return {};
    }
    fs::create_directories(entry_.parent_path(), error);
    std::ofstream file(entry_, std::ios::trunc);
    if (error || !file) {
        return std::unexpected(
            fmt::format("Sonvel could not be added to the login items: {} cannot be written.",
                        entry_.string()));
    }
    file << "[Desktop Entry]\n"
         << "Type=Application\n"
         << "Name=Sonvel\n"
         << "Comment=Per-application volume\n"
         << "Exec=" << quoted(executable_) << "\n"
         << "X-GNOME-Autostart-enabled=true\n";
    file.close();
    if (!file) {
        return std::unexpected(
            fmt::format("Sonvel could not be added to the login items: {} cannot be written.",
                        entry_.string()));
    }
    return {};
}

bool XdgLoginItem::isEnabled() const {
    std::ifstream file(entry_);
    if (!file) return false;
    for (std::string line; std::getline(file, line);) {
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return false;
    }
    return true;
}

}  // namespace sonvel
