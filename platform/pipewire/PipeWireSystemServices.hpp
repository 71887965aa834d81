#pragma once

#include <memory>

#include "MixerEngine/SystemServices.hpp"
#include "platform/linux/LinuxSystemServices.hpp"
#include "platform/pipewire/PipeWireAudioSystem.hpp"

namespace sonvel::pw {

// Linux, with the applications a PipeWire server knows standing in for the
// registry of running applications Linux lacks: every process that plays or
// records through the server is a user's application, named as its client
// names itself.
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
    [[nodiscard]] std::optional<std::string> systemValue(const std::string& name) const override {
        return linux_.systemValue(name);
    }

  private:
    std::shared_ptr<const PipeWireAudioSystem> audio_;
    LinuxSystemServices linux_;
};

}  // namespace sonvel::pw
