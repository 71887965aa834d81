#include "platform/pipewire/PipeWireSystemServices.hpp"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace sonvel::pw {

namespace {

SystemServices::RunningApplication running(const PipeWireAudioSystem::Application& app) {
    return {app.pid, applicationPath(app),
            app.name.empty() ? std::nullopt : std::optional(app.name), true};
}

}  // namespace

std::vector<SystemServices::RunningApplication> PipeWireSystemServices::runningApplications()
    const {
    std::vector<RunningApplication> out;
    for (const auto& app : audio_->applications()) out.push_back(running(app));
    return out;
}

std::optional<SystemServices::RunningApplication> PipeWireSystemServices::runningApplication(
    ProcessID pid) const {
    for (const auto& app : audio_->applications()) {
        if (app.pid == pid) return running(app);
    }
    return std::nullopt;
}

// WirePlumber 0.4 and 0.5 state no version in their client's properties; the
// library file its process mapped does name it, and reading the map is a
// quick read of procfs, nothing that could wait on another program.
std::string PipeWireSystemServices::wirePlumberVersion(std::string_view maps) {
    constexpr std::string_view library = "/libwireplumber-";
    constexpr std::string_view object = ".so.";
    // Its modules ("libwireplumber-module-….so") are mapped too, without a version.
    for (auto at = maps.find(library); at != std::string_view::npos;
         at = maps.find(library, at + 1)) {
        const auto lineEnd = std::min(maps.find('\n', at), maps.size());
        const std::string_view file = maps.substr(at, lineEnd - at);
        const auto so = file.find(object);
        if (so == std::string_view::npos) continue;
        const std::string_view version = file.substr(so + object.size());
        if (version.find('.') != std::string_view::npos &&
            version.find_first_not_of("0123456789.") == std::string_view::npos) {
            return std::string(version);
        }
    }
    return {};
}

std::string PipeWireSystemServices::build(const PipeWireAudioSystem::Versions& versions,
                                          std::string_view sessionManagerMaps) {
    std::string text =
        "PipeWire " +
        (versions.server.empty() ? std::string(pw_get_library_version()) : versions.server);
    std::string manager = versions.sessionManagerVersion;
    if (manager.empty()) manager = wirePlumberVersion(sessionManagerMaps);
    if (!manager.empty()) text += ", WirePlumber " + manager;
    return text;
}

std::optional<std::string> PipeWireSystemServices::systemValue(const std::string& name) const {
    if (name != "kern.osversion") return linux_.systemValue(name);
    const PipeWireAudioSystem::Versions versions = audio_->versions();
    std::string maps;
    if (versions.sessionManager > 0 && versions.sessionManagerVersion.empty()) {
        std::ifstream file("/proc/" + std::to_string(versions.sessionManager) + "/maps");
        std::ostringstream text;
        text << file.rdbuf();
        maps = text.str();
    }
    return build(versions, maps);
}

}  // namespace sonvel::pw
