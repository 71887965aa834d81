// Times RenderKernel::render for several channel shapes at 512 frames, next to
// memcpy of the same output bytes in the same run, and prints each time as a
// ratio to that memcpy: the machines are shared, so only ratios compare.
//
// A ratio is only as honest as its baseline, so memcpy and the kernel get the
// same buffers: each allocated on its own, the source and the destination
// placed half a page apart (both cache-line aligned), so that no load is ever
// mistaken for a pending store to an address equal modulo 4 KiB, which would
// slow the baseline and flatter every ratio. Caches are warm (Google
// Benchmark's warm-up and iterations), and each figure is the fastest of many
// short repetitions, run in random interleaving: the slowest disturbances of a
// shared machine are dropped and the rest fall on baseline and kernel alike.
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/GainRenderer.hpp"
#include "core/RenderKernel.hpp"

namespace {

using namespace sonvel;

constexpr std::int64_t frames = 512;
constexpr std::size_t page = 4096;
// Where a buffer starts within its own page-aligned allocation: the sources
// at 256 bytes, the destinations 2 KiB further.
constexpr std::size_t sourceOffset = 256;
constexpr std::size_t destinationOffset = sourceOffset + page / 2;
constexpr int repetitions = 40;

struct Shape {
    const char* name;
    std::uint32_t in;
    std::uint32_t out;
};

constexpr Shape shapes[] = {{"2to2", 2, 2}, {"6to2", 6, 2}, {"2to1", 2, 1}, {"1to4", 1, 4}};

struct Free {
    void operator()(void* p) const { std::free(p); }
};

// One channel-interleaved buffer of `frames` frames, in an allocation of its
// own, at `offset` bytes into its first page, filled with noise in [-1, 1).
class Samples {
  public:
    Samples(std::uint32_t channels, std::size_t offset, std::mt19937& random)
        : count_(static_cast<std::size_t>(frames) * channels),
          memory_(static_cast<char*>(std::aligned_alloc(page, page + count_ * sizeof(float)))),
          data_(reinterpret_cast<float*>(memory_.get() + offset)),
          buffer_{channels, static_cast<std::uint32_t>(count_ * sizeof(float)), data_} {
        std::uniform_real_distribution<float> d(-1, 1);
        std::generate_n(data_, count_, [&] { return d(random); });
    }
    float* data() const { return data_; }
    std::size_t bytes() const { return count_ * sizeof(float); }
    AudioBufferList list() const { return {{&buffer_, 1}}; }

  private:
    std::size_t count_;
    std::unique_ptr<char, Free> memory_;
    float* data_;
    AudioBuffer buffer_;
};

struct Pair {
    std::mt19937 random{1};
    Samples in;
    Samples out;
    Pair(std::uint32_t inChannels, std::uint32_t outChannels)
        : in(inChannels, sourceOffset, random), out(outChannels, destinationOffset, random) {}
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
    const Pair buffers(shape.in, shape.out);
    const AudioBufferList input = buffers.in.list();
    const AudioBufferList output = buffers.out.list();
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
    const Pair buffers(2, 2);
    const AudioBufferList input = buffers.in.list();
    const AudioBufferList output = buffers.out.list();
    auto control = std::make_shared<GainControl>(0.5f);
    GainRenderer gainRenderer(control, std::make_shared<EngineMeter>());
    for (auto _ : state) {
        benchmark::DoNotOptimize(gainRenderer.process(&input, 0, output));
        benchmark::ClobberMemory();
    }
}

void plain(benchmark::State& state) {
    const Pair buffers(2, 2);
    float from = 1.0f;
    for (auto _ : state) {
        const float to = 1.0f - from + 0.25f;
        benchmark::DoNotOptimize(plainStereo(buffers.in.data(), buffers.out.data(), from, to));
        benchmark::ClobberMemory();
        from = to;
    }
}

void copy(benchmark::State& state, std::uint32_t channels) {
    const Pair buffers(channels, channels);
    for (auto _ : state) {
        std::memcpy(buffers.out.data(), buffers.in.data(), buffers.out.bytes());
        benchmark::ClobberMemory();
    }
}

double fastest(const std::vector<double>& times) {
    return *std::min_element(times.begin(), times.end());
}

// Collects each benchmark's fastest repetition, in CPU time per iteration:
// time spent descheduled on a shared machine never reaches the figures.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> fastestRuns;
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "min") continue;
            fastestRuns.push_back(run);
            times[run.run_name.function_name] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(fastestRuns);
    }
    std::map<std::string, double> times;
};

benchmark::internal::Benchmark* repeated(benchmark::internal::Benchmark* b) {
    return b->Repetitions(repetitions)
        ->ComputeStatistics("min", fastest)
        ->MinTime(0.02)
        ->MinWarmUpTime(0.01)
        ->ReportAggregatesOnly(true);
}

}  // namespace

int main(int argc, char** argv) {
    for (const Shape& s : shapes) {
        for (const bool ramp : {false, true}) {
            const auto name = fmt::format("render/{}/{}", s.name, ramp ? "ramp" : "steady");
            repeated(benchmark::RegisterBenchmark(name.c_str(), render, s, ramp));
        }
    }
    repeated(benchmark::RegisterBenchmark("plain/2to2/ramp", plain));
    repeated(benchmark::RegisterBenchmark("ioblock/2to2/steady", renderer));
    for (std::uint32_t channels : {1u, 2u, 4u}) {
        const auto name = fmt::format("memcpy/{}ch", channels);
        repeated(benchmark::RegisterBenchmark(name.c_str(), copy, channels));
    }
    // Interleaving by default; a flag on the command line still overrides it.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    fmt::print(
        "\nFastest of {} repetitions, CPU time per 512-frame cycle, as a multiple of memcpy\n"
        "of the same output bytes (source and destination {} bytes apart modulo 4 KiB):\n",
        repetitions, destinationOffset - sourceOffset);
    const auto ratio = [&](const std::string& name, std::uint32_t outChannels) {
        const std::string baseline = fmt::format("memcpy/{}ch", outChannels);
        const auto t = reporter.times.find(name);
        const auto base = reporter.times.find(baseline);
        if (t == reporter.times.end() || base == reporter.times.end()) return;
        fmt::print("  {:<22} {:8.1f} ns {:6.1f}x   ({} {:.1f} ns)\n", name, t->second,
                   t->second / base->second, baseline, base->second);
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
