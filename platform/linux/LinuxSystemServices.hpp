#pragma once

#include "MixerEngine/SystemServices.hpp"

namespace sonvel {

// The real operating system on Linux. Linux has no registry of running
// applications with activation policies and no application bundles, so those
// answer nothing; process paths come from /proc and the build is the kernel's
// release string (PipeWireSystemServices names the audio path's instead, which
// is what a live test proves).
class LinuxSystemServices final : public SystemServices {
  public:
    [[nodiscard]] ProcessID ownPID() const override;
    [[nodiscard]] std::vector<RunningApplication> runningApplications() const override {
        return {};
    }
    [[nodiscard]] std::optional<RunningApplication> runningApplication(ProcessID) const override {
        return std::nullopt;
    }
    [[nodiscard]] std::optional<Bundle> bundle(const std::string&) const override {
        return std::nullopt;
    }
    [[nodiscard]] std::optional<std::string> processPath(ProcessID pid) const override;
    [[nodiscard]] std::optional<std::string> systemValue(const std::string& name) const override;
};

}  // namespace sonvel
