#pragma once

#include <cstdint>
#include <span>

namespace sonvel {

// One buffer of an IO cycle, laid out as the audio hardware layer hands it
// over: interleaved 32-bit float samples, `channelCount` per frame.
struct AudioBuffer {
    std::uint32_t channelCount = 0;
    std::uint32_t byteSize = 0;
    float* data = nullptr;  // may be absent
};

// The buffers of one side (input or output) of an IO cycle. A view: the
// buffers and their samples belong to whoever calls the IO procedure.
struct AudioBufferList {
    std::span<const AudioBuffer> buffers;
};

}  // namespace sonvel
