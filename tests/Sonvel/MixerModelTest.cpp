#include <gtest/gtest.h>

#include "Sonvel/MixerModel.hpp"
#include "core/PreferencesCodec.hpp"
#include "platform/sim/SimulatedAudioSystem.hpp"
#include "platform/sim/SimulatedSystemServices.hpp"
#include "platform/sim/SimulatedWorld.hpp"
#include "platform/sim/SpeakerAnalysis.hpp"
#include "tap/SteppedQueue.hpp"

namespace sonvel {
namespace {

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
    MixerModelTest() {
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
        model = MixerModel::make(env);
        settle();
    }

    // Lets every queue catch up at the current virtual time.
    void settle() {
        for (int i = 0; i < 4; ++i) {
            observerQueue->runUntilIdle();
            hostQueue->runUntilIdle();
            main->runUntilIdle();
        }
    }
    // Runs the machine for a while: audio, listeners, host and main loop.
    void run(std::chrono::milliseconds duration) {
        for (auto t = 0ms; t < duration; t += 10ms) {
            hal->step(1);
            observerQueue->advance(10ms);
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
    std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
    std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
    AudioObjectID speakers, music, podcasts;
    std::shared_ptr<MixerModel> model;
    Log::Capture log;
};

TEST_F(MixerModelTest, LevelsReachTheSpeakerOnlyWhileTheGateIsOpen) {
    start();
    EXPECT_EQ(model->gate(), ControlGate{ControlGate::NeedsPermission{}});
    model->setPosition(0.5, musicRow());
    model->toggleMute(musicRow());
    model->setRoute(OutputContext{speakers, "spk", "Speakers", std::nullopt}, musicRow());
    run(1s);
    EXPECT_TRUE(model->preferences->apps.empty());
    EXPECT_EQ(store->writes, 0);  // not even the stored preferences change
    EXPECT_NEAR(heard(440), 0.0, 0.05);
}

TEST_F(MixerModelTest, SlidersAreHeardAndSavedOnceAfterTheDrag) {
    storeValidSetup();
    start();
    ASSERT_TRUE(model->gate().isReady());
    const int before = store->writes;
    for (int i = 0; i < 10; ++i) {
        model->setPosition(0.1 * (i + 1) / 2, musicRow());
        main->advance(30ms);
    }
    settle();
    EXPECT_EQ(store->writes, before);
    main->advance(499ms - 30ms);
    EXPECT_EQ(store->writes, before);
    main->advance(2ms);
    EXPECT_EQ(store->writes, before + 1);
    EXPECT_NEAR(stored().apps.at("com.apple.Music").position, 0.5, 1e-9);
    EXPECT_NEAR(heard(440), -12.04, 0.05);
    EXPECT_NEAR(heard(660), 0.0, 0.05);
    EXPECT_EQ(status("com.apple.Music"), GroupStatus{GroupStatus::Active{}});
}

TEST_F(MixerModelTest, AFailingEngineIsRetriedOnScheduleThenGivenUp) {
    storeValidSetup();
    hal->inject({.call = Call::createProcessTap, .status = -50, .persistent = true});
    std::vector<double> attempts;
    start();
    const auto t0 = main->now();
    hal->setCallHook([&](Call c) {
        if (c == Call::createProcessTap)
            attempts.push_back(std::chrono::duration<double>(main->now() - t0).count());
    });
    model->setPosition(0.5, musicRow());
    settle();
    EXPECT_EQ(
        status("com.apple.Music"),
        (GroupStatus{GroupStatus::Failed{"AudioHardwareCreateProcessTap failed: -50", true}}));
    run(30s);
    EXPECT_EQ(attempts, (std::vector<double>{0.0, 0.5, 1.5, 3.5, 8.5, 18.5}));
    EXPECT_EQ(
        status("com.apple.Music"),
        (GroupStatus{GroupStatus::Failed{"AudioHardwareCreateProcessTap failed: -50", false}}));
    EXPECT_EQ(model->failures().at("com.apple.Music").count, 6);
    EXPECT_EQ(log.messages("model").back(),
              "Engine com.apple.Music failed (6): AudioHardwareCreateProcessTap failed: -50");
    // A command on the group starts over.
    model->setPosition(0.4, musicRow());
    settle();
    EXPECT_EQ(attempts.size(), 7u);
    hal->setCallHook({});
    EXPECT_EQ(model->failures().at("com.apple.Music").count, 1);
}

TEST_F(MixerModelTest, ARestartClearsFailuresAndRebuildsWithoutDestroyingVanishedObjects) {
    Preferences p;
    p.set(AppPreference(0.5, false, "Music"), "com.apple.Music");
    p.set(AppPreference(0.5, false, "Podcasts"), "com.example.podcasts");
    storeValidSetup(p);
    hal->inject({.call = Call::createProcessTap, .status = -50});  // Music's first attempt only
    start();
    ASSERT_TRUE(model->failures().contains("com.apple.Music"));
    EXPECT_EQ(hal->accounting().aggregates, 1u);
    std::vector<Call> calls;
    hal->setCallHook([&](Call c) { calls.push_back(c); });
    hal->restartServer();
    run(300ms);
    EXPECT_TRUE(model->failures().empty());
    EXPECT_EQ(std::ranges::count(calls, Call::destroyAggregateDevice), 0);
    EXPECT_EQ(std::ranges::count(calls, Call::destroyProcessTap), 0);
    hal->setCallHook({});
    EXPECT_EQ(hal->accounting().aggregates, 2u);
    EXPECT_NEAR(heard(440), -12.04, 0.05);
    EXPECT_NEAR(heard(660), -12.04, 0.05);
}

TEST_F(MixerModelTest, SleepRemovesEveryEngineAndWakeBringsThemBack) {
    Preferences p;
    p.set(AppPreference(0.5, false, "Music"), "com.apple.Music");
    storeValidSetup(p);
    start();
    EXPECT_EQ(hal->accounting().aggregates, 1u);
    workspace->willSleep();
    settle();
    EXPECT_EQ(engineObjects(), 0u);
    const GroupStatus paused =
        GroupStatus::Unavailable{UnavailableReason::ControlsLocked{ControlGate::Paused{}}};
    EXPECT_EQ(status("com.apple.Music"), paused);
    EXPECT_EQ(status("com.example.podcasts"), paused);
    run(2s);  // ticks keep it that way
    EXPECT_EQ(hal->accounting().aggregates, 0u);
    workspace->didWake();
    settle();
    EXPECT_EQ(status("com.apple.Music"), GroupStatus{GroupStatus::Active{}});
    EXPECT_NEAR(heard(440), -12.04, 0.05);
}

TEST_F(MixerModelTest, SilenceWatchdogRestoresEveryoneOnceAndDemandsANewCheck) {
    Preferences p;
    p.set(AppPreference(0.5, false, "Music"), "com.apple.Music");
    p.set(AppPreference(0.7, false, "Podcasts"), "com.example.podcasts");
    storeValidSetup(p);
    hal->setCapturePermission(false);  // withdrawn before anything was captured
    start();
    EXPECT_LT(heard(440), -100);  // muted and re-rendered from silence
    run(3s);
    EXPECT_EQ(model->permission.get(), PermissionState{PermissionState::LikelyDenied{}});
    EXPECT_EQ(model->permissionMessage.get(),
              "Sonvel received only silence from com.apple.Music while it was playing, so it "
              "restored all apps to normal volume. Check the permission, then run the access "
              "check again.");
    EXPECT_EQ(engineObjects(), 0u);
    EXPECT_NEAR(heard(440), 0.0, 0.05);
    EXPECT_NEAR(heard(660), 0.0, 0.05);
    const Preferences saved = stored();
    EXPECT_FALSE(saved.permissionVerifiedAt);
    EXPECT_EQ(saved.validation->invalidatedReason,
              "Sonvel stopped receiving audio from com.apple.Music.");
    EXPECT_EQ(std::ranges::count(log.messages("model"),
                                 "Silence watchdog tripped for com.apple.Music; locking controls"),
              1);
}

TEST_F(MixerModelTest, AccessCheckAndLiveTestEndToEnd) {
    Preferences levels;  // a level stored before the setup was ever done
    levels.set(AppPreference(0.5, false, "Podcasts"), "com.example.podcasts");
    store->values[MixerModel::preferencesKey] = PreferencesCodec::encode(levels);
    start();
    model->startPermissionCheck();
    run(1s);
    EXPECT_EQ(model->permission.get(), PermissionState{PermissionState::Verified{}});
    EXPECT_TRUE(stored().permissionVerifiedAt);
    EXPECT_EQ(model->gate(), ControlGate{ControlGate::NeedsLiveValidation{}});

    model->setPosition(0.5, musicRow());  // still locked: ignored
    model->startLiveTest("com.apple.Music");
    settle();
    ASSERT_TRUE(model->liveTest->is<LiveTestPhase::Running>());
    model->startLiveTest("com.apple.Music");  // one at a time
    run(11s);
    const auto* awaiting = model->liveTest->as<LiveTestPhase::AwaitingAnswer>();
    ASSERT_NE(awaiting, nullptr);
    ASSERT_EQ(awaiting->measurements.size(), 5u);
    EXPECT_EQ(awaiting->automaticFailure, std::nullopt);
    const double full = awaiting->measurements[0].outputRMSDBFS;
    EXPECT_NEAR(awaiting->measurements[1].outputRMSDBFS - full, -6.02, 0.1);
    EXPECT_NEAR(awaiting->measurements[2].outputRMSDBFS - full, -12.04, 0.1);
    EXPECT_EQ(awaiting->measurements[3].outputRMSDBFS, -120.0);
    EXPECT_GT(awaiting->measurements[3].steadyFrames, 0u);

    // The answer opens the gate, and the stored level's engine starts in that
    // same reconcile, before any tick.
    EXPECT_EQ(engineObjects(), 0u);
    model->answerLiveTest(true);
    EXPECT_TRUE(model->gate().isReady());
    hostQueue->runUntilIdle();
    EXPECT_EQ(hal->accounting().aggregates, 1u);
    EXPECT_NEAR(heard(660), -12.04, 0.05);
    const Preferences saved = stored();
    ASSERT_TRUE(saved.validation);
    EXPECT_EQ(saved.validation->outcome, ValidationRecord::Outcome::passed);
    EXPECT_EQ(saved.validation->note, "User confirmed by ear.");
    EXPECT_EQ(saved.validation->measurements.size(), 5u);
    EXPECT_TRUE(saved.validation->measurements[3].starts_with("gain 0.00: in "));
    model->setPosition(0.5, musicRow());
    settle();
    EXPECT_NEAR(heard(440), -12.04, 0.05);
}

TEST_F(MixerModelTest, AnAutomaticFailureStoresAFailedRecordEvenOnYes) {
    Preferences p;
    p.permissionVerifiedAt =
        std::chrono::system_clock::time_point{std::chrono::seconds{1'700'000'000}};
    store->values[MixerModel::preferencesKey] = PreferencesCodec::encode(p);
    hal->inject({.call = Call::createAggregateDevice, .status = -50});
    start();
    model->startLiveTest("com.apple.Music");
    settle();
    const auto* awaiting = model->liveTest->as<LiveTestPhase::AwaitingAnswer>();
    ASSERT_NE(awaiting, nullptr);
    EXPECT_EQ(awaiting->automaticFailure,
              "The engine failed: AudioHardwareCreateAggregateDevice failed: -50");
    model->answerLiveTest(true);
    EXPECT_EQ(stored().validation->outcome, ValidationRecord::Outcome::failed);
    EXPECT_EQ(stored().validation->note,
              "The engine failed: AudioHardwareCreateAggregateDevice failed: -50");
    EXPECT_EQ(model->gate(), ControlGate{ControlGate::ValidationFailed{}});
}

TEST_F(MixerModelTest, CommandsChangeExactlyWhatTheySay) {
    storeValidSetup();
    start();
    const AppGroupDescriptor row = musicRow();
    model->toggleMute(row);
    model->toggleMute(row);
    EXPECT_FALSE(model->preferences->apps.contains(row.key));  // back to unchanged

    const OutputContext usb{hal->addDevice({.uid = "usb", .name = "USB"}), "usb", "USB",
                            std::nullopt};
    run(200ms);
    ASSERT_TRUE(model->routableOutputs(row.key));
    const int writes = store->writes;
    model->setRoute(usb, row);
    EXPECT_EQ(store->writes, writes + 1);  // a route is saved at once
    EXPECT_EQ(stored().apps.at(row.key).outputDeviceName, "USB");
    model->setRoute(std::nullopt, row);
    EXPECT_FALSE(stored().apps.contains(row.key));

    model->setPosition(1.7, row);
    EXPECT_FALSE(model->preferences->apps.contains(row.key));
    model->setPosition(-0.2, row);
    EXPECT_EQ(model->preferences->apps.at(row.key).position, 0.0);

    model->setPaused(true);
    model->setShowIdleApps(false);
    model->resetAllVolumes();
    const Preferences kept = stored();
    EXPECT_TRUE(kept.apps.empty());
    EXPECT_TRUE(kept.isPaused);
    EXPECT_FALSE(kept.showIdleApps);
    EXPECT_TRUE(kept.permissionVerifiedAt);
    EXPECT_TRUE(kept.validation);
    EXPECT_EQ(model->routableOutputs(row.key), std::nullopt);  // paused: no route menu

    model->resetSetup();
    EXPECT_EQ(model->gate(), ControlGate{ControlGate::NeedsPermission{}});
    EXPECT_FALSE(stored().validation);
    EXPECT_TRUE(stored().isPaused);
}

TEST_F(MixerModelTest, ResetAudioHandsEveryEngineOverAndPeaksFollowThePanel) {
    hal->setPlaying(podcasts, false);  // Music alone, so the speaker's peak is Music's
    Preferences p;
    p.set(AppPreference(0.5, false, "Music"), "com.apple.Music");
    storeValidSetup(p);
    start();
    int statusChanges = 0;
    model->statuses.subscribe([&](const auto&) { ++statusChanges; });
    run(2s);
    EXPECT_EQ(statusChanges, 0);               // ticks republish nothing that did not change
    EXPECT_TRUE(model->outputPeaks->empty());  // the panel is closed

    model->panelDidAppear();
    run(600ms);
    ASSERT_EQ(model->outputPeaks->size(), 1u);
    EXPECT_NEAR(model->outputPeaks->at("com.apple.Music"), 0.25, 0.01);

    hal->clearSpeaker(speakers);
    model->resetSonvelAudio();
    run(300ms);
    EXPECT_TRUE(model->audioResetAt.get());
    EXPECT_EQ(hal->accounting().aggregates, 1u);
    EXPECT_EQ(log.messages("engine").back(), "Engine handed over for com.apple.Music");
    // No gap and nothing doubled while the engine was replaced.
    const auto s = hal->speaker(speakers);
    EXPECT_NEAR(analysis::dB(analysis::toneAmplitude(s, 2, 0, 440, 48000)), -12.04, 0.05);
    EXPECT_LE(analysis::peak(s, 2, 0), 0.2501);
}

TEST_F(MixerModelTest, SettingsLinksFallBackToTheDesktopAndRelaunchQuits) {
    start();
    model->openSoundSettings();
    model->openPrivacySettings();
    EXPECT_EQ(workspace->opened,
              (std::vector<std::string>{
                  "x-apple.systempreferences:com.apple.Sound-Settings.extension",
                  "x-apple.systempreferences:com.apple.preference.sound", "desktop sound settings",
                  "x-apple.systempreferences:com.apple.preference.security?Privacy_AudioCapture",
                  "x-apple.systempreferences:com.apple.preference.security?Privacy"}));
    model->relaunch();
    EXPECT_FALSE(workspace->terminated);  // only once back on the main queue
    settle();
    EXPECT_TRUE(workspace->terminated);
}

TEST_F(MixerModelTest, ShutdownLeavesNothingAliveAndEveryoneAtFullLevel) {
    Preferences p;
    p.set(AppPreference(0.5, false, "Music"), "com.apple.Music");
    p.set(AppPreference(0.2, true, "Podcasts"), "com.example.podcasts");
    storeValidSetup(p);
    start();
    EXPECT_EQ(hal->accounting().aggregates, 2u);
    model->shutdown();
    EXPECT_EQ(engineObjects(), 0u);
    model.reset();  // the observer's listeners go with the model
    EXPECT_EQ(hal->accounting().listeners, 0u);
    EXPECT_NEAR(heard(440), 0.0, 0.05);
    EXPECT_NEAR(heard(660), 0.0, 0.05);
    EXPECT_EQ(stored().apps.size(), 2u);
}

}  // namespace
}  // namespace sonvel
