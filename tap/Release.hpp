#pragma once

#include <functional>
#include <string>

#include "tap/AudioHardware.hpp"
#include "tap/CleanupStack.hpp"
#include "tap/CoreAudioError.hpp"

namespace sonvel {

// An undo action for a cleanup stack that makes one call to the audio
// hardware layer and reports a failure as that call's error sentence.
inline CleanupStack::Action release(std::function<OSStatus()> call, std::string operation) {
    return [call = std::move(call),
            operation = std::move(operation)]() -> std::expected<void, std::string> {
        if (const OSStatus status = call(); status != hal::noError) {
            return std::unexpected(CoreAudioError{operation, status}.description());
        }
        return {};
    };
}

}  // namespace sonvel
