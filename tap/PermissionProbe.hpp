#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <vector>

#include "core/EngineMeter.hpp"
#include "tap/AudioHardware.hpp"
#include "tap/CleanupStack.hpp"
#include "tap/GainTapEngineError.hpp"

namespace sonvel {

// Proves that captured audio arrives: an unmuted, private, system-wide tap
// (leaving out the given processes) in a capture-only aggregate whose IO
// procedure only counts what it hears. Nobody hears a difference.
class PermissionProbe {
  public:
    static std::expected<std::shared_ptr<PermissionProbe>, EngineError> make(
        std::shared_ptr<AudioHardware> hal, std::vector<AudioObjectID> excludedProcessObjectIDs);
    ~PermissionProbe();
    PermissionProbe(const PermissionProbe&) = delete;
    PermissionProbe& operator=(const PermissionProbe&) = delete;

    [[nodiscard]] std::uint64_t nonZeroSamples() const {
        return meter_->totalInputNonZeroSamples();
    }
    [[nodiscard]] const EngineMeter& meter() const { return *meter_; }
    std::vector<CleanupStack::Failure> stop();

  private:
    explicit PermissionProbe(std::shared_ptr<AudioHardware> hal);
    std::expected<void, EngineError> build(const std::vector<AudioObjectID>& excluded);

    std::shared_ptr<AudioHardware> hal_;
    std::shared_ptr<EngineMeter> meter_;
    CleanupStack cleanup_;
};

}  // namespace sonvel
