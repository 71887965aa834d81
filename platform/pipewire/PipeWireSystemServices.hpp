#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "MixerEngine/SystemServices.hpp"
#include "platform/linux/LinuxSystemServices.hpp"
#include "platform/pipewire/PipeWireAppIcons.hpp"
#include "platform/pipewire/PipeWireAudioSystem.hpp"

namespace sonvel::pw {

// Linux, with the applications a PipeWire server knows standing in for the
// registry of running applications Linux lacks: every process that plays or
// records through the server is a user's application, named as its client
// names itself. The build a live test applies to is the audio path's, the
// server's and its session manager's versions ("PipeWire 0.3.65, WirePlumber
// 0.4.13"), not the kernel's: a kernel update changes nothing a test proved.
class PipeWireSystemServices final : public SystemServices {
  public:
    explicit PipeWireSystemServices(std::shared_ptr<const PipeWireAudioSystem> audio)
        : audio_(std::move(audio)) {}

    [[nodiscard]] ProcessID ownPID() const override { return linux_.ownPID(); }
    [[nodiscard]] std::vector<RunningApplication> runningApplications() const override;
    [[nodiscard]] std::optional<RunningApplication> runningApplication(
        ProcessID pid) const override;
    [[nodiscard]] std::optional<Bundle> bundle(const std::string&) const override {
        return std::nullopt;
    }
    [[nodiscard]] std::optional<std::string> processPath(ProcessID pid) const override {
        return linux_.processPath(pid);
    }
    // "kern.osversion" is the audio path's build.
    [[nodiscard]] std::optional<std::string> systemValue(const std::string& name) const override;

    // "PipeWire 0.3.65, WirePlumber 0.4.13"; the session manager's part only
    // where its version is known. An empty server version takes the library's.
    static std::string build(const PipeWireAudioSystem::Versions& versions,
                             std::string_view sessionManagerMaps);
    // The WirePlumber library's version in a process's memory map
    // (/proc/PID/maps), which names the library's file, "…so.0.4.13".
    static std::string wirePlumberVersion(std::string_view maps);
    [[nodiscard]] std::optional<std::string> iconName(const std::string& path) const override {
        return applicationIcon(audio_->applications(), path);
    }

  private:
    std::shared_ptr<const PipeWireAudioSystem> audio_;
    LinuxSystemServices linux_;
};

}  // namespace sonvel::pw
