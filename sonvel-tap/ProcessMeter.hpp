#pragma once

#include <array>
#include <expected>
#include <memory>
#include <ostream>
#include <vector>

#include "core/EngineMeter.hpp"
#include "sonvel-tap/Pacer.hpp"
#include "sonvel-tap/TapArguments.hpp"
#include "tap/AudioHardware.hpp"
#include "tap/CleanupStack.hpp"
#include "tap/GainTapEngineError.hpp"

namespace sonvel {

// An unmuted private tap on one process in a capture-only aggregate whose IO
// procedure meters each tapped channel on its own. The application keeps
// playing as before: this is how to see what a backend's tap delivers before
// trusting it with a muting one.
class ProcessMeter {
  public:
    // Channels past this many are not metered.
    static constexpr std::size_t maxChannels = 8;

    static std::expected<std::unique_ptr<ProcessMeter>, EngineError> make(
        std::shared_ptr<AudioHardware> hal, AudioObjectID process);
    ~ProcessMeter();
    ProcessMeter(const ProcessMeter&) = delete;
    ProcessMeter& operator=(const ProcessMeter&) = delete;

    // What each channel captured since the previous call.
    std::vector<MeterSnapshot> take();
    [[nodiscard]] long channels() const { return channels_; }
    std::vector<CleanupStack::Failure> stop() { return cleanup_.runAll(); }

    // The `meter` command: the levels once a second, then for the whole run.
    static std::expected<RunEnd, CommandFailure> run(const std::shared_ptr<AudioHardware>& hal,
                                                     const MeterCommand& command, Pacer& pacer,
                                                     std::ostream& out);

  private:
    using Meters = std::array<EngineMeter, maxChannels>;
    explicit ProcessMeter(std::shared_ptr<AudioHardware> hal);
    std::expected<void, EngineError> build(AudioObjectID process);

    std::shared_ptr<AudioHardware> hal_;
    std::shared_ptr<Meters> meters_;
    long channels_ = 0;
    CleanupStack cleanup_;
};

}  // namespace sonvel
