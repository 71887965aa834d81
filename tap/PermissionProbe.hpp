#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
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
    // The meter alone, so a reader never keeps the probe's objects alive.
    [[nodiscard]] std::shared_ptr<const EngineMeter> sharedMeter() const { return meter_; }
    std::vector<CleanupStack::Failure> stop();
    // After an audio-server restart: forget the vanished objects.
    void abandon() { (void)cleanup_.discardAll(); }
    // Whether its aggregate still exists on the server it talks to now.
    [[nodiscard]] bool isAlive() const;

  private:
    explicit PermissionProbe(std::shared_ptr<AudioHardware> hal);
    std::expected<void, EngineError> build(const std::vector<AudioObjectID>& excluded);

    std::shared_ptr<AudioHardware> hal_;
    std::shared_ptr<EngineMeter> meter_;
    CleanupStack cleanup_;
    AudioObjectID aggregateID_ = 0;
    std::string aggregateUID_;
};

}  // namespace sonvel
