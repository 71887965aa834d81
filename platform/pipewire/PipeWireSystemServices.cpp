#include "platform/pipewire/PipeWireSystemServices.hpp"

namespace sonvel::pw {

namespace {

SystemServices::RunningApplication running(const PipeWireAudioSystem::Application& app) {
    return {app.pid, std::nullopt, app.name.empty() ? std::nullopt : std::optional(app.name), true};
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

}  // namespace sonvel::pw
