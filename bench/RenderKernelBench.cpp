// Times RenderKernel::render for several channel shapes at 512 frames, next to
// memcpy of the same output bytes in the same run, and prints each time as a
// ratio to that memcpy: the machines are shared, so only ratios compare.
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/GainRenderer.hpp"
#include "core/RenderKernel.hpp"

namespace {

using namespace sonvel;

constexpr std::int64_t frames = 512;

struct Shape {
    const char* name;
    std::uint32_t in;
    std::uint32_t out;
};

constexpr Shape shapes[] = {{"2to2", 2, 2}, {"6to2", 6, 2}, {"2to1", 2, 1}, {"1to4", 1, 4}};

struct Side {
    std::vector<float> samples;
    AudioBuffer buffer;
    Side(std::uint32_t channels, std::mt19937& random)
        : samples(static_cast<std::size_t>(frames) * channels) {
        std::uniform_real_distribution<float> d(-1, 1);
        for (float& x : samples) x = d(random);
        buffer = {channels, static_cast<std::uint32_t>(samples.size() * 4), samples.data()};
    }
};

// What a first, per-sample version of the kernel does: one running 64-bit sum
// and strided access per channel. Kept to show what the kernel is measured against.
RenderStats plainStereo(const float* in, float* out, float from, float to) {
    RenderStats s;
    const float step = (to - from) / float(frames);
    for (int c = 0; c < 2; ++c) {
        for (std::int64_t i = 0; i < frames; ++i) {
            const float x = in[i * 2 + c];
            s.inputPeak = std::max(s.inputPeak, std::fabs(x));
            s.inputNonZeroSamples += x != 0.0f;
            s.inputSumOfSquares += double(x) * x;
        }
    }
    for (int c = 0; c < 2; ++c) {
        for (std::int64_t i = 0; i < frames; ++i) {
            const float v = (from + float(i + 1) * step) * in[i * 2 + c];
            out[i * 2 + c] = v;
            s.outputPeak = std::max(s.outputPeak, std::fabs(v));
            s.outputSumOfSquares += double(v) * v;
        }
    }
    s.frames = frames;
    return s;
}

void render(benchmark::State& state, Shape shape, bool ramp) {
    std::mt19937 random(1);
    Side in(shape.in, random), out(shape.out, random);
    const AudioBufferList input{{&in.buffer, 1}};
    const AudioBufferList output{{&out.buffer, 1}};
    float from = 1.0f;
    for (auto _ : state) {
        const float to = ramp ? 1.0f - from + 0.25f : from;
        benchmark::DoNotOptimize(RenderKernel::render(&input, 0, output, from, to));
        benchmark::ClobberMemory();
        from = to;
    }
}

// A whole IO cycle of a gain engine: one control read, the kernel, the meter.
void renderer(benchmark::State& state) {
    std::mt19937 random(1);
    Side in(2, random), out(2, random);
    const AudioBufferList input{{&in.buffer, 1}};
    const AudioBufferList output{{&out.buffer, 1}};
    auto control = std::make_shared<GainControl>(0.5f);
    GainRenderer gainRenderer(control, std::make_shared<EngineMeter>());
    for (auto _ : state) {
        benchmark::DoNotOptimize(gainRenderer.process(&input, 0, output));
        benchmark::ClobberMemory();
    }
}

void plain(benchmark::State& state) {
    std::mt19937 random(1);
    Side in(2, random), out(2, random);
    float from = 1.0f;
    for (auto _ : state) {
        const float to = 1.0f - from + 0.25f;
        benchmark::DoNotOptimize(plainStereo(in.samples.data(), out.samples.data(), from, to));
        benchmark::ClobberMemory();
        from = to;
    }
}

void copy(benchmark::State& state, std::uint32_t channels) {
    std::mt19937 random(1);
    Side in(channels, random), out(channels, random);
    for (auto _ : state) {
        std::memcpy(out.samples.data(), in.samples.data(), out.samples.size() * sizeof(float));
        benchmark::ClobberMemory();
    }
}

// Collects each benchmark's time per iteration as it is reported.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration)
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    for (const Shape& s : shapes) {
        benchmark::RegisterBenchmark(fmt::format("render/{}/steady", s.name).c_str(), render, s,
                                     false);
        benchmark::RegisterBenchmark(fmt::format("render/{}/ramp", s.name).c_str(), render, s,
                                     true);
    }
    benchmark::RegisterBenchmark("plain/2to2/ramp", plain);
    benchmark::RegisterBenchmark("ioblock/2to2/steady", renderer);
    for (std::uint32_t channels : {1u, 2u, 4u}) {
        benchmark::RegisterBenchmark(fmt::format("memcpy/{}ch", channels).c_str(), copy, channels);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    fmt::print("\nTime per 512-frame cycle as a multiple of memcpy of the same output bytes:\n");
    const auto ratio = [&](const std::string& name, std::uint32_t outChannels) {
        const auto t = reporter.times.find(name);
        const auto base = reporter.times.find(fmt::format("memcpy/{}ch", outChannels));
        if (t == reporter.times.end() || base == reporter.times.end()) return;
        fmt::print("  {:<22} {:6.1f}x\n", name, t->second / base->second);
    };
    for (const Shape& s : shapes) {
        ratio(fmt::format("render/{}/steady", s.name), s.out);
        ratio(fmt::format("render/{}/ramp", s.name), s.out);
    }
    ratio("plain/2to2/ramp", 2);
    ratio("ioblock/2to2/steady", 2);
    benchmark::Shutdown();
    return 0;
}
