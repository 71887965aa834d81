#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "core/GainRenderer.hpp"
#include "core/RenderKernel.hpp"
#include "support/AllocationCounter.hpp"

namespace sonvel {
namespace {

// Buffers that own their samples. `frames` per buffer; a buffer may be given
// no data, or extra bytes that do not make a whole frame.
struct Buffers {
    std::vector<std::vector<float>> storage;
    std::vector<AudioBuffer> buffers;
    // A view of `buffers`, so it survives a move (the vector's storage moves
    // with it) but not a copy.
    AudioBufferList all;

    struct Layout {
        std::uint32_t channels;
        std::int64_t frames;
        bool hasData = true;
        std::uint32_t extraBytes = 0;
    };

    explicit Buffers(std::vector<Layout> layouts) {
        for (const Layout& s : layouts) {
            storage.emplace_back(static_cast<std::size_t>(s.frames) * s.channels + 1, -9.0f);
            buffers.push_back({s.channels,
                               static_cast<std::uint32_t>(s.frames * s.channels * 4) + s.extraBytes,
                               s.hasData ? storage.back().data() : nullptr});
        }
        all = {buffers};
    }

    // Flat channel c of the buffers from `first` on, frame i.
    float& at(std::size_t first, std::size_t c, std::size_t i) {
        for (std::size_t b = first;; ++b) {
            if (c < buffers[b].channelCount) return storage[b][i * buffers[b].channelCount + c];
            c -= buffers[b].channelCount;
        }
    }
    std::vector<float> channel(std::size_t c, std::size_t frames, std::size_t first = 0) {
        std::vector<float> out;
        for (std::size_t i = 0; i < frames; ++i) out.push_back(at(first, c, i));
        return out;
    }
    void fill(std::mt19937& random) {
        std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
        for (auto& s : storage)
            for (float& x : s) x = sample(random);
    }
};

// Only buffers from `first` on with channels and data count, in whole frames.
TEST(RenderKernelTest, BuffersWithoutSamplesAndPartialFramesAreSkipped) {
    Buffers b({{2, 10, true, 7}, {0, 4}, {1, 6, false}, {2, 8}, {1, 9}});
    for (const auto& [first, frames] : {std::pair{0, 8}, {2, 8}, {4, 9}, {5, 0}, {-1, 0}})
        EXPECT_EQ(RenderKernel::frameCount(b.all, first), frames) << first;
    EXPECT_EQ(RenderKernel::frameCount(Buffers({{2, 0, true, 7}}).all, 0), 0);
    using P = RenderKernel::ChannelPointer;
    EXPECT_EQ(RenderKernel::locate(b.all, 1, 0), (P{b.storage[0].data() + 1, 2}));
    EXPECT_EQ(RenderKernel::locate(b.all, 2, 0), std::nullopt);  // no data there
    EXPECT_EQ(RenderKernel::locate(b.all, 4, 0), (P{b.storage[3].data() + 1, 2}));
    EXPECT_EQ(RenderKernel::locate(b.all, 5, 0), (P{b.storage[4].data(), 1}));
    EXPECT_EQ(RenderKernel::locate(b.all, 6, 0), std::nullopt);  // off the end
    EXPECT_EQ(RenderKernel::locate(b.all, 0, 3), (P{b.storage[3].data(), 2}));

    std::mt19937 random(3);
    // The tap's second buffer has no data: its channel is not measured and
    // output channel 1, which it would feed, stays silent.
    Buffers in({{1, 8, true, 3}, {1, 8, false}});
    in.fill(random);
    Buffers out({{1, 8, true, 5}, {1, 8}, {1, 8, false}});
    const RenderStats stats = RenderKernel::render(&in.all, 0, out.all, 1.0f, 1.0f);
    EXPECT_EQ(out.channel(0, 8), in.channel(0, 8));
    EXPECT_EQ(out.channel(1, 8), std::vector<float>(8, 0.0f));
    EXPECT_EQ(std::tuple(stats.frames, stats.inputSampleCount, stats.outputSampleCount),
              std::tuple(8, 8, 16));
}

// A frame-by-frame reading of the rules on flat channels, every buffer of
// `in` (from `first`; none without input) and of `out` holding `inFrames` and
// `outFrames` frames.
RenderStats reference(Buffers* in, std::size_t first, std::size_t inFrames, Buffers& out,
                      std::size_t outFrames, float from, float to) {
    std::size_t inChannels = 0, outChannels = 0;
    for (std::size_t b = first; in && b < in->buffers.size(); ++b)
        inChannels += in->buffers[b].channelCount;
    for (const AudioBuffer& b : out.buffers) outChannels += b.channelCount;
    RenderStats s;
    s.frames = in ? std::int64_t(std::min(inFrames, outFrames)) : 0;
    for (std::size_t c = 0; c < inChannels; ++c) {
        for (std::size_t i = 0; i < inFrames; ++i) {
            const float x = in->at(first, c, i);
            s.inputPeak = std::max(s.inputPeak, std::fabs(x));
            s.inputNonZeroSamples += x != 0.0f;
            s.inputSumOfSquares += double(x) * x;
        }
        s.inputSampleCount += std::int64_t(inFrames);
    }
    const float step = s.frames > 0 ? (to - from) / float(s.frames) : 0.0f;
    for (std::size_t o = 0; o < outChannels; ++o) {
        for (std::size_t i = 0; i < outFrames; ++i) {
            const float g = from + float(i + 1) * step;
            float v = 0.0f;
            if (i < std::size_t(s.frames)) {
                if (inChannels >= 2 && outChannels == 1)
                    v = g * ((in->at(first, 0, i) + in->at(first, 1, i)) * 0.5f);
                else if (inChannels == 1 && o < 2)
                    v = g * in->at(first, 0, i);
                else if (inChannels >= 2 && o < inChannels)
                    v = g * in->at(first, o, i);
            }
            out.at(0, o, i) = v;
            s.outputPeak = std::max(s.outputPeak, std::fabs(v));
            s.outputSumOfSquares += double(v) * v;
        }
        s.outputSampleCount += std::int64_t(outFrames);
    }
    return s;
}

bool sameBits(const Buffers& a, const Buffers& b) {
    return std::ranges::equal(a.storage, b.storage, [](const auto& x, const auto& y) {
        return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * 4) == 0;
    });
}

// The kernel against the plain reading, over random layouts: any channel
// counts split into any buffers, the tap after the device's own input or not,
// no input at all, input shorter or longer than the output, gains flat or
// ramping (negative ones too, whose products with zero would be -0 where the
// rules write 0), and samples with 0, -0 (neither counts as non-zero) and NaN
// (which counts, and never becomes a peak). Samples, peaks and counts must
// match to the bit, sums up to the rounding of their order.
TEST(RenderKernelTest, MatchesThePlainRulesOverRandomLayouts) {
    std::mt19937 random(2026);
    const auto pick = [&](unsigned n) { return static_cast<std::uint32_t>(random() % n); };
    const auto split = [&](std::uint32_t channels, std::int64_t frames) {
        std::vector<Buffers::Layout> layout;
        while (channels > 0) {
            const std::uint32_t n = pick(2) ? channels : 1 + pick(channels);
            layout.push_back({n, frames});
            channels -= n;
        }
        return layout;
    };
    const auto gain = [&] {
        return pick(2) ? float(pick(6)) / 4.0f - 0.25f : float(random()) / 4e9f;
    };
    for (int trial = 0; trial < 1000; ++trial) {
        SCOPED_TRACE(trial);
        const std::int64_t outFrames = 1 + pick(700);
        const std::int64_t inFrames = pick(4) ? outFrames : 1 + pick(700);
        std::vector<Buffers::Layout> inLayout = split(1 + pick(8), inFrames);
        const std::size_t first = pick(2);
        if (first == 1) inLayout.insert(inLayout.begin(), {2, inFrames});
        Buffers in(inLayout);
        in.fill(random);
        const bool zeros = pick(2);
        for (auto& samples : in.storage)
            for (float& x : samples) x = zeros && !pick(16) ? (pick(2) ? 0.0f : -0.0f) : x;
        if (pick(8) == 0) in.at(first, 0, pick(std::uint32_t(inFrames))) = NAN;
        const bool tapped = pick(20) > 0;
        const std::vector<Buffers::Layout> outLayout = split(1 + pick(8), outFrames);
        Buffers fast(outLayout), slow(outLayout);
        const float from = gain();
        const float to = pick(3) ? gain() : from;

        const testing::AllocationCounter allocations;  // the IO thread must never allocate
        RenderStats got = RenderKernel::render(tapped ? &in.all : nullptr, std::int64_t(first),
                                               fast.all, from, to);
        ASSERT_EQ(allocations.count(), 0u);
        RenderStats want = reference(tapped ? &in : nullptr, first, std::size_t(inFrames), slow,
                                     std::size_t(outFrames), from, to);
        ASSERT_TRUE(sameBits(fast, slow));
        for (const auto sums :
             {&RenderStats::inputSumOfSquares, &RenderStats::outputSumOfSquares}) {
            // fmax: a NaN sum allows no error, and must be matched by NaN.
            EXPECT_THAT(got.*sums, ::testing::NanSensitiveDoubleNear(
                                       want.*sums, std::fmax(0.0, 1e-12 * want.*sums)));
        }
        got.inputSumOfSquares = got.outputSumOfSquares = 0;
        want.inputSumOfSquares = want.outputSumOfSquares = 0;
        EXPECT_EQ(got, want);
    }
}

// One channel of four frames, every sample `value`.
Buffers mono(float value) {
    Buffers b({{1, 4}});
    std::ranges::fill(b.storage[0], value);
    return b;
}

// A replacement engine takes the application over in its own first cycle
// that brings sound the old engine no longer hears (a server that moves the
// stream), at its level from the first frame, also when the old engine's
// cycle before its empty one came after our last look; while both hear it (a
// server that copies it), only `complete` swaps the gains.
TEST(GainRendererTest, TakesOverInTheCycleTheApplicationMovesIn) {
    const struct {
        std::vector<bool> oldHears;  // per old cycle since the new engine's last
        bool newHears;
        bool done;  // and the new engine's output is at its level from its first frame
    } cases[] = {{{false}, true, true},
                 {{true}, true, false},
                 {{false}, false, false},
                 {{true, false}, true, true},
                 {{false, true}, true, false}};
    for (const auto& c : cases) {
        auto oldControl = std::make_shared<GainControl>(0.5f);
        auto oldMeter = std::make_shared<EngineMeter>();
        auto control = std::make_shared<GainControl>(0.0f);
        GainRenderer renderer(control, std::make_shared<EngineMeter>());
        auto takeover = std::make_shared<EngineTakeover>(oldControl, oldMeter, 0.25f);
        renderer.takeOver(takeover);
        for (const bool heard : c.oldHears) oldMeter->record({.inputNonZeroSamples = heard});
        const Buffers in = mono(c.newHears ? 1.0f : 0.0f);
        Buffers out({{1, 4}});
        renderer.process(&in.all, 0, out.all);
        EXPECT_EQ(std::pair(takeover->done(), out.channel(0, 4)),
                  std::pair(c.done, std::vector<float>(4, c.done ? 0.25f : 0.0f)));
        takeover->complete(*control);
        EXPECT_EQ(std::pair(control->target(), oldControl->target()), std::pair(0.25f, 0.0f));
    }
}

// The first cycle plays its target flat, even one set after construction,
// and later cycles ramp from the gain reached. Only cycles that neither ramp
// nor change segment are measured in their segment. No cycle allocates.
TEST(GainRendererTest, FirstCycleIsFlatThenRampsAndOnlySteadyCyclesReachTheirSegment) {
    auto control = std::make_shared<GainControl>(0.5f, 0);
    auto meter = std::make_shared<EngineMeter>();
    auto segments = std::make_shared<SegmentedMeter>(2);  // segment 1 is the last
    GainRenderer renderer(control, meter, segments);
    const Buffers in = mono(1.0f);
    Buffers out({{1, 4}});
    const auto cycle = [&] {
        const testing::AllocationCounter allocations;
        renderer.process(&in.all, 0, out.all);
        EXPECT_EQ(allocations.count(), 0u);
        return out.channel(0, 4);
    };

    control->set(1.0f);
    EXPECT_EQ(cycle(), std::vector<float>(4, 1.0f));  // steady in segment 0
    control->set(1.0f, 1);
    EXPECT_EQ(cycle(), std::vector<float>(4, 1.0f));  // the segment changes: a transition
    EXPECT_EQ(cycle(), std::vector<float>(4, 1.0f));  // steady in segment 1
    control->set(0.0f);
    EXPECT_EQ(cycle(), (std::vector<float>{0.75f, 0.5f, 0.25f, 0.0f}));  // a transition
    control->set(0.0f, 2);
    EXPECT_EQ(cycle(), std::vector<float>(4, 0.0f));  // a transition, then beyond the segments
    EXPECT_EQ(cycle(), std::vector<float>(4, 0.0f));
    EXPECT_EQ(segments->segments()[0]->totalCallbacks(), 1u);
    EXPECT_EQ(segments->segments()[1]->totalCallbacks(), 1u);
    EXPECT_EQ(segments->transitions()->totalCallbacks(), 4u);
    EXPECT_EQ(meter->totalCallbacks(), 6u);
}

}  // namespace
}  // namespace sonvel
