#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/pipewire/PipeWireAudioSystem.hpp"

namespace sonvel::pw {

// Where the icon of an application that plays through the server is found
// again, given to the inspector as the application's path: its process
// ("/proc/PID") when a stream names its own icon, which wins, else its
// desktop entry's file; none when neither names an icon.
std::optional<std::string> applicationPath(const PipeWireAudioSystem::Application& app);

// The icon-theme name or absolute image path behind such a path.
std::optional<std::string> applicationIcon(
    const std::vector<PipeWireAudioSystem::Application>& running, const std::string& path);

}  // namespace sonvel::pw
