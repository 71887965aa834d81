#pragma once

#include <expected>
#include <memory>
#include <string_view>

#include "tap/AudioHardware.hpp"
#include "tap/CleanupStack.hpp"
#include "tap/GainTapEngineError.hpp"

namespace sonvel {

struct CreatedTap {
    AudioObjectID id = 0;
    AudioStreamBasicDescription format;
};

// Creates a process tap, pushes its release on `cleanup` (labelled `label`
// and the tap's ID) the moment it exists, and checks that it delivers 32-bit
// float linear PCM, the only format the render path reads.
std::expected<CreatedTap, EngineError> createFloat32Tap(const std::shared_ptr<AudioHardware>& hal,
                                                        const TapDescription& description,
                                                        CleanupStack& cleanup,
                                                        std::string_view label);

// Creates the aggregate device `description` asks for (its "uid" names it) and
// pushes its destruction on `cleanup` the moment it exists. One the server
// made while reporting failure is destroyed at once: it would hold its tap.
std::expected<AudioObjectID, EngineError> createAggregate(const std::shared_ptr<AudioHardware>& hal,
                                                          const nlohmann::json& description,
                                                          CleanupStack& cleanup,
                                                          std::string_view label);

std::expected<AudioDeviceIOProcID, EngineError> createIOProc(
    const std::shared_ptr<AudioHardware>& hal, AudioObjectID device, AudioDeviceIOBlock block,
    CleanupStack& cleanup, std::string_view label);

// `name` stands in the failure ("AudioDeviceStart(name)") and the clean-up's label.
std::expected<void, EngineError> startIO(const std::shared_ptr<AudioHardware>& hal,
                                         AudioObjectID device, AudioDeviceIOProcID proc,
                                         CleanupStack& cleanup, std::string_view name);

}  // namespace sonvel
