#pragma once

// What a server behind the hardware seam hands back for a property read: the
// value's bytes in the documented C layout, and whether the value has a fixed
// size (a caller's buffer smaller than a fixed-size value is an error, while
// strings and lists are cut to fit). Shared by every backend so that they
// encode values the same way.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tap/AudioHardware.hpp"

namespace sonvel {

struct PropertyBytes {
    std::vector<std::byte> data;
    bool fixedSize = true;

    template <class T>
    static PropertyBytes of(const T& value) {
        PropertyBytes b;
        b.data.resize(sizeof(T));
        std::memcpy(b.data.data(), &value, sizeof(T));
        return b;
    }
    static PropertyBytes text(const std::string& s) {
        PropertyBytes b;
        b.fixedSize = false;
        b.data.resize(s.size());
        if (!s.empty()) std::memcpy(b.data.data(), s.data(), s.size());
        return b;
    }
    static PropertyBytes ids(const std::vector<AudioObjectID>& list) {
        PropertyBytes b;
        b.fixedSize = false;
        b.data.resize(list.size() * sizeof(AudioObjectID));
        if (!list.empty()) std::memcpy(b.data.data(), list.data(), b.data.size());
        return b;
    }
    // An AudioBufferList layout: one buffer per entry, with its channel count.
    static PropertyBytes layout(const std::vector<std::uint32_t>& streams) {
        PropertyBytes b;
        b.data.resize(8 + streams.size() * sizeof(AudioBuffer));
        const auto count = static_cast<std::uint32_t>(streams.size());
        std::memcpy(b.data.data(), &count, sizeof count);
        for (std::size_t i = 0; i < streams.size(); ++i) {
            const AudioBuffer buffer{streams[i], 0, nullptr};
            std::memcpy(b.data.data() + 8 + i * sizeof(AudioBuffer), &buffer, sizeof buffer);
        }
        return b;
    }

    // Copies the value into a caller's buffer of `ioSize` bytes, at most
    // `limit` of them, and reports how many arrived.
    [[nodiscard]] OSStatus copyTo(std::uint32_t& ioSize, void* out,
                                  std::uint32_t limit = UINT32_MAX) const {
        if (!out) return hal::paramError;
        if (fixedSize && ioSize < data.size()) return hal::badPropertySizeError;
        const std::uint32_t n = std::min({ioSize, static_cast<std::uint32_t>(data.size()), limit});
        if (n > 0) std::memcpy(out, data.data(), n);
        ioSize = n;
        return hal::noError;
    }
};

// The format every tap delivers: interleaved packed 32-bit float stereo.
inline AudioStreamBasicDescription float32Stereo(double rate) {
    AudioStreamBasicDescription f;
    f.sampleRate = rate;
    f.formatID = fourCC("lpcm");
    f.formatFlags = 1 | 8;  // float, packed
    f.bytesPerPacket = 8;
    f.framesPerPacket = 1;
    f.bytesPerFrame = 8;
    f.channelsPerFrame = 2;
    f.bitsPerChannel = 32;
    return f;
}

}  // namespace sonvel
