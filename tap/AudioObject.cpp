#include "tap/AudioObject.hpp"

#include <fmt/format.h>

namespace sonvel::AudioObject {

std::string getText(AudioObjectPropertySelector selector, AudioObjectID object) {
    return fmt::format("Get '{}' on object {}", selectorName(selector), object);
}

std::string getSizeText(AudioObjectPropertySelector selector, AudioObjectID object) {
    return fmt::format("Get size of '{}' on object {}", selectorName(selector), object);
}

namespace {

// Size query then a read into storage of that size; the storage is cut to
// the bytes actually returned. An empty property makes no data call.
std::expected<std::vector<std::byte>, CoreAudioError> readBytes(AudioHardware& hal,
                                                                AudioObjectID object,
                                                                AudioObjectPropertyAddress address,
                                                                const std::string& sizeText,
                                                                const std::string& readText) {
    std::uint32_t size = 0;
    OSStatus status = hal.getPropertyDataSize(object, address, {}, size);
    if (status != hal::noError) return std::unexpected(CoreAudioError{sizeText, status});
    std::vector<std::byte> bytes(size);
    if (size == 0) return bytes;
    status = hal.getPropertyData(object, address, {}, size, bytes.data());
    if (status != hal::noError) return std::unexpected(CoreAudioError{readText, status});
    bytes.resize(std::min<std::size_t>(size, bytes.size()));
    return bytes;
}

}  // namespace

std::expected<std::vector<AudioObjectID>, CoreAudioError> readObjectIDs(
    AudioHardware& hal, AudioObjectID object, AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope) {
    auto bytes = readBytes(hal, object, {selector, scope, hal::mainElement},
                           getSizeText(selector, object), getText(selector, object));
    if (!bytes) return std::unexpected(bytes.error());
    std::vector<AudioObjectID> ids(bytes->size() / sizeof(AudioObjectID));
    if (!ids.empty()) std::memcpy(ids.data(), bytes->data(), ids.size() * sizeof(AudioObjectID));
    return ids;
}

std::expected<std::optional<std::string>, CoreAudioError> readString(
    AudioHardware& hal, AudioObjectID object, AudioObjectPropertySelector selector) {
    const std::string text = getText(selector, object);
    auto bytes = readBytes(hal, object, {selector, hal::globalScope, hal::mainElement}, text, text);
    if (!bytes) return std::unexpected(bytes.error());
    if (bytes->empty()) return std::optional<std::string>();
    return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

std::expected<bool, CoreAudioError> readBool(AudioHardware& hal, AudioObjectID object,
                                             AudioObjectPropertySelector selector) {
    const auto value = readValue<std::uint32_t>(hal, object, selector);
    if (!value) return std::unexpected(value.error());
    return *value != 0;
}

std::expected<std::vector<long>, CoreAudioError> readBufferChannelCounts(
    AudioHardware& hal, AudioObjectID object, AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope) {
    auto bytes = readBytes(hal, object, {selector, scope, hal::mainElement},
                           getSizeText(selector, object), getText(selector, object));
    if (!bytes) return std::unexpected(bytes.error());
    // A 32-bit buffer count, padding to 8 bytes, then the buffers.
    constexpr std::size_t header = 8;
    std::vector<long> counts;
    if (bytes->size() < sizeof(std::uint32_t)) return counts;
    std::uint32_t buffers = 0;
    std::memcpy(&buffers, bytes->data(), sizeof buffers);
    for (std::size_t i = 0; i < buffers; ++i) {
        const std::size_t at = header + i * sizeof(AudioBuffer);
        if (at + sizeof(AudioBuffer) > bytes->size()) break;
        AudioBuffer buffer;
        std::memcpy(&buffer, bytes->data() + at, sizeof buffer);
        counts.push_back(buffer.channelCount);
    }
    return counts;
}

}  // namespace sonvel::AudioObject
