#pragma once

#include <atomic>

#include "MixerEngine/SystemServices.hpp"
#include "platform/sim/SimulatedWorld.hpp"

namespace sonvel::sim {

// The operating system of a simulated world, as the process inspector sees it.
class SimulatedSystemServices final : public SystemServices {
  public:
    explicit SimulatedSystemServices(const SimulatedWorld& world) : world_(world) {}

    [[nodiscard]] ProcessID ownPID() const override { return world_.ownPID(); }
    [[nodiscard]] std::optional<std::string> iconName(const std::string& path) const override {
        return world_.iconName(path);
    }
    [[nodiscard]] std::vector<RunningApplication> runningApplications() const override;
    [[nodiscard]] std::optional<RunningApplication> runningApplication(
        ProcessID pid) const override;
    [[nodiscard]] std::optional<Bundle> bundle(const std::string& path) const override;
    [[nodiscard]] std::optional<std::string> processPath(ProcessID pid) const override;
    [[nodiscard]] std::optional<std::string> systemValue(const std::string& name) const override;

    // How often a bundle on disk was opened.
    [[nodiscard]] std::size_t bundleLookups() const { return bundleLookups_.load(); }

  private:
    const SimulatedWorld& world_;
    mutable std::atomic<std::size_t> bundleLookups_{0};
};

}  // namespace sonvel::sim
