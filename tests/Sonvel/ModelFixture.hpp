#pragma once

// The model over the real engine host and the simulated audio system, every
// queue stepped in virtual time.

#include <gtest/gtest.h>

#include "Sonvel/MixerModel.hpp"
#include "core/PreferencesCodec.hpp"
#include "platform/sim/SimulatedAudioSystem.hpp"
#include "platform/sim/SimulatedSystemServices.hpp"
#include "platform/sim/SimulatedWorld.hpp"
#include "platform/sim/SpeakerAnalysis.hpp"
#include "tap/SteppedQueue.hpp"

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
        return std::chrono::system_clock::time_point{std::chrono::seconds{1'780'000'000}} +
               std::chrono::duration_cast<std::chrono::system_clock::duration>(queue_.now() -
                                                                               start_);
    }
    std::chrono::steady_clock::time_point uptime() const override { return queue_.now(); }

  private:
    const SteppedQueue& queue_;
    std::chrono::steady_clock::time_point start_;
};

struct MemoryStore final : PreferencesStore {
    std::optional<std::string> data(const std::string& key) const override {
        const auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    }
    void setData(const std::string& key, const std::string& bytes) override {
        values[key] = bytes;
        ++writes;
    }
    std::map<std::string, std::string> values;
    int writes = 0;
};

struct FakeWorkspace final : Workspace {
    void observeSleep(std::function<void()> sleep, std::function<void()> wake) override {
        willSleep = std::move(sleep);
        didWake = std::move(wake);
    }
    bool open(const std::string& url) override {
        opened.push_back(url);
        return false;
    }
    bool openDesktopSoundSettings() override {
        opened.push_back("desktop sound settings");
        return true;
    }
    void relaunch(std::function<void()> then) override { then(); }
    void terminate() override { terminated = true; }
    std::function<void()> willSleep, didWake;
    std::vector<std::string> opened;
    bool terminated = false;
};

struct FakeLoginItem final : LoginItem {
    std::expected<void, std::string> setEnabled(bool) override { return {}; }
    bool isEnabled() const override { return false; }
};

class MixerModelTest : public ::testing::Test {
  protected:
    MixerModelTest() { buildWorld(); }
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
        buildWorld();
    }
    void buildWorld() {
        speakers = hal->addDevice({.uid = "spk", .name = "Speakers"});
        music = hal->addProcess({.pid = 501,
                                 .bundleID = "com.apple.Music",
                                 .signal = {sim::Signal::Kind::sine, 440, 1.0},
                                 .playing = true});
        podcasts = hal->addProcess({.pid = 830,
                                    .bundleID = "com.example.podcasts",
                                    .signal = {sim::Signal::Kind::sine, 660, 1.0},
                                    .playing = true});
        hal->addProcess({.pid = 4242, .bundleID = "app.velmorra.sonvel"});
        world = *sim::SimulatedWorld::load(
            *hal,
            {{"ownPID", 4242},
             {"osBuild", "24A335"},
             {"applications",
              {{{"pid", 501}, {"name", "Music"}, {"bundlePath", "/Applications/Music.app"}},
               {{"pid", 830}, {"name", "Podcasts"}, {"bundlePath", "/Applications/Podcasts.app"}}}},
             {"bundles",
              {{{"path", "/Applications/Music.app"},
                {"bundleID", "com.apple.Music"},
                {"name", "Music"}},
               {{"path", "/Applications/Podcasts.app"},
                {"bundleID", "com.example.podcasts"},
                {"name", "Podcasts"}}}}});
        services = std::make_shared<sim::SimulatedSystemServices>(*world);
    }
    ~MixerModelTest() override {
        if (model) model->shutdown();
    }

    // A setup already done on this machine: permission proven, live test passed.
    void storeValidSetup(Preferences p = {}) {
        p.permissionVerifiedAt =
            std::chrono::system_clock::time_point{std::chrono::seconds{1'700'000'000}};
        ValidationRecord record;
        record.outcome = ValidationRecord::Outcome::passed;
        record.osBuild = "24A335";
        record.engineRevision = 1;
        p.validation = record;
        store->values[MixerModel::preferencesKey] = PreferencesCodec::encode(p);
    }

    void start() {
        MixerModel::Environment env;
        env.hal = hal;
        env.system = services;
        env.mainQueue = main;
        env.clock = std::make_shared<VirtualClock>(*main);
        env.store = store;
        env.workspace = workspace;
        env.loginItem = std::make_shared<FakeLoginItem>();
        env.hostQueue = hostQueue;
        env.observerQueue = observerQueue;
        env.handoverSleep = [this](double) { hal->step(1); };
        env.makeEngineListenerQueue = [this] { return engineListeners; };
        model = MixerModel::make(env);
        settle();
    }

    // Lets every queue catch up at the current virtual time.
    void settle() {
        for (int i = 0; i < 4; ++i) {
            observerQueue->runUntilIdle();
            engineListeners->runUntilIdle();
            hostQueue->runUntilIdle();
            main->runUntilIdle();
        }
    }
    // Runs the machine for a while: audio, listeners, host and main loop.
    void run(std::chrono::milliseconds duration) {
        for (auto t = 0ms; t < duration; t += 10ms) {
            hal->step(1);
            observerQueue->advance(10ms);
            engineListeners->advance(10ms);
            hostQueue->advance(10ms);
            main->advance(10ms);
            settle();
        }
    }
    double heard(double frequency) {
        hal->clearSpeaker(speakers);
        run(400ms);
        const auto s = hal->speaker(speakers);
        return analysis::dB(analysis::toneAmplitude(s, 2, 0, frequency, 48000));
    }
    Preferences stored() const {
        return PreferencesCodec::decode(store->data(MixerModel::preferencesKey)).preferences;
    }
    GroupStatus status(const std::string& key) const { return model->statuses->at(key); }
    // Taps, aggregates and IO procedures alive (the observer's listeners aside).
    std::size_t engineObjects() const {
        const auto a = hal->accounting();
        return a.taps + a.aggregates + a.ioProcs;
    }
    static AppGroupDescriptor musicRow() { return {"com.apple.Music", "Music"}; }

    std::shared_ptr<SimulatedAudioSystem> hal = std::make_shared<SimulatedAudioSystem>();
    std::optional<sim::SimulatedWorld> world;
    std::shared_ptr<sim::SimulatedSystemServices> services;
    std::shared_ptr<SteppedQueue> main = std::make_shared<SteppedQueue>("main");
    std::shared_ptr<SteppedQueue> hostQueue =
        std::make_shared<SteppedQueue>(EngineHost::queueLabel);
    std::shared_ptr<SteppedQueue> observerQueue =
        std::make_shared<SteppedQueue>(AudioChangeObserver::queueLabel);
    // Every engine's listeners, so engine faults arrive when the test says.
    std::shared_ptr<SteppedQueue> engineListeners =
        std::make_shared<SteppedQueue>(GainTapEngine::listenerQueueLabel);
    std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
    std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
    AudioObjectID speakers, music, podcasts;
    std::shared_ptr<MixerModel> model;
    Log::Capture log;
};

}  // namespace sonvel::modeltest
