#include "platform/pipewire/PipeWireAppIcons.hpp"

#include <charconv>

#include "platform/linux/DesktopEntries.hpp"

namespace sonvel::pw {

namespace {

constexpr std::string_view processDir = "/proc/";

AppIdentity identity(const PipeWireAudioSystem::Application& app) {
    return {app.id, app.binary, app.name, app.iconName};
}

}  // namespace

std::optional<std::string> applicationPath(const PipeWireAudioSystem::Application& app) {
    if (!app.iconName.empty() && app.pid > 0)
        return std::string(processDir) + std::to_string(app.pid);
    const DesktopEntry* entry = DesktopEntries::installed().match(identity(app));
    if (!entry || entry->icon.empty()) return std::nullopt;
    return entry->file.string();
}

std::optional<std::string> applicationIcon(
    const std::vector<PipeWireAudioSystem::Application>& running, const std::string& path) {
    if (path.starts_with(processDir)) {
        ProcessID pid = 0;
        const char* digits = path.data() + processDir.size();
        const auto [end, error] = std::from_chars(digits, path.data() + path.size(), pid);
        if (error != std::errc{} || end != path.data() + path.size()) return std::nullopt;
        for (const auto& app : running) {
            if (app.pid == pid) return DesktopEntries::installed().iconName(identity(app));
        }
        return std::nullopt;
    }
    const DesktopEntry* entry = DesktopEntries::installed().atFile(path);
    if (!entry || entry->icon.empty()) return std::nullopt;
    return entry->icon;
}

}  // namespace sonvel::pw
