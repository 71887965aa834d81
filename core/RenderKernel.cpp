#include "core/RenderKernel.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

// The hot loops are written with GCC vector extensions so that they vectorise
// at the project's default optimisation level, and cloned for x86-64-v3
// (AVX2 and FMA) where the processor has it (chosen once, at load time).
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define SONVEL_VECTOR_CLONES [[gnu::target_clones("arch=x86-64-v3", "default")]]
#else
#define SONVEL_VECTOR_CLONES
#endif

// For functions whose only multiply-adds add the square of a float widened to
// 64 bits to a sum: that square is exact, so a fused multiply-add rounds
// exactly as the multiply and the add do apart, and the file's rule against
// contraction (which keeps the gain arithmetic exact) costs them for nothing.
#define SONVEL_EXACT_SQUARES [[gnu::optimize("fp-contract=fast")]]

namespace sonvel::RenderKernel {

namespace {

using F8 = float __attribute__((vector_size(32)));
using D4 = double __attribute__((vector_size(32)));
using I8 = std::int32_t __attribute__((vector_size(32)));
using U4 = std::uint64_t __attribute__((vector_size(32)));
using F4 = float __attribute__((vector_size(16)));
using I4 = std::int32_t __attribute__((vector_size(16)));

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

[[gnu::always_inline]] inline F4 load4(const float* p) {
    F4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store(float* p, F8 v) {
    std::memcpy(p, &v, sizeof v);
}

// NaN counts as non-zero and never becomes the peak.
[[gnu::always_inline]] inline void tallyOne(Tally& t, float x) {
    const float magnitude = std::fabs(x);
    t.peak = magnitude > t.peak ? magnitude : t.peak;
    t.nonZero += x != 0.0f;
    t.squares += static_cast<double>(x) * static_cast<double>(x);
}

// Four samples from memory widened to 64 bits: written this way, GCC converts
// them with one instruction straight from memory, where widening half of a
// vector held in a register costs an extract first.
[[gnu::always_inline]] inline D4 widen(const float* p) {
    return D4{p[0], p[1], p[2], p[3]};
}

// Lane-wise reductions by shuffles within registers: a loop over the lanes
// would put the vector in memory, which costs more than a short run.
// NaN compares false, so it never becomes the largest or the smallest.
[[gnu::always_inline]] inline F4 halvesOf(F8 v, bool larger) {
    const F4 a = __builtin_shufflevector(v, v, 0, 1, 2, 3);
    const F4 b = __builtin_shufflevector(v, v, 4, 5, 6, 7);
    return larger ? (a > b ? a : b) : (a < b ? a : b);
}
[[gnu::always_inline]] inline float largest(F8 v) {
    F4 m = halvesOf(v, true);
    F4 s = __builtin_shufflevector(m, m, 2, 3, 0, 1);
    m = m > s ? m : s;
    s = __builtin_shufflevector(m, m, 1, 0, 3, 2);
    return m[0] > s[0] ? m[0] : s[0];
}
[[gnu::always_inline]] inline float smallest(F8 v) {
    F4 m = halvesOf(v, false);
    F4 s = __builtin_shufflevector(m, m, 2, 3, 0, 1);
    m = m < s ? m : s;
    s = __builtin_shufflevector(m, m, 1, 0, 3, 2);
    return m[0] < s[0] ? m[0] : s[0];
}
[[gnu::always_inline]] inline double sum(D4 v) {
    return (v[0] + v[2]) + (v[1] + v[3]);
}
[[gnu::always_inline]] inline std::int64_t sum(I8 v) {
    const I4 h =
        __builtin_shufflevector(v, v, 0, 1, 2, 3) + __builtin_shufflevector(v, v, 4, 5, 6, 7);
    return std::int64_t{h[0]} + h[1] + h[2] + h[3];
}

// Reinterprets a vector's bits. Not std::bit_cast: GCC 12's undefined-behaviour
// checker reports a null load inside it for vector types at -O0.
template <class To, class From>
[[gnu::always_inline]] inline To bitsAs(const From& from) {
    static_assert(sizeof(To) == sizeof(From));
    To to;
    std::memcpy(&to, &from, sizeof to);
    return to;
}

// The figures of a run of vectors kept per lane: peaks, eight partial 64-bit
// sums of squares and, where non-zero samples are counted, the smallest
// magnitude, which tells whether there is any zero to count.
template <bool CountNonZero>
struct Lanes {
    F8 peak = {};
    F8 least = F8{} + std::numeric_limits<float>::infinity();
    D4 low = {};
    D4 high = {};

    [[gnu::always_inline]] void add(const float* p) {
        const F8 magnitude = bitsAs<F8>(bitsAs<I8>(load(p)) & 0x7fffffff);
        peak = magnitude > peak ? magnitude : peak;
        if constexpr (CountNonZero) least = magnitude < least ? magnitude : least;
        const D4 a = widen(p);
        const D4 b = widen(p + 4);
        low += a * a;
        high += b * b;
    }
};

// Samples of n (a multiple of eight) that are not exactly 0.0; NaN is not.
[[gnu::always_inline]] inline std::int64_t countNonZero(const float* p, std::size_t n) {
    I8 counts = {};
    for (std::size_t i = 0; i < n; i += 8) counts -= load(p + i) != F8{};
    return sum(counts);
}

// Peak, sum of squares and, where asked for, non-zero count of n contiguous
// samples. Two sets of lanes, so that each 64-bit addition waits on one made
// two vectors back.
template <bool CountNonZero>
[[gnu::always_inline]] inline Tally tally(const float* p, std::size_t n) {
    Lanes<CountNonZero> even, odd;
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        even.add(p + i);
        odd.add(p + i + 8);
    }
    if (i + 8 <= n) {
        even.add(p + i);
        i += 8;
    }
    Tally t{largest(even.peak > odd.peak ? even.peak : odd.peak),
            sum((even.low + odd.low) + (even.high + odd.high)), 0};
    if constexpr (CountNonZero) {
        // Exact zeros are rare in sound, so the vectors are counted one by one
        // only when there is one among them.
        const bool anyZero = smallest(even.least < odd.least ? even.least : odd.least) == 0.0f;
        t.nonZero = anyZero ? countNonZero(p, i) : static_cast<std::int64_t>(i);
    }
    for (; i < n; ++i) tallyOne(t, p[i]);
    return t;
}

SONVEL_VECTOR_CLONES SONVEL_EXACT_SQUARES Tally measureInput(const float* p, std::size_t n) {
    return tally<true>(p, n);
}

SONVEL_VECTOR_CLONES SONVEL_EXACT_SQUARES Tally measureOutput(const float* p, std::size_t n) {
    return tally<false>(p, n);
}

// Sources of a rendered run: each gives the samples, before the gain, of
// eight consecutive output samples starting at a frame (`operator()`), and of
// one output sample (`at`), for an output interleaved like the run's.

// C channels interleaved exactly as the output is.
template <std::size_t C>
struct Same {
    const float* in;
    [[gnu::always_inline]] F8 operator()(std::size_t frame) const { return load(in + frame * C); }
    [[gnu::always_inline]] float at(std::size_t frame, std::size_t c) const {
        return in[frame * C + c];
    }
};

// Two adjacent channels of a wider interleaved buffer: one 64-bit load per frame.
struct Pair {
    const float* in;
    std::size_t stride;
    [[gnu::always_inline]] static std::uint64_t two(const float* p) {
        std::uint64_t bits;
        std::memcpy(&bits, p, sizeof bits);
        return bits;
    }
    [[gnu::always_inline]] F8 operator()(std::size_t frame) const {
        const float* p = in + frame * stride;
        const U4 pairs = {two(p), two(p + stride), two(p + 2 * stride), two(p + 3 * stride)};
        return bitsAs<F8>(pairs);
    }
    [[gnu::always_inline]] float at(std::size_t frame, std::size_t c) const {
        return in[frame * stride + c];
    }
};

// Frames 0-3 and 4-7 of an interleaved pair, as two vectors, split into the
// first and the second channel. The in-lane shuffles that do it leave the
// frames in the order 0, 1, 4, 5, 2, 3, 6, 7; `inOrder` puts them back with
// one permute of 64-bit halves.
[[gnu::always_inline]] inline F8 firsts(F8 a, F8 b) {
    return __builtin_shufflevector(a, b, 0, 2, 8, 10, 4, 6, 12, 14);
}
[[gnu::always_inline]] inline F8 seconds(F8 a, F8 b) {
    return __builtin_shufflevector(a, b, 1, 3, 9, 11, 5, 7, 13, 15);
}
[[gnu::always_inline]] inline F8 inOrder(F8 v) {
    const U4 halves = bitsAs<U4>(v);
    return bitsAs<F8>(__builtin_shufflevector(halves, halves, 0, 2, 1, 3));
}

// One channel of an interleaved pair. The loads start at the frame, not at
// the channel, so they never pass the buffer's end.
template <int Channel>
struct OneOfTwo {
    const float* frames;
    [[gnu::always_inline]] F8 operator()(std::size_t frame) const {
        const F8 a = load(frames + 2 * frame);
        const F8 b = load(frames + 2 * frame + 8);
        return inOrder(Channel == 0 ? firsts(a, b) : seconds(a, b));
    }
    [[gnu::always_inline]] float at(std::size_t frame, std::size_t) const {
        return frames[2 * frame + Channel];
    }
};

// Both channels of an interleaved pair mixed to one as the rules write it,
// (a + b) x 0.5, put back in frame order once, after the arithmetic.
struct MeanOfTwo {
    const float* frames;
    [[gnu::always_inline]] F8 operator()(std::size_t frame) const {
        const F8 a = load(frames + 2 * frame);
        const F8 b = load(frames + 2 * frame + 8);
        return inOrder((firsts(a, b) + seconds(a, b)) * 0.5f);
    }
    [[gnu::always_inline]] float at(std::size_t frame, std::size_t) const {
        return (frames[2 * frame] + frames[2 * frame + 1]) * 0.5f;
    }
};

// One channel at any stride.
struct Strided {
    const float* in;
    std::size_t stride;
    [[gnu::always_inline]] F8 operator()(std::size_t frame) const {
        const float* p = in + frame * stride;
        const std::size_t s = stride;
        return F8{p[0], p[s], p[2 * s], p[3 * s], p[4 * s], p[5 * s], p[6 * s], p[7 * s]};
    }
    [[gnu::always_inline]] float at(std::size_t frame, std::size_t) const {
        return in[frame * stride];
    }
};

// A mono tap, heard on the first two channels of each frame of an output of
// C channels and silent on the others, as the rules map it.
template <std::size_t C>
struct Mono {
    const float* in;
    static constexpr std::size_t heardChannels = 2;
    [[gnu::always_inline]] F8 operator()(std::size_t frame) const {
        const float* p = in + frame;
        if constexpr (C == 2) {
            return __builtin_shufflevector(load4(p), load4(p), 0, 0, 1, 1, 2, 2, 3, 3);
        } else if constexpr (C == 4) {
            return F8{p[0], p[0], 0, 0, p[1], p[1], 0, 0};
        } else {
            return F8{p[0], p[0], 0, 0, 0, 0, 0, 0};
        }
    }
    [[gnu::always_inline]] float at(std::size_t frame, std::size_t) const { return in[frame]; }
};

// Two channels mixed to one as the rules write it: (a + b) x 0.5.
template <class A, class B>
struct Mean {
    A a;
    B b;
    [[gnu::always_inline]] F8 operator()(std::size_t frame) const {
        return (a(frame) + b(frame)) * 0.5f;
    }
    [[gnu::always_inline]] float at(std::size_t frame, std::size_t) const {
        return (a.at(frame, 0) + b.at(frame, 0)) * 0.5f;
    }
};

// How many channels of each frame, from the first, a source feeds; the rest
// are written as zeros, whatever the gain.
template <class Source, std::size_t C>
constexpr std::size_t heardChannels() {
    if constexpr (requires { Source::heardChannels; }) {
        return Source::heardChannels;
    } else {
        return C;
    }
}

// Renders `frames` frames of a C-channel interleaved output.
// Frame i gets the gain from + (i + 1) x step, with the frame number
// converted from an integer as the rules convert it, so that every sample
// rounds exactly as a frame-by-frame loop rounds it. Without a ramp, step is
// a zero and that gain is from + step on every frame.
template <std::size_t C, bool Ramp, class Source>
[[gnu::always_inline]] inline void run(float* out, const Source& source, std::size_t frames,
                                       float from, float step) {
    constexpr std::size_t perVector = 8 / C;
    constexpr int advance = static_cast<int>(perVector);
    constexpr std::size_t heard = heardChannels<Source, C>();
    const I8 heardLanes =
        I8{0, 1, 2, 3, 4, 5, 6, 7} % static_cast<int>(C) < static_cast<int>(heard);
    I8 number = I8{0, 1, 2, 3, 4, 5, 6, 7} / static_cast<int>(C) + 1;
    const F8 flat = F8{} + (from + step);
    std::size_t i = 0;
    for (; i + perVector <= frames; i += perVector) {
        // No lambda here: GCC 12's undefined-behaviour checker mistakes its
        // closure for a null object inside the vector clones.
        F8 g = flat;
        if constexpr (Ramp) g = from + __builtin_convertvector(number, F8) * step;
        F8 y = g * source(i);
        if constexpr (heard < C) y = bitsAs<F8>(bitsAs<I8>(y) & heardLanes);
        store(out + i * C, y);
        number += advance;
    }
    for (; i < frames; ++i) {
        const float g = from + static_cast<float>(i + 1) * step;
        for (std::size_t c = 0; c < C; ++c) {
            out[i * C + c] = c < heard ? g * source.at(i, c) : 0.0f;
        }
    }
}

// How an output buffer is rendered: which source, over which input samples.
enum class Kind {
    none,  // no vector path fits: the channels are rendered one by one
    same1,
    same2,
    same4,
    same8,
    pair,
    firstOfTwo,
    secondOfTwo,
    strided,
    meanOfTwo,
    meanOfSplit,
    meanStrided,
    mono2,
    mono4,
    mono8,
};

struct Plan {
    Kind kind = Kind::none;
    const float* a = nullptr;
    std::size_t strideA = 0;
    const float* b = nullptr;
    std::size_t strideB = 0;
};

template <bool Ramp>
[[gnu::always_inline]] inline void runPlan(const Plan& p, float* out, std::size_t frames,
                                           float from, float step) {
    switch (p.kind) {
        case Kind::same1:
            return run<1, Ramp>(out, Same<1>{p.a}, frames, from, step);
        case Kind::same2:
            return run<2, Ramp>(out, Same<2>{p.a}, frames, from, step);
        case Kind::same4:
            return run<4, Ramp>(out, Same<4>{p.a}, frames, from, step);
        case Kind::same8:
            return run<8, Ramp>(out, Same<8>{p.a}, frames, from, step);
        case Kind::pair:
            return run<2, Ramp>(out, Pair{p.a, p.strideA}, frames, from, step);
        case Kind::firstOfTwo:
            return run<1, Ramp>(out, OneOfTwo<0>{p.a}, frames, from, step);
        case Kind::secondOfTwo:
            return run<1, Ramp>(out, OneOfTwo<1>{p.a}, frames, from, step);
        case Kind::strided:
            return run<1, Ramp>(out, Strided{p.a, p.strideA}, frames, from, step);
        case Kind::meanOfTwo:
            return run<1, Ramp>(out, MeanOfTwo{p.a}, frames, from, step);
        case Kind::meanOfSplit:
            return run<1, Ramp>(out, Mean<Same<1>, Same<1>>{{p.a}, {p.b}}, frames, from, step);
        case Kind::meanStrided:
            return run<1, Ramp>(out, Mean<Strided, Strided>{{p.a, p.strideA}, {p.b, p.strideB}},
                                frames, from, step);
        case Kind::mono2:
            return run<2, Ramp>(out, Mono<2>{p.a}, frames, from, step);
        case Kind::mono4:
            return run<4, Ramp>(out, Mono<4>{p.a}, frames, from, step);
        case Kind::mono8:
            return run<8, Ramp>(out, Mono<8>{p.a}, frames, from, step);
        case Kind::none:
            break;
    }
}

SONVEL_VECTOR_CLONES
void renderRun(const Plan& plan, float* out, std::size_t frames, float from, float step) {
    if (step != 0.0f) {
        runPlan<true>(plan, out, frames, from, step);
    } else {
        runPlan<false>(plan, out, frames, from, step);
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

// Where a located channel is within its buffer.
struct Place {
    float* samples;        // the buffer's first frame
    std::size_t channels;  // of that buffer: the stride between frames
    std::size_t index;     // of the channel within the buffer

    [[nodiscard]] float* address() const { return samples + index; }
};

std::optional<Place> find(const AudioBufferList& list, std::int64_t channel,
                          std::int64_t firstBuffer) {
    if (channel < 0 || !isValidIndex(list, firstBuffer)) return std::nullopt;
    for (auto b = static_cast<std::size_t>(firstBuffer); b < list.buffers.size(); ++b) {
        const AudioBuffer& buffer = list.buffers[b];
        if (channel >= buffer.channelCount) {
            channel -= buffer.channelCount;
            continue;
        }
        if (!buffer.data) return std::nullopt;
        return Place{buffer.data, buffer.channelCount, static_cast<std::size_t>(channel)};
    }
    return std::nullopt;
}

// The input channel(s) feeding output channel `o`; a second source means the
// two are averaged.
struct Sources {
    std::optional<Place> first;
    std::optional<Place> second;
};

struct Mapping {
    const AudioBufferList* input;
    std::int64_t firstInputBuffer;
    std::int64_t inChannels;
    std::int64_t outChannels;

    [[nodiscard]] Sources operator()(std::int64_t o) const {
        if (inChannels == 0 || !input) return {};
        const auto at = [&](std::int64_t c) { return find(*input, c, firstInputBuffer); };
        if (inChannels >= 2 && outChannels == 1) return {at(0), at(1)};
        if (inChannels == 1) return o < 2 ? Sources{at(0), std::nullopt} : Sources{};
        return o < inChannels ? Sources{at(o), std::nullopt} : Sources{};
    }
};

Plan meanPlan(const Place& a, const Place& b) {
    if (a.samples == b.samples && a.channels == 2 && a.index == 0 && b.index == 1) {
        return {Kind::meanOfTwo, a.samples};
    }
    if (a.channels == 1 && b.channels == 1) return {Kind::meanOfSplit, a.samples, 1, b.samples, 1};
    return {Kind::meanStrided, a.address(), a.channels, b.address(), b.channels};
}

// A vector path for the output buffer whose channels start at flat index
// `first`, when its sources have a shape one fits.
Plan planFor(const AudioBuffer& buffer, std::int64_t first, const Mapping& mapping) {
    const std::size_t channels = buffer.channelCount;
    const Sources head = mapping(first);
    if (!head.first) return {};
    const Place& from = *head.first;
    if (head.second) return channels == 1 ? meanPlan(from, *head.second) : Plan{};
    if (mapping.inChannels == 1 && first == 0 && channels > 1) {
        switch (channels) {
            case 2:
                return {Kind::mono2, from.samples};
            case 4:
                return {Kind::mono4, from.samples};
            case 8:
                return {Kind::mono8, from.samples};
            default:
                return {};
        }
    }
    // Otherwise every channel must read the next sample of one input buffer.
    for (std::size_t c = 1; c < channels; ++c) {
        const Sources next = mapping(first + static_cast<std::int64_t>(c));
        if (!next.first || next.second || next.first->samples != from.samples ||
            next.first->index != from.index + c) {
            return {};
        }
    }
    if (from.channels == channels) {
        switch (channels) {
            case 1:
                return {Kind::same1, from.samples};
            case 2:
                return {Kind::same2, from.samples};
            case 4:
                return {Kind::same4, from.samples};
            case 8:
                return {Kind::same8, from.samples};
            default:
                return {};
        }
    }
    if (channels == 2) return {Kind::pair, from.address(), from.channels};
    if (channels == 1 && from.channels == 2) {
        return {from.index == 0 ? Kind::firstOfTwo : Kind::secondOfTwo, from.samples};
    }
    if (channels == 1) return {Kind::strided, from.address(), from.channels};
    return {};
}

// One output channel from its sources, frame by frame: the path for shapes
// no vector path fits.
void renderChannel(float* out, std::size_t stride, const Sources& s, std::size_t frames,
                   std::size_t rendered, float from, float step) {
    std::size_t i = 0;
    if (s.first && s.second) {
        const float* a = s.first->address();
        const float* b = s.second->address();
        const std::size_t sa = s.first->channels;
        const std::size_t sb = s.second->channels;
        for (; i < rendered; ++i) {
            const float gain = from + static_cast<float>(i + 1) * step;
            out[i * stride] = gain * ((a[i * sa] + b[i * sb]) * 0.5f);
        }
    } else if (s.first) {
        const float* a = s.first->address();
        const std::size_t sa = s.first->channels;
        for (; i < rendered; ++i) {
            out[i * stride] = (from + static_cast<float>(i + 1) * step) * a[i * sa];
        }
    }
    for (; i < frames; ++i) out[i * stride] = 0.0f;
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
    const std::optional<Place> place = find(list, channel, firstBuffer);
    if (!place) return std::nullopt;
    return ChannelPointer{place->address(), static_cast<std::int64_t>(place->channels)};
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
                measureInput(buffer.data, static_cast<std::size_t>(inFrames) * buffer.channelCount);
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

        const Plan plan = renderedFrames > 0 ? planFor(buffer, first, mapping) : Plan{};
        if (plan.kind != Kind::none) {
            renderRun(plan, buffer.data, renderedFrames, fromGain, step);
            std::memset(buffer.data + renderedFrames * channels, 0,
                        (frames - renderedFrames) * channels * sizeof(float));
        } else {
            for (std::size_t c = 0; c < channels; ++c) {
                renderChannel(buffer.data + c, channels, mapping(first + std::int64_t(c)), frames,
                              renderedFrames, fromGain, step);
            }
        }
        // Samples past the rendered frames are zeros: nothing to measure there.
        const Tally t = measureOutput(buffer.data, renderedFrames * channels);
        stats.outputPeak = t.peak > stats.outputPeak ? t.peak : stats.outputPeak;
        stats.outputSumOfSquares += t.squares;
        stats.outputSampleCount += outFrames * buffer.channelCount;
    }
    return stats;
}

}  // namespace sonvel::RenderKernel
