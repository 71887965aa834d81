#include "tap/TapCreation.hpp"

#include <fmt/format.h>

#include "tap/AudioObject.hpp"
#include "tap/AudioSystem.hpp"
#include "tap/Release.hpp"

namespace sonvel {

namespace {

std::unexpected<EngineError> fail(std::string operation, OSStatus status) {
    return std::unexpected(EngineError{CoreAudioError{std::move(operation), status}});
}

std::unexpected<EngineError> invalid(std::string operation) {
    return std::unexpected(EngineError{GainTapEngineError::InvalidObjectID{std::move(operation)}});
}

}  // namespace

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
        return fail("AudioHardwareCreateProcessTap", s);
    }
    if (tap == hal::unknownObject) return invalid("AudioHardwareCreateProcessTap");
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

std::expected<AudioObjectID, EngineError> createAggregate(const std::shared_ptr<AudioHardware>& hal,
                                                          const nlohmann::json& description,
                                                          CleanupStack& cleanup,
                                                          std::string_view label) {
    AudioObjectID aggregate = hal::unknownObject;
    if (const OSStatus s = hal->createAggregateDevice(description, aggregate)) {
        if (const auto made =
                AudioSystem::deviceID(*hal, description.at("uid").get<std::string>())) {
            (void)hal->destroyAggregateDevice(*made);
        }
        return fail("AudioHardwareCreateAggregateDevice", s);
    }
    if (aggregate == hal::unknownObject) return invalid("AudioHardwareCreateAggregateDevice");
    cleanup.push(fmt::format("{} {}", label, aggregate),
                 release([hal, aggregate] { return hal->destroyAggregateDevice(aggregate); },
                         fmt::format("AudioHardwareDestroyAggregateDevice({})", aggregate)));
    return aggregate;
}

std::expected<AudioDeviceIOProcID, EngineError> createIOProc(
    const std::shared_ptr<AudioHardware>& hal, AudioObjectID device, AudioDeviceIOBlock block,
    CleanupStack& cleanup, std::string_view label) {
    AudioDeviceIOProcID proc = 0;
    if (const OSStatus s = hal->createIOProcIDWithBlock(device, nullptr, std::move(block), proc)) {
        if (proc != 0) (void)hal->destroyIOProcID(device, proc);
        return fail("AudioDeviceCreateIOProcIDWithBlock", s);
    }
    if (proc == 0) return invalid("AudioDeviceCreateIOProcIDWithBlock");
    cleanup.push(fmt::format("{} {}", label, device),
                 release([hal, device, proc] { return hal->destroyIOProcID(device, proc); },
                         fmt::format("AudioDeviceDestroyIOProcID({})", device)));
    return proc;
}

std::expected<void, EngineError> startIO(const std::shared_ptr<AudioHardware>& hal,
                                         AudioObjectID device, AudioDeviceIOProcID proc,
                                         CleanupStack& cleanup, std::string_view name) {
    if (const OSStatus s = hal->deviceStart(device, proc)) {
        (void)hal->deviceStop(device, proc);  // in case IO started all the same
        return fail(fmt::format("AudioDeviceStart({})", name), s);
    }
    cleanup.push(fmt::format("stop IO on {}", name),
                 release([hal, device, proc] { return hal->deviceStop(device, proc); },
                         fmt::format("AudioDeviceStop({})", device)));
    return {};
}

}  // namespace sonvel
