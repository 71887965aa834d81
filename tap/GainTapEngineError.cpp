#include "tap/GainTapEngineError.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace sonvel {

std::string GainTapEngineError::description() const {
    return visit(Overloaded{
        [](const InvalidObjectID& e) { return e.operation + " returned kAudioObjectUnknown."; },
        [](const UnsupportedTapFormat& e) {
            return fmt::format("Tap format is not Float32 linear PCM (flags={}, bits={}).", e.flags,
                               e.bits);
        },
        [](const UnexpectedInputLayout& e) {
            return fmt::format(
                "Aggregate input layout [{}] does not end with the tap's {} channel(s) after {} "
                "device input buffer(s); refusing to guess which buffer is the tap.",
                fmt::join(e.aggregateInputBuffers, ", "), e.tapChannels, e.deviceInputBuffers);
        },
        [](const UnmutedPlan&) {
            return std::string("Re-rendering an unmuted tap would double the audio; refusing.");
        },
        [](const NoOutputDevice&) {
            return std::string("There is no usable default output device.");
        },
        [](const MissingBundleID&) {
            return std::string("Tapping by bundle ID needs a bundle ID.");
        },
        [](const NoProcesses&) { return std::string("No processes to tap."); },
        [](const NoOutputChannels&) {
            return std::string("The aggregate device has no output channels.");
        },
        [](const Stopped&) { return std::string("The engine was already stopped."); },
    });
}

}  // namespace sonvel
