#include "core/RenderKernel.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>

// The hot loops are written with GCC vector extensions so that they vectorise
// at the project's default optimisation level, and cloned for AVX2 where the
// processor has it (chosen once, at load time).
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define SONVEL_VECTOR_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define SONVEL_VECTOR_CLONES
#endif

namespace sonvel::RenderKernel {

namespace {

using F8 = float __attribute__((vector_size(32)));
using D4 = double __attribute__((vector_size(32)));
using I8 = std::int32_t __attribute__((vector_size(32)));

struct Tally {
    float peak = 0.0f;
    double squares = 0.0;
    std::int64_t nonZero = 0;
};

[[gnu::always_inline]] inline F8 load(const float* p) {
    F8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store(float* p, F8 v) {
    std::memcpy(p, &v, sizeof v);
}

// Peak, sum of squares (in 64-bit, eight partial sums) and non-zero count of
// n contiguous samples. NaN counts as non-zero and never becomes the peak.
SONVEL_VECTOR_CLONES
Tally measure(const float* p, std::size_t n) {
    const F8 zero = {};
    F8 peak = {};
    D4 low = {}, high = {};
    I8 nonZero = {};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const F8 v = load(p + i);
        const F8 magnitude = v < zero ? -v : v;
        peak = magnitude > peak ? magnitude : peak;
        nonZero -= (v != zero);
        const D4 a = __builtin_convertvector(__builtin_shufflevector(v, v, 0, 1, 2, 3), D4);
        const D4 b = __builtin_convertvector(__builtin_shufflevector(v, v, 4, 5, 6, 7), D4);
        low += a * a;
        high += b * b;
    }
    Tally t;
    for (int lane = 0; lane < 8; ++lane) {
        t.peak = peak[lane] > t.peak ? peak[lane] : t.peak;
        t.nonZero += nonZero[lane];
    }
    for (int lane = 0; lane < 4; ++lane) t.squares += low[lane] + high[lane];
    for (; i < n; ++i) {
        const float magnitude = std::fabs(p[i]);
        t.peak = magnitude > t.peak ? magnitude : t.peak;
        t.nonZero += p[i] != 0.0f;
        t.squares += static_cast<double>(p[i]) * static_cast<double>(p[i]);
    }
    return t;
}

SONVEL_VECTOR_CLONES
void scaleFlat(float* out, const float* in, std::size_t n, float gain) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) store(out + i, load(in + i) * gain);
    for (; i < n; ++i) out[i] = gain * in[i];
}

// Gain of frame i is from + (i + 1) * step, in 32-bit arithmetic, exactly as
// a per-frame loop computes it.
SONVEL_VECTOR_CLONES
void rampMono(float* out, const float* in, std::size_t frames, float from, float step) {
    const F8 lanes = {1, 2, 3, 4, 5, 6, 7, 8};
    std::size_t i = 0;
    for (; i + 8 <= frames; i += 8) {
        const F8 gain = from + (static_cast<float>(i) + lanes) * step;
        store(out + i, gain * load(in + i));
    }
    for (; i < frames; ++i) out[i] = (from + static_cast<float>(i + 1) * step) * in[i];
}

SONVEL_VECTOR_CLONES
void rampStereo(float* out, const float* in, std::size_t frames, float from, float step) {
    const F8 lanes = {1, 1, 2, 2, 3, 3, 4, 4};
    std::size_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        const F8 gain = from + (static_cast<float>(i) + lanes) * step;
        store(out + 2 * i, gain * load(in + 2 * i));
    }
    for (; i < frames; ++i) {
        const float gain = from + static_cast<float>(i + 1) * step;
        out[2 * i] = gain * in[2 * i];
        out[2 * i + 1] = gain * in[2 * i + 1];
    }
}

void rampInterleaved(float* out, const float* in, std::size_t frames, std::size_t channels,
                     float from, float step) {
    for (std::size_t i = 0; i < frames; ++i) {
        const float gain = from + static_cast<float>(i + 1) * step;
        for (std::size_t c = 0; c < channels; ++c) {
            out[i * channels + c] = gain * in[i * channels + c];
        }
    }
}

bool isValidIndex(const AudioBufferList& list, std::int64_t index) {
    return index >= 0 && static_cast<std::size_t>(index) < list.buffers.size();
}

std::int64_t channelTotal(const AudioBufferList* list, std::int64_t first) {
    if (!list || !isValidIndex(*list, first)) return 0;
    std::int64_t total = 0;
    for (auto b = static_cast<std::size_t>(first); b < list->buffers.size(); ++b) {
        total += list->buffers[b].channelCount;
    }
    return total;
}

bool holdsSamples(const AudioBuffer& buffer) {
    return buffer.channelCount > 0 && buffer.data != nullptr;
}

// The input channel(s) feeding output channel `o`; a second source means the
// two are averaged.
struct Sources {
    std::optional<ChannelPointer> first;
    std::optional<ChannelPointer> second;
};

Sources sourcesFor(std::int64_t o, std::int64_t inChannels, std::int64_t outChannels,
                   const AudioBufferList* input, std::int64_t firstInputBuffer) {
    if (inChannels == 0 || !input) return {};
    if (inChannels >= 2 && outChannels == 1) {
        return {locate(*input, 0, firstInputBuffer), locate(*input, 1, firstInputBuffer)};
    }
    if (inChannels == 1) {
        if (o >= 2) return {};
        return {locate(*input, 0, firstInputBuffer), std::nullopt};
    }
    if (o < inChannels) return {locate(*input, o, firstInputBuffer), std::nullopt};
    return {};
}

// One output channel from its sources, frame by frame.
void renderChannel(float* out, std::size_t stride, const Sources& s, std::size_t frames,
                   std::size_t rendered, float from, float step) {
    std::size_t i = 0;
    if (s.first && s.second) {
        const float* a = s.first->address;
        const float* b = s.second->address;
        const auto sa = static_cast<std::size_t>(s.first->stride);
        const auto sb = static_cast<std::size_t>(s.second->stride);
        for (; i < rendered; ++i) {
            const float gain = from + static_cast<float>(i + 1) * step;
            out[i * stride] = gain * ((a[i * sa] + b[i * sb]) * 0.5f);
        }
    } else if (s.first) {
        const float* a = s.first->address;
        const auto sa = static_cast<std::size_t>(s.first->stride);
        for (; i < rendered; ++i) {
            out[i * stride] = (from + static_cast<float>(i + 1) * step) * a[i * sa];
        }
    }
    for (; i < frames; ++i) out[i * stride] = 0.0f;
}

struct Mapping {
    const AudioBufferList* input;
    std::int64_t firstInputBuffer;
    std::int64_t inChannels;
    std::int64_t outChannels;

    [[nodiscard]] Sources operator()(std::int64_t o) const {
        return sourcesFor(o, inChannels, outChannels, input, firstInputBuffer);
    }
};

// The input samples that fill the whole output buffer one to one, when its
// channels come in order from one input buffer with the same interleaving:
// then the buffer is rendered as one contiguous run.
const float* contiguousSource(const AudioBuffer& buffer, std::int64_t firstFlat,
                              const Mapping& mapping) {
    const Sources head = mapping(firstFlat);
    if (!head.first || head.second || head.first->stride != buffer.channelCount) return nullptr;
    for (std::uint32_t c = 1; c < buffer.channelCount; ++c) {
        const Sources next = mapping(firstFlat + c);
        if (!next.first || next.second || next.first->address != head.first->address + c ||
            next.first->stride != head.first->stride) {
            return nullptr;
        }
    }
    return head.first->address;
}

}  // namespace

std::int64_t frameCount(const AudioBufferList& list, std::int64_t firstBuffer) {
    if (!isValidIndex(list, firstBuffer)) return 0;
    std::optional<std::int64_t> smallest;
    for (auto b = static_cast<std::size_t>(firstBuffer); b < list.buffers.size(); ++b) {
        const AudioBuffer& buffer = list.buffers[b];
        if (!holdsSamples(buffer)) continue;
        const std::int64_t frames = buffer.byteSize / (std::int64_t{buffer.channelCount} * 4);
        if (!smallest || frames < *smallest) smallest = frames;
    }
    return smallest.value_or(0);
}

std::optional<ChannelPointer> locate(const AudioBufferList& list, std::int64_t channel,
                                     std::int64_t firstBuffer) {
    if (channel < 0 || !isValidIndex(list, firstBuffer)) return std::nullopt;
    for (auto b = static_cast<std::size_t>(firstBuffer); b < list.buffers.size(); ++b) {
        const AudioBuffer& buffer = list.buffers[b];
        if (channel >= buffer.channelCount) {
            channel -= buffer.channelCount;
            continue;
        }
        if (!buffer.data) return std::nullopt;
        return ChannelPointer{buffer.data + channel, buffer.channelCount};
    }
    return std::nullopt;
}

RenderStats render(const AudioBufferList* input, std::int64_t firstInputBuffer,
                   const AudioBufferList& output, float fromGain, float toGain) {
    RenderStats stats;
    const std::int64_t inChannels = channelTotal(input, firstInputBuffer);
    const std::int64_t outChannels = channelTotal(&output, 0);
    const std::int64_t outFrames = frameCount(output, 0);
    const std::int64_t inFrames = input ? frameCount(*input, firstInputBuffer) : 0;
    const std::int64_t rendered = std::min(outFrames, inFrames);
    stats.frames = rendered;

    // Every channel of an input buffer that holds samples is located, so the
    // buffer's first inFrames frames are measured as one contiguous run.
    if (inChannels > 0) {
        for (auto b = static_cast<std::size_t>(firstInputBuffer); b < input->buffers.size(); ++b) {
            const AudioBuffer& buffer = input->buffers[b];
            if (!holdsSamples(buffer)) continue;
            const Tally t =
                measure(buffer.data, static_cast<std::size_t>(inFrames) * buffer.channelCount);
            stats.inputPeak = t.peak > stats.inputPeak ? t.peak : stats.inputPeak;
            stats.inputSumOfSquares += t.squares;
            stats.inputNonZeroSamples += t.nonZero;
            stats.inputSampleCount += inFrames * buffer.channelCount;
        }
    }

    const float step = rendered > 0 ? (toGain - fromGain) / static_cast<float>(rendered) : 0.0f;
    const auto frames = static_cast<std::size_t>(outFrames);
    const auto renderedFrames = static_cast<std::size_t>(rendered);

    const Mapping mapping{input, firstInputBuffer, inChannels, outChannels};
    std::int64_t flat = 0;
    for (const AudioBuffer& buffer : output.buffers) {
        const std::int64_t first = flat;
        flat += buffer.channelCount;
        if (!holdsSamples(buffer)) continue;
        const std::size_t channels = buffer.channelCount;

        const float* in = renderedFrames > 0 ? contiguousSource(buffer, first, mapping) : nullptr;
        if (in) {
            if (step == 0.0f) {
                scaleFlat(buffer.data, in, renderedFrames * channels, fromGain);
            } else if (channels == 1) {
                rampMono(buffer.data, in, renderedFrames, fromGain, step);
            } else if (channels == 2) {
                rampStereo(buffer.data, in, renderedFrames, fromGain, step);
            } else {
                rampInterleaved(buffer.data, in, renderedFrames, channels, fromGain, step);
            }
            std::memset(buffer.data + renderedFrames * channels, 0,
                        (frames - renderedFrames) * channels * sizeof(float));
        } else {
            for (std::size_t c = 0; c < channels; ++c) {
                renderChannel(buffer.data + c, channels, mapping(first + std::int64_t(c)), frames,
                              renderedFrames, fromGain, step);
            }
        }

        const Tally t = measure(buffer.data, frames * channels);
        stats.outputPeak = t.peak > stats.outputPeak ? t.peak : stats.outputPeak;
        stats.outputSumOfSquares += t.squares;
        stats.outputSampleCount += outFrames * buffer.channelCount;
    }
    return stats;
}

}  // namespace sonvel::RenderKernel
