#include <gtest/gtest.h>

#include <cmath>
#include <random>
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

    struct Spec {
        std::uint32_t channels;
        std::int64_t frames;
        bool hasData = true;
        std::uint32_t extraBytes = 0;
    };

    explicit Buffers(std::vector<Spec> specs) {
        storage.reserve(specs.size());
        for (const Spec& s : specs) {
            storage.emplace_back(static_cast<std::size_t>(s.frames) * s.channels + 1, -9.0f);
            buffers.push_back({s.channels,
                               static_cast<std::uint32_t>(s.frames * s.channels * 4) + s.extraBytes,
                               s.hasData ? storage.back().data() : nullptr});
        }
    }
    AudioBufferList list() const { return {buffers}; }

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
        for (auto& s : storage) {
            for (float& x : s) x = sample(random);
        }
    }
};

RenderStats render(const Buffers& in, std::int64_t first, Buffers& out, float from, float to) {
    const AudioBufferList input = in.list();
    return RenderKernel::render(&input, first, out.list(), from, to);
}

TEST(RenderKernelTest, FrameCountSkipsEmptyBuffersAndPartialFrames) {
    Buffers b({{2, 10, true, 7}, {0, 4}, {1, 6, false}, {3, 8}});
    EXPECT_EQ(RenderKernel::frameCount(b.list(), 0), 8);
    EXPECT_EQ(RenderKernel::frameCount(b.list(), 1), 8);
    EXPECT_EQ(RenderKernel::frameCount(b.list(), 2), 8);
    EXPECT_EQ(RenderKernel::frameCount(b.list(), 4), 0);
    EXPECT_EQ(RenderKernel::frameCount(b.list(), -1), 0);
    Buffers tiny({{2, 0, true, 7}});
    EXPECT_EQ(RenderKernel::frameCount(tiny.list(), 0), 0);
}

TEST(RenderKernelTest, LocateWalksFlatChannelsAcrossBuffers) {
    Buffers b({{2, 4}, {1, 4}, {2, 4, false}, {2, 4}});
    const auto list = b.list();
    EXPECT_EQ(RenderKernel::locate(list, 1, 0),
              (RenderKernel::ChannelPointer{b.storage[0].data() + 1, 2}));
    EXPECT_EQ(RenderKernel::locate(list, 2, 0),
              (RenderKernel::ChannelPointer{b.storage[1].data(), 1}));
    EXPECT_EQ(RenderKernel::locate(list, 3, 0), std::nullopt);  // no data there
    EXPECT_EQ(RenderKernel::locate(list, 6, 0),
              (RenderKernel::ChannelPointer{b.storage[3].data() + 1, 2}));
    EXPECT_EQ(RenderKernel::locate(list, 7, 0), std::nullopt);  // off the end
    EXPECT_EQ(RenderKernel::locate(list, 0, 3),
              (RenderKernel::ChannelPointer{b.storage[3].data(), 2}));
}

TEST(RenderKernelTest, NoInputWritesSilenceAndCountsOutput) {
    Buffers out({{2, 16}});
    const RenderStats stats = RenderKernel::render(nullptr, 0, out.list(), 1.0f, 1.0f);
    EXPECT_EQ(out.channel(0, 16), std::vector<float>(16, 0.0f));
    EXPECT_EQ(out.channel(1, 16), std::vector<float>(16, 0.0f));
    EXPECT_EQ(stats, (RenderStats{0, 0, 0, 0, 0, 0, 0, 32}));
}

// Every row of the channel mapping table, with the tap after one buffer of
// the output device's own input (firstInputBuffer 1).
TEST(RenderKernelTest, ChannelMapping) {
    std::mt19937 random(7);
    struct Row {
        std::uint32_t in, out;
        // Source input channels of each output channel; two are averaged.
        std::vector<std::vector<std::size_t>> sources;
    };
    const std::vector<Row> rows{
        {0, 2, {{}, {}}},   {2, 1, {{0, 1}}},           {6, 1, {{0, 1}}},
        {1, 1, {{0}}},      {1, 4, {{0}, {0}, {}, {}}}, {2, 2, {{0}, {1}}},
        {6, 2, {{0}, {1}}}, {2, 4, {{0}, {1}, {}, {}}}, {4, 3, {{0}, {1}, {2}}},
    };
    for (const Row& row : rows) {
        Buffers in({{2, 8}, {row.in, 8}});
        in.fill(random);
        Buffers out({{row.out, 8}});
        const RenderStats stats = render(in, 1, out, 0.5f, 0.5f);
        for (std::size_t o = 0; o < row.out; ++o) {
            for (std::size_t i = 0; i < 8; ++i) {
                const auto& s = row.sources[o];
                float expected = 0.0f;
                if (s.size() == 1) expected = 0.5f * in.at(1, s[0], i);
                if (s.size() == 2)
                    expected = 0.5f * ((in.at(1, s[0], i) + in.at(1, s[1], i)) * 0.5f);
                EXPECT_EQ(out.at(0, o, i), expected) << row.in << "→" << row.out << " o=" << o;
            }
        }
        EXPECT_EQ(stats.inputSampleCount, 8 * row.in);
        EXPECT_EQ(stats.outputSampleCount, 8 * row.out);
    }
}

TEST(RenderKernelTest, InterleavedAndSplitStereoGiveIdenticalResults) {
    std::mt19937 random(11);
    Buffers interleaved({{2, 300}});
    interleaved.fill(random);
    Buffers split({{1, 300}, {1, 300}});
    for (std::size_t i = 0; i < 300; ++i) {
        split.at(0, 0, i) = interleaved.at(0, 0, i);
        split.at(0, 1, i) = interleaved.at(0, 1, i);
    }
    Buffers a({{2, 300}}), b({{2, 300}}), c({{1, 300}, {1, 300}});
    const RenderStats sa = render(interleaved, 0, a, 1.0f, 0.3f);
    const RenderStats sb = render(split, 0, b, 1.0f, 0.3f);
    const RenderStats sc = render(split, 0, c, 1.0f, 0.3f);
    EXPECT_EQ(a.storage, b.storage);
    EXPECT_EQ(a.channel(0, 300), c.channel(0, 300));
    EXPECT_EQ(a.channel(1, 300), c.channel(1, 300));
    EXPECT_EQ(sa.frames, sb.frames);
    EXPECT_EQ(sa.inputPeak, sb.inputPeak);
    EXPECT_EQ(sa.outputPeak, sc.outputPeak);
    EXPECT_EQ(sa.inputNonZeroSamples, sb.inputNonZeroSamples);
    EXPECT_NEAR(sa.inputSumOfSquares, sb.inputSumOfSquares, 1e-9);
    EXPECT_NEAR(sa.outputSumOfSquares, sc.outputSumOfSquares, 1e-9);
}

TEST(RenderKernelTest, ShortInputRampsOverWhatIsThereAndSilencesTheRest) {
    Buffers in({{1, 256}});
    for (float& x : in.storage[0]) x = 1.0f;
    Buffers out({{1, 512}});
    const RenderStats stats = render(in, 0, out, 0.0f, 1.0f);
    EXPECT_EQ(stats.frames, 256);
    EXPECT_EQ(out.at(0, 0, 0), 1.0f / 256);
    EXPECT_EQ(out.at(0, 0, 255), 1.0f);  // the ramp ends on the last rendered frame
    for (std::size_t i = 256; i < 512; ++i) ASSERT_EQ(out.at(0, 0, i), 0.0f);
    EXPECT_EQ(stats.outputSampleCount, 512);
    EXPECT_EQ(stats.inputSampleCount, 256);
}

TEST(RenderKernelTest, RampValuesAreExact) {
    Buffers in({{2, 4}});
    for (float& x : in.storage[0]) x = 1.0f;
    Buffers out({{2, 4}});
    render(in, 0, out, 1.0f, 0.0f);
    EXPECT_EQ(out.channel(0, 4), (std::vector<float>{0.75f, 0.5f, 0.25f, 0.0f}));
    EXPECT_EQ(out.channel(1, 4), (std::vector<float>{0.75f, 0.5f, 0.25f, 0.0f}));
}

TEST(RenderKernelTest, BuffersWithoutDataAreSkippedAndPartialFramesIgnored) {
    std::mt19937 random(3);
    // The tap's second buffer has no data: its channel is not measured and
    // output channel 1, which it would feed, stays silent.
    Buffers in({{1, 8, true, 3}, {1, 8, false}});
    in.fill(random);
    Buffers out({{1, 8, true, 5}, {1, 8}, {1, 8, false}});
    const RenderStats stats = render(in, 0, out, 1.0f, 1.0f);
    EXPECT_EQ(stats.frames, 8);
    EXPECT_EQ(out.channel(0, 8), in.channel(0, 8));
    EXPECT_EQ(out.channel(1, 8), std::vector<float>(8, 0.0f));
    EXPECT_EQ(stats.inputSampleCount, 8);
    EXPECT_EQ(stats.outputSampleCount, 16);
}

TEST(RenderKernelTest, MeasuresPeaksNonZeroSamplesAndSquares) {
    Buffers in({{2, 4}});
    in.storage[0] = {0.5f, -0.75f, 0.0f, std::nanf(""), 0.0f, 0.25f, -0.0f, 0.0f, 0.0f};
    Buffers out({{2, 4}});
    const RenderStats stats = render(in, 0, out, 0.5f, 0.5f);
    EXPECT_EQ(stats.inputPeak, 0.75f);        // NaN never becomes the peak
    EXPECT_EQ(stats.inputNonZeroSamples, 4);  // NaN counts as non-zero, -0 does not
    EXPECT_TRUE(std::isnan(stats.inputSumOfSquares));
    EXPECT_EQ(stats.outputPeak, 0.375f);
}

// The vectorised paths against a plain per-sample reading of the rules, over
// random layouts, gains and lengths: samples must match exactly, sums up to
// the rounding of their reordering.
TEST(RenderKernelTest, FastPathsMatchThePlainRules) {
    std::mt19937 random(2026);
    const auto reference = [](const Buffers& in, std::size_t inChannels, Buffers& out,
                              std::size_t outChannels, std::size_t frames, float from, float to) {
        const float step = (to - from) / static_cast<float>(frames);
        RenderStats s;
        s.frames = std::int64_t(frames);
        for (std::size_t o = 0; o < outChannels; ++o) {
            for (std::size_t i = 0; i < frames; ++i) {
                const float g = from + static_cast<float>(i + 1) * step;
                Buffers& src = const_cast<Buffers&>(in);
                float v = 0.0f;
                if (inChannels >= 2 && outChannels == 1) {
                    v = g * ((src.at(0, 0, i) + src.at(0, 1, i)) * 0.5f);
                } else if (inChannels == 1 && o < 2) {
                    v = g * src.at(0, 0, i);
                } else if (inChannels >= 2 && o < inChannels) {
                    v = g * src.at(0, o, i);
                }
                out.at(0, o, i) = v;
                s.outputSumOfSquares += double(v) * v;
            }
        }
        return s;
    };
    for (int trial = 0; trial < 300; ++trial) {
        const auto pick = [&](unsigned n) { return static_cast<std::uint32_t>(random() % n); };
        const std::uint32_t inChannels = 1 + pick(6);
        const std::uint32_t outChannels = 1 + pick(6);
        const std::int64_t frames = 1 + pick(700);
        const float from = float(pick(5)) / 4.0f;
        const float to = pick(3) ? float(pick(5)) / 4.0f : from;
        Buffers in({{inChannels, frames}});
        in.fill(random);
        Buffers fast({{outChannels, frames}});
        Buffers slow({{outChannels, frames}});
        const RenderStats got = render(in, 0, fast, from, to);
        const RenderStats want =
            reference(in, inChannels, slow, outChannels, std::size_t(frames), from, to);
        ASSERT_EQ(fast.storage, slow.storage) << inChannels << "→" << outChannels << " x" << frames;
        EXPECT_NEAR(got.outputSumOfSquares, want.outputSumOfSquares,
                    1e-12 * want.outputSumOfSquares + 1e-30);
        double inSquares = 0;
        for (std::size_t k = 0; k < std::size_t(frames) * inChannels; ++k) {
            inSquares += double(in.storage[0][k]) * in.storage[0][k];
        }
        EXPECT_NEAR(got.inputSumOfSquares, inSquares, 1e-12 * inSquares);
    }
}

TEST(GainRendererTest, FirstCycleIsFlatThenRampsFromTheGainReached) {
    auto control = std::make_shared<GainControl>(0.5f);
    auto meter = std::make_shared<EngineMeter>();
    GainRenderer renderer(control, meter);
    Buffers in({{1, 4}});
    for (float& x : in.storage[0]) x = 1.0f;
    const AudioBufferList input = in.list();
    Buffers out({{1, 4}});

    control->set(1.0f);  // changed after construction: still no ramp on the first cycle
    renderer.process(&input, 0, out.list());
    EXPECT_EQ(out.channel(0, 4), std::vector<float>(4, 1.0f));

    control->set(0.0f);
    renderer.process(&input, 0, out.list());
    EXPECT_EQ(out.channel(0, 4), (std::vector<float>{0.75f, 0.5f, 0.25f, 0.0f}));
    EXPECT_EQ(meter->totalCallbacks(), 2u);
}

TEST(GainRendererTest, OnlySteadyCyclesReachTheirSegment) {
    auto control = std::make_shared<GainControl>(1.0f, 0);
    auto segments = std::make_shared<SegmentedMeter>(3);
    GainRenderer renderer(control, std::make_shared<EngineMeter>(), segments);
    Buffers in({{2, 64}});
    const AudioBufferList input = in.list();
    Buffers out({{2, 64}});

    renderer.process(&input, 0, out.list());  // first cycle: flat and same segment
    control->set(1.0f, 1);                    // segment changes, gain does not
    renderer.process(&input, 0, out.list());
    renderer.process(&input, 0, out.list());  // steady in segment 1
    control->set(0.5f);                       // ramp within segment 1
    renderer.process(&input, 0, out.list());

    EXPECT_EQ(segments->segments()[0]->totalCallbacks(), 1u);
    EXPECT_EQ(segments->segments()[1]->totalCallbacks(), 1u);
    EXPECT_EQ(segments->transitions()->totalCallbacks(), 2u);
}

TEST(GainRendererTest, ProcessingNeverAllocates) {
    auto control = std::make_shared<GainControl>(0.7f, 0);
    GainRenderer renderer(control, std::make_shared<EngineMeter>(),
                          std::make_shared<SegmentedMeter>(4));
    std::mt19937 random(5);
    Buffers in({{2, 512}, {6, 512}, {1, 512}});
    in.fill(random);
    const AudioBufferList input = in.list();
    Buffers stereo({{2, 512}}), mono({{1, 512}}), quad({{1, 512}, {3, 512}});
    testing::AllocationCounter allocations;
    for (std::uint32_t i = 0; i < 50; ++i) {
        control->set(float(i % 10) / 10.0f, i % 5);
        renderer.process(&input, 0, stereo.list());
        renderer.process(&input, 1, mono.list());
        renderer.process(&input, 2, quad.list());
        renderer.process(nullptr, 0, stereo.list());
    }
    EXPECT_EQ(allocations.count(), 0u);
}

}  // namespace
}  // namespace sonvel
