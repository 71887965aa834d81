#pragma once

#include <cstring>
#include <expected>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "tap/AudioHardware.hpp"
#include "tap/CoreAudioError.hpp"

namespace sonvel::AudioObject {

// Typed property reads on element 0. Each failure names the read:
// "Get 'slay' on object 73" (and "Get size of …" for size queries).

std::string getText(AudioObjectPropertySelector selector, AudioObjectID object);
std::string getSizeText(AudioObjectPropertySelector selector, AudioObjectID object);

template <class T>
requires std::is_trivially_copyable_v<T> std::expected<T, CoreAudioError> readValue(
    AudioHardware& hal, AudioObjectID object, AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope = hal::globalScope, T initial = T{}) {
    T value = initial;
    auto size = static_cast<std::uint32_t>(sizeof(T));
    const OSStatus status =
        hal.getPropertyData(object, {selector, scope, hal::mainElement}, {}, size, &value);
    if (status != hal::noError)
        return std::unexpected(CoreAudioError{getText(selector, object), status});
    // A value that arrived in part is not a value.
    if (size != sizeof(T))
        return std::unexpected(
            CoreAudioError{getText(selector, object), hal::badPropertySizeError});
    return value;
}

std::expected<std::vector<AudioObjectID>, CoreAudioError> readObjectIDs(
    AudioHardware& hal, AudioObjectID object, AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope = hal::globalScope);

// Absent when the property holds no string.
std::expected<std::optional<std::string>, CoreAudioError> readString(
    AudioHardware& hal, AudioObjectID object, AudioObjectPropertySelector selector);

std::expected<bool, CoreAudioError> readBool(AudioHardware& hal, AudioObjectID object,
                                             AudioObjectPropertySelector selector);

// The channel count of each buffer of a stream configuration, in order.
std::expected<std::vector<long>, CoreAudioError> readBufferChannelCounts(
    AudioHardware& hal, AudioObjectID object, AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope);

}  // namespace sonvel::AudioObject
