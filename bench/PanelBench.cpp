// What the panel costs a person: opening it with fifty applications listed,
// and one model change that touches one row, in milliseconds (stepped queues,
// so only the main thread's work is timed); and what Sonvel costs while
// nobody looks: CPU over 30 s of real time with the panel closed and five
// applications under control, as a share of one core.
//
//   build/bench/panel_bench   (offscreen; no display needed)

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <ctime>

#include "Sonvel/Clock.hpp"
#include "core/PreferencesCodec.hpp"
#include "platform/qt/QtMainQueue.hpp"
#include "platform/sim/SimulatedSystemServices.hpp"
#include "support/FakeDesktop.hpp"
#include "support/SteppedQueue.hpp"
#include "ui/AppRowWidget.hpp"
#include "ui/MixerPanel.hpp"
#include "ui/SymbolIcons.hpp"

namespace sonvel {
namespace {

using namespace std::chrono_literals;

using testsupport::FakeLoginItem;
using testsupport::FakeWorkspace;
using testsupport::MemoryStore;

class SteppedClock final : public Clock {
  public:
    explicit SteppedClock(const SteppedQueue& queue) : queue_(queue) {}
    std::chrono::system_clock::time_point now() const override {
        return std::chrono::system_clock::time_point{} +
               std::chrono::duration_cast<std::chrono::system_clock::duration>(
                   queue_.now().time_since_epoch());
    }
    std::chrono::steady_clock::time_point uptime() const override { return queue_.now(); }

  private:
    const SteppedQueue& queue_;
};

std::string key(int i) {
    return "com.example.app" + std::to_string(i);
}
std::string name(int i) {
    return "App " + std::to_string(i);
}

// A machine with `apps` applications playing tones, each its own, and a
// finished setup with the first `controlled` of them turned down.
struct Machine {
    Machine(int apps, int controlled, sim::SimulatedAudioSystem::ClockMode mode)
        : audio(std::make_shared<sim::SimulatedAudioSystem>(mode)) {
        audio->addDevice({.uid = "spk", .name = "Speakers"});
        audio->addProcess({.pid = 4242, .bundleID = "app.velmorra.sonvel"});
        nlohmann::json applications = nlohmann::json::array();
        nlohmann::json bundles = nlohmann::json::array();
        for (int i = 0; i < apps; ++i) {
            const std::string path = "/Applications/" + name(i) + ".app";
            applications.push_back({{"pid", 1000 + i}, {"name", name(i)}, {"bundlePath", path}});
            bundles.push_back({{"path", path}, {"bundleID", key(i)}, {"name", name(i)}});
            audio->addProcess({.pid = 1000 + i,
                               .bundleID = key(i),
                               .signal = {sim::Signal::Kind::sine, 200.0 + 10 * i, 0.1},
                               .playing = true});
        }
        world.emplace(*sim::SimulatedWorld::load(*audio, {{"ownPID", 4242},
                                                          {"osBuild", "24A335"},
                                                          {"applications", applications},
                                                          {"bundles", bundles}}));
        Preferences p;
        p.permissionVerifiedAt = std::chrono::system_clock::time_point{std::chrono::hours(1)};
        ValidationRecord record;
        record.outcome = ValidationRecord::Outcome::passed;
        record.osBuild = "24A335";
        record.engineRevision = 1;
        p.validation = record;
        for (int i = 0; i < controlled; ++i) p.set(AppPreference(0.5, false, name(i)), key(i));
        store->values[MixerModel::preferencesKey] = PreferencesCodec::encode(p);
        env.hal = audio;
        env.system = std::make_shared<sim::SimulatedSystemServices>(*world);
        env.store = store;
        env.workspace = std::make_shared<FakeWorkspace>();
        env.loginItem = std::make_shared<FakeLoginItem>();
    }

    std::shared_ptr<sim::SimulatedAudioSystem> audio;
    std::optional<sim::SimulatedWorld> world;
    std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
    MixerModel::Environment env;
};

// Every queue stepped: the model's own work and the panel's rendering are all
// that runs, on this thread.
struct SteppedMachine : Machine {
    explicit SteppedMachine(int apps)
        : Machine(apps, 0, sim::SimulatedAudioSystem::ClockMode::stepped) {
        env.mainQueue = main;
        env.hostQueue = host;
        env.observerQueue = observer;
        env.makeEngineListenerQueue = [q = listeners] { return q; };
        env.clock = std::make_shared<SteppedClock>(*main);
        env.handoverSleep = [](double) {};
        model = MixerModel::make(env);
        settle();
    }
    ~SteppedMachine() { model->shutdown(); }
    void settle() {
        for (int i = 0; i < 3; ++i) {
            observer->runUntilIdle();
            listeners->runUntilIdle();
            host->runUntilIdle();
            main->runUntilIdle();
        }
    }

    std::shared_ptr<SteppedQueue> main = std::make_shared<SteppedQueue>("main");
    std::shared_ptr<SteppedQueue> host = std::make_shared<SteppedQueue>("host");
    std::shared_ptr<SteppedQueue> observer = std::make_shared<SteppedQueue>("observer");
    std::shared_ptr<SteppedQueue> listeners = std::make_shared<SteppedQueue>("listeners");
    std::shared_ptr<MixerModel> model;
};

void panelOpens(benchmark::State& state) {
    SteppedMachine machine(int(state.range(0)));
    for (auto _ : state) {
        auto panel = std::make_unique<MixerPanel>(machine.model, AppIconNames{}, [] {});
        panel->show();     // the model refreshes from a new snapshot
        machine.settle();  // and the panel renders what it found
        benchmark::DoNotOptimize(panel->rowsInOrder().size());
        state.PauseTiming();
        panel.reset();
        machine.settle();
        state.ResumeTiming();
    }
}
BENCHMARK(panelOpens)->Arg(50)->Unit(benchmark::kMillisecond);

void oneRowChanges(benchmark::State& state) {
    SteppedMachine machine(int(state.range(0)));
    MixerPanel panel(machine.model, AppIconNames{}, [] {});
    panel.show();
    machine.settle();
    const AppGroupDescriptor row{key(7), name(7), std::nullopt, false, true, true};
    double position = 0.5;
    for (auto _ : state) {
        position = position == 0.5 ? 0.6 : 0.5;
        machine.model->setPosition(position, row);  // the command, its reconcile
        machine.settle();                           // and the one row re-rendered
    }
    if (panel.row(key(7))->state().position != position) state.SkipWithError("row not rendered");
}
BENCHMARK(oneRowChanges)->Arg(50)->Unit(benchmark::kMillisecond);

double cpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Real time, real threads: the model on Qt's event loop and the simulated
// audio system playing six applications, `range(1)` of them under control.
// The process figure includes the simulator's device thread, which stands in
// for the audio server (another process on a real system): the run with no
// application under control measures it alone. The main thread's figure is
// Sonvel's own loop.
void idleWithPanelClosed(benchmark::State& state) {
    const int controlled = int(state.range(1));
    Machine machine(6, controlled, sim::SimulatedAudioSystem::ClockMode::realTime);
    machine.env.mainQueue = std::make_shared<QtMainQueue>();
    machine.env.clock = std::make_shared<SystemClock>();
    const auto model = MixerModel::make(machine.env);
    const auto run = [](std::chrono::milliseconds duration) {
        QEventLoop loop;
        QTimer::singleShot(duration, &loop, &QEventLoop::quit);
        loop.exec();
    };
    run(2s);  // engines up
    if (machine.audio->accounting().aggregates != std::size_t(controlled))
        state.SkipWithError("engines not running");
    const std::chrono::seconds span{state.range(0)};
    for (auto _ : state) {
        const double process = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const double mainThread = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        run(span);
        state.counters["process_pct_of_core"] =
            100 * (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process) / double(span.count());
        state.counters["main_thread_pct_of_core"] =
            100 * (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - mainThread) / double(span.count());
    }
    model->shutdown();
}
BENCHMARK(idleWithPanelClosed)
    ->Args({30, 5})
    ->Args({30, 0})
    ->ArgNames({"seconds", "controlled"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace sonvel

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    sonvel::SymbolIcons::useDesktopTheme();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
