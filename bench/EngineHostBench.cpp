// Times one apply of twenty unchanged specs on the host's queue: the plan
// that finds nothing to do, which the application runs twice a second.
#include <benchmark/benchmark.h>

#include "MixerEngine/EngineHost.hpp"
#include "platform/sim/SimulatedAudioSystem.hpp"
#include "support/SteppedQueue.hpp"

namespace {

using namespace sonvel;

void applyUnchanged(benchmark::State& state) {
    auto hal = std::make_shared<sim::SimulatedAudioSystem>();
    hal->addDevice({.uid = "spk", .name = "Speakers"});
    std::vector<EngineSpec> specs;
    for (int i = 0; i < 20; ++i) {
        const AudioObjectID p = hal->addProcess({.pid = 100 + i, .playing = true});
        specs.push_back({"app." + std::to_string(i), "App", {{p}, "spk"}, 0.5f});
    }
    auto main = std::make_shared<SteppedQueue>("main");
    auto queue = std::make_shared<SteppedQueue>("host");
    EngineHost::Dependencies deps{hal, main, queue};
    auto host = EngineHost::make(deps, {});
    Log::Capture quiet;
    host->apply(specs);
    queue->runUntilIdle();
    for (auto _ : state) {
        host->apply(specs);
        queue->runUntilIdle();
    }
    host->stopAll(true);
}
BENCHMARK(applyUnchanged)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
