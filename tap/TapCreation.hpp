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

}  // namespace sonvel
