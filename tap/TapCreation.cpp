#include "tap/TapCreation.hpp"

#include <fmt/format.h>

#include "tap/AudioObject.hpp"
#include "tap/AudioSystem.hpp"
#include "tap/Release.hpp"

namespace sonvel {

std::expected<CreatedTap, EngineError> createFloat32Tap(const std::shared_ptr<AudioHardware>& hal,
                                                        const TapDescription& description,
                                                        CleanupStack& cleanup,
                                                        std::string_view label) {
    AudioObjectID tap = hal::unknownObject;
    if (const OSStatus s = hal->createProcessTap(description, tap)) {
        // A server may create the tap and still report failure; a tap left
        // behind would keep its application muted.
        if (const auto made = AudioSystem::tapID(*hal, description.uuid)) {
            (void)hal->destroyProcessTap(*made);
        }
        return std::unexpected(EngineError{CoreAudioError{"AudioHardwareCreateProcessTap", s}});
    }
    if (tap == hal::unknownObject) {
        return std::unexpected(
            EngineError{GainTapEngineError::InvalidObjectID{"AudioHardwareCreateProcessTap"}});
    }
    cleanup.push(fmt::format("{} {}", label, tap),
                 release([hal, tap] { return hal->destroyProcessTap(tap); },
                         fmt::format("AudioHardwareDestroyProcessTap({})", tap)));

    const auto format =
        AudioObject::readValue<AudioStreamBasicDescription>(*hal, tap, hal::selector::tapFormat);
    if (!format) return std::unexpected(EngineError{format.error()});
    if (!PCMFormat::isFloat32LinearPCM(format->formatID, format->formatFlags,
                                       format->bitsPerChannel)) {
        return std::unexpected(EngineError{GainTapEngineError::UnsupportedTapFormat{
            format->formatID, format->formatFlags, format->bitsPerChannel}});
    }
    return CreatedTap{tap, *format};
}

}  // namespace sonvel
