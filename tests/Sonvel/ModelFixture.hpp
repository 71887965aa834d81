#pragma once

// The model over the real engine host and the simulated audio system, every
// queue stepped in virtual time.

#include <gtest/gtest.h>

#include "../support/FakeDesktop.hpp"
#include "../support/Tones.hpp"
#include "Sonvel/MixerModel.hpp"
#include "core/PreferencesCodec.hpp"
#include "platform/sim/SimulatedAudioSystem.hpp"
#include "platform/sim/SimulatedSystemServices.hpp"
#include "platform/sim/SimulatedWorld.hpp"
#include "platform/sim/SpeakerAnalysis.hpp"
#include "support/SteppedQueue.hpp"

namespace sonvel::modeltest {

using namespace std::chrono_literals;
using sim::SimulatedAudioSystem;
using Call = SimulatedAudioSystem::Call;
namespace analysis = sim::SpeakerAnalysis;

// Dates and the continuous clock both follow the main queue's virtual time.
class VirtualClock final : public Clock {
  public:
    explicit VirtualClock(const SteppedQueue& queue) : queue_(queue), start_(queue.now()) {}
    std::chrono::system_clock::time_point now() const override {
        return std::chrono::sys_seconds{1'780'000'000s} + (queue_.now() - start_);
    }
    std::chrono::steady_clock::time_point uptime() const override { return queue_.now(); }

  private:
    const SteppedQueue& queue_;
    std::chrono::steady_clock::time_point start_;
};

using testsupport::FakeLoginItem;
using testsupport::FakeWorkspace;
using testsupport::halfSliderDB;
using testsupport::MemoryStore;
using testsupport::toneDB;

// A setup already done on this machine: permission proven, live test passed.
inline void storeValidSetup(MemoryStore& store, Preferences p) {
    p.permissionVerifiedAt = std::chrono::sys_seconds{1'700'000'000s};
    p.validation = ValidationRecord{
        .outcome = ValidationRecord::Outcome::passed, .osBuild = "24A335", .engineRevision = 1};
    store.values[MixerModel::preferencesKey] = PreferencesCodec::encode(p);
}

// An application's pid, bundle identifier and name.
using Application = std::tuple<int, std::string, std::string>;

// This machine as Sonvel (pid 4242) finds it: these applications, each in a
// bundle of its own name.
inline sim::SimulatedWorld loadWorld(SimulatedAudioSystem& hal,
                                     const std::vector<Application>& apps) {
    hal.addProcess({.pid = 4242, .bundleID = "app.velmorra.sonvel"});
    nlohmann::json applications = nlohmann::json::array(), bundles = nlohmann::json::array();
    for (const auto& [pid, bundleID, name] : apps) {
        const std::string path = "/Applications/" + name + ".app";
        applications.push_back({{"pid", pid}, {"name", name}, {"bundlePath", path}});
        bundles.push_back({{"path", path}, {"bundleID", bundleID}, {"name", name}});
    }
    return *sim::SimulatedWorld::load(hal, {{"ownPID", 4242},
                                            {"osBuild", "24A335"},
                                            {"applications", applications},
                                            {"bundles", bundles}});
}

// An application with a full-scale tone of its own.
inline AudioObjectID addPlayer(SimulatedAudioSystem& hal, ProcessID pid,
                               const std::string& bundleID, double frequency, bool playing = true) {
    return hal.addProcess({.pid = pid,
                           .bundleID = bundleID,
                           .signal = {sim::Signal::Kind::sine, frequency, 1.0},
                           .playing = playing});
}

class MixerModelTest : public ::testing::Test {
  protected:
    MixerModelTest() { freshWorld(); }
    // Starts over with a new audio system, queues and store, as a new launch
    // on a new machine would.
    void freshWorld() {
        if (model) model->shutdown();
        model.reset();
        hal = std::make_shared<SimulatedAudioSystem>();
        main = std::make_shared<SteppedQueue>("main");
        hostQueue = std::make_shared<SteppedQueue>(EngineHost::queueLabel);
        observerQueue = std::make_shared<SteppedQueue>(AudioChangeObserver::queueLabel);
        engineListeners = std::make_shared<SteppedQueue>(GainTapEngine::listenerQueueLabel);
        store = std::make_shared<MemoryStore>();
        workspace = std::make_shared<FakeWorkspace>();
        speakers = hal->addDevice({.uid = "spk", .name = "Speakers"});
        music = addPlayer(*hal, 501, "com.apple.Music", 440);
        podcasts = addPlayer(*hal, 830, "com.example.podcasts", 660);
        world = loadWorld(
            *hal, {{501, "com.apple.Music", "Music"}, {830, "com.example.podcasts", "Podcasts"}});
        services = std::make_shared<sim::SimulatedSystemServices>(*world);
    }
    ~MixerModelTest() override {
        if (model) model->shutdown();
    }

    // A valid setup with Music and Podcasts at these levels (full: no entry).
    void storeLevels(double musicLevel, double podcastsLevel = 1.0) {
        Preferences p;
        p.set(AppPreference(musicLevel, false, "Music"), "com.apple.Music");
        p.set(AppPreference(podcastsLevel, false, "Podcasts"), "com.example.podcasts");
        storeValidSetup(p);
    }
    void storeValidSetup(Preferences p = {}) { modeltest::storeValidSetup(*store, std::move(p)); }

    // What the model starts with: this machine, its stepped queues, the fakes.
    MixerModel::Environment environment() {
        return {.hal = hal,
                .system = services,
                .mainQueue = main,
                .clock = std::make_shared<VirtualClock>(*main),
                .store = storeInUse ? storeInUse : store,
                .workspace = workspace,
                .loginItem = loginItem,
                .hostQueue = hostQueue,
                .observerQueue = observerQueue,
                .handoverSleep = [this](double) { hal->step(1); },
                .makeEngineListenerQueue = [this] { return engineListeners; }};
    }
    void start() {
        model = MixerModel::make(environment());
        settle();
    }
    // Launched on a machine already set up, Music and Podcasts at these levels.
    void startReady(double musicLevel = 1.0, double podcastsLevel = 1.0) {
        storeLevels(musicLevel, podcastsLevel);
        start();
    }
    // Commands are saved once, 500 ms after the last of them, and not before.
    void expectOneSaveAfterTheDebounce(int writesBefore) {
        settle();
        main->advance(499ms);
        EXPECT_EQ(store->writes, writesBefore);
        main->advance(2ms);
        EXPECT_EQ(store->writes, writesBefore + 1);
    }

    // In the order each turn serves them: listeners first, the main loop last.
    std::array<SteppedQueue*, 4> queues() const {
        return {observerQueue.get(), engineListeners.get(), hostQueue.get(), main.get()};
    }
    // Lets every queue catch up at the current virtual time.
    void settle() {
        for (int i = 0; i < 4; ++i)
            for (auto* q : queues()) q->runUntilIdle();
    }
    // Runs the machine for a while: audio, listeners, host and main loop.
    void run(std::chrono::milliseconds duration) {
        for (auto t = 0ms; t < duration; t += 10ms) {
            hal->step(1);
            for (auto* q : queues()) q->advance(10ms);
            settle();
        }
    }
    double heard(double frequency) {
        hal->clearSpeaker(speakers);
        run(400ms);
        return toneDB(hal->speaker(speakers), frequency);
    }
    Preferences stored() const {
        return PreferencesCodec::decode(store->data(MixerModel::preferencesKey).value())
            .preferences;
    }
    GroupStatus status(const std::string& key) const { return model->statuses->at(key); }
    // Taps, aggregates and IO procedures alive (the observer's listeners aside).
    std::size_t engineObjects() const {
        const auto a = hal->accounting();
        return a.taps + a.aggregates + a.ioProcs;
    }
    static AppGroupDescriptor musicRow() { return {"com.apple.Music", "Music"}; }

    std::shared_ptr<SimulatedAudioSystem> hal;
    std::optional<sim::SimulatedWorld> world;
    std::shared_ptr<sim::SimulatedSystemServices> services;
    // The last one is every engine's listeners, so engine faults arrive when the test says.
    std::shared_ptr<SteppedQueue> main, hostQueue, observerQueue, engineListeners;
    std::shared_ptr<MemoryStore> store;
    // A store on disk instead, for the tests of the settings file itself.
    std::shared_ptr<PreferencesStore> storeInUse;
    std::shared_ptr<FakeWorkspace> workspace;
    std::shared_ptr<LoginItem> loginItem = std::make_shared<FakeLoginItem>();
    AudioObjectID speakers, music, podcasts;
    std::shared_ptr<MixerModel> model;
    Log::Capture log;
};

}  // namespace sonvel::modeltest
