#pragma once

#include <cstdint>
#include <optional>

#include "core/AudioBufferList.hpp"
#include "core/RenderStats.hpp"

namespace sonvel::RenderKernel {

// Where one channel's samples are: sample i is at address[i * stride].
struct ChannelPointer {
    float* address = nullptr;
    std::int64_t stride = 0;

    bool operator==(const ChannelPointer&) const = default;
};

// Whole frames available in every buffer from `firstBuffer` on that has
// channels and data; 0 when none qualifies.
std::int64_t frameCount(const AudioBufferList& list, std::int64_t firstBuffer);

// Flat channel `channel`, counted across buffers from `firstBuffer`.
std::optional<ChannelPointer> locate(const AudioBufferList& list, std::int64_t channel,
                                     std::int64_t firstBuffer);

// One IO cycle: maps the input channels from `firstInputBuffer` on onto every
// output channel, ramping linearly from `fromGain` to reach `toGain` on the
// last rendered frame, and measures both sides. Output frames beyond the
// input are silence, so every located output channel is overwritten.
// Real-time safe: no allocation, lock or system call.
RenderStats render(const AudioBufferList* input, std::int64_t firstInputBuffer,
                   const AudioBufferList& output, float fromGain, float toGain);

}  // namespace sonvel::RenderKernel
