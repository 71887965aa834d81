#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tap/AudioHardware.hpp"

namespace sonvel {

namespace OSStatusFormatter {

// The four bytes, most significant first, when every one is printable ASCII.
std::optional<std::string> fourCharacterCode(std::uint32_t value);
// 'code' (number) when the status reads as a code, else the number.
std::string describe(OSStatus status);

}  // namespace OSStatusFormatter

// A selector's code when it has one, else its decimal value.
std::string selectorName(AudioObjectPropertySelector selector);

namespace PCMFormat {

constexpr std::uint32_t linearPCM = fourCC("lpcm");
constexpr std::uint32_t isFloatFlag = 1;

constexpr bool isFloat32LinearPCM(std::uint32_t formatID, std::uint32_t formatFlags,
                                  std::uint32_t bitsPerChannel) {
    return formatID == linearPCM && bitsPerChannel == 32 && (formatFlags & isFloatFlag) != 0;
}

}  // namespace PCMFormat

// A failed call to the audio hardware layer: what was attempted and the status.
struct CoreAudioError {
    std::string operation;
    OSStatus status = 0;

    [[nodiscard]] std::string description() const {
        return operation + " failed: " + OSStatusFormatter::describe(status);
    }

    bool operator==(const CoreAudioError&) const = default;
};

}  // namespace sonvel
