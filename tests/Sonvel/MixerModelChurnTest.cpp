// The model under churn: audio-server restarts, outputs that go away, reads
// that fail, capture withdrawn, and work that arrives after shutdown; then
// random schedules of all of it.

#include <cmath>
#include <functional>
#include <random>

#include "ModelFixture.hpp"

namespace sonvel {
namespace {

using namespace sonvel::modeltest;

// Each application is tapped once at most: one tap, aggregate and IO
// procedure per engine. That shutdown then leaves nothing, after every kind
// of churn, is the random schedules'.
using MixerModelChurnTest = MixerModelTest;

// A restart drops every engine with the old server: nothing is destroyed
// there and failures start over. The second run's retry, due at 0.5 s, falls
// 50 ms into the restart window (a restart is delivered up to 100 ms late)
// and must not be forgotten; the engine it builds there runs on the new
// server and must stay owned, heard once at its level. The random schedules
// below build in that window among every other command.
TEST_F(MixerModelChurnTest, ARestartClearsFailuresAndRebuildsWithoutDestroyingVanishedObjects) {
    for (const auto beforeRestart : {0ms, 450ms}) {
        SCOPED_TRACE(beforeRestart.count());
        freshWorld();
        hal->inject({.call = Call::createProcessTap, .status = -50});  // Music's first try only
        startReady(0.5, 0.5);
        ASSERT_TRUE(model->failures().contains("com.apple.Music"));
        EXPECT_EQ(hal->accounting().aggregates, 1u);
        run(beforeRestart);
        std::vector<Call> calls;
        hal->setCallHook([&](Call c) { calls.push_back(c); });
        hal->restartServer();
        run(300ms);
        EXPECT_TRUE(model->failures().empty());
        run(300ms);
        hal->setCallHook({});
        EXPECT_EQ(std::ranges::count(calls, Call::destroyAggregateDevice), 0);
        EXPECT_EQ(std::ranges::count(calls, Call::destroyProcessTap), 0);
        EXPECT_NEAR(heard(440), halfSliderDB, 0.05);
        EXPECT_NEAR(heard(660), halfSliderDB, 0.05);
        EXPECT_EQ(engineObjects(), 2 * 3u);
    }
}

// An unplugged output is not an engine failure: the application is back on
// the fallback output at its own level at once, never louder meanwhile.
TEST_F(MixerModelChurnTest, UnpluggingARoutedOutputKeepsTheLevelOnTheFallback) {
    hal->setPlaying(podcasts, false);
    const AudioObjectID usb = hal->addDevice({.uid = "usb", .name = "USB Headset"});
    startReady();
    model->setPosition(0.5, musicRow());
    model->setRoute(OutputContext{usb, "usb", "USB Headset", std::nullopt}, musicRow());
    run(300ms);
    ASSERT_LT(heard(440), -100);  // nothing on the speakers while routed away
    hal->clearSpeaker(speakers);
    hal->removeDevice(usb);
    run(300ms);
    EXPECT_LE(analysis::peak(hal->speaker(speakers), 2, 0), 0.2501);
    EXPECT_NEAR(heard(440), halfSliderDB, 0.05);
    EXPECT_TRUE(model->failures().empty());
    EXPECT_EQ(status("com.apple.Music"),
              (GroupStatus::RouteFallback{"USB Headset is not connected — using Default Output."}));
    EXPECT_EQ(engineObjects(), 3u);
}

TEST_F(MixerModelChurnTest, SilenceFromEveryEngineAfterProofIsSaidNotHidden) {
    startReady(0.5, 0.5);
    run(1s);
    ASSERT_TRUE(model->captureProvenThisSession());
    // One application playing zeros is a quiet application, not lost capture.
    hal->setSignal(music, {sim::Signal::Kind::silence, 0, 0});
    run(12s);
    EXPECT_EQ(model->silenceNotice.get(), std::nullopt);

    hal->setCapturePermission(false);
    run(9s);
    EXPECT_EQ(model->silenceNotice.get(), std::nullopt);
    run(2s);
    EXPECT_EQ(model->silenceNotice.get(),
              (MixerModel::SilenceNotice{
                  {"com.apple.Music", "com.example.podcasts"},
                  "Sonvel hears only silence from the apps it controls although they are playing, "
                  "so they cannot be heard. Audio capture may have been turned off. Pause Sonvel "
                  "to give every app its normal volume back."}));
    EXPECT_TRUE(model->gate().isReady());  // said, not acted on

    model->setPaused(true);  // the one click
    run(600ms);
    EXPECT_EQ(model->silenceNotice.get(), std::nullopt);
    EXPECT_NEAR(heard(660), 0.0, 0.05);
}

TEST_F(MixerModelChurnTest, NothingIsBuiltAfterShutdown) {
    startReady(0.5);
    hal->restartServer();  // its delivery is still queued
    workspace->willSleep();
    workspace->didWake();
    model->shutdown();
    run(2s);
    model->setPosition(0.2, {"com.example.podcasts", "Podcasts"});
    model->resetSonvelAudio();
    model->startPermissionCheck();
    run(1s);
    EXPECT_EQ(hal->accounting(), SimulatedAudioSystem::Accounting{});
    EXPECT_FALSE(model->preferences->apps.contains("com.example.podcasts"));
}

TEST_F(MixerModelChurnTest, AFailedReadKeepsThePanelUntilTheNextTick) {
    startReady(0.5);
    const auto was = std::tuple(model->groups.get(), model->outputs.get(), model->output.get());
    ASSERT_EQ(std::get<0>(was).size(), 2u);
    // The default output's UID or layout failing once is no less a failed read
    // than the lists: taken as fact, it would read as no output.
    const std::pair<AudioObjectID, AudioObjectPropertySelector> reads[] = {
        {hal::systemObject, hal::selector::processObjectList},
        {hal::systemObject, hal::selector::devices},
        {hal::systemObject, hal::selector::defaultOutputDevice},
        {speakers, hal::selector::deviceUID},
        {speakers, hal::selector::streamConfiguration}};
    for (const auto& [object, selector] : reads) {
        hal->inject({.call = Call::getPropertyData, .object = object, .selector = selector});
        model->panelDidAppear();
        EXPECT_EQ(std::tuple(model->groups.get(), model->outputs.get(), model->output.get()), was);
        hostQueue->runUntilIdle();
        EXPECT_EQ(hal->accounting().aggregates, 1u);  // the engine was not dropped
        model->panelDidDisappear();
    }
    hal->setPlaying(podcasts, false);
    run(600ms);  // the next tick looks again, and sees the change
    EXPECT_FALSE(std::ranges::find(model->groups.get(), "com.example.podcasts", &AppGroup::key)
                     ->isRunningOutput);
}

// Engine faults arrive on stepped listener queues, so the same scenario takes
// the same path every time.
TEST_F(MixerModelChurnTest, TheSameSteppedScenarioGivesTheSameRowsEveryTime) {
    std::vector<std::map<std::string, GroupStatus>> first;
    for (int runIndex = 0; runIndex < 20; ++runIndex) {
        freshWorld();
        const AudioObjectID usb = hal->addDevice({.uid = "usb", .name = "USB"});
        Preferences p;
        p.set(AppPreference(0.5, false, "Music"), "com.apple.Music");
        p.set(AppPreference(0.3, false, "Podcasts", "usb", "USB"), "com.example.podcasts");
        storeValidSetup(p);
        start();
        std::vector<std::map<std::string, GroupStatus>> seen;
        const auto recording = model->statuses.subscribe([&](const auto& s) { seen.push_back(s); });
        hal->stopIOAbnormally(hal->liveObjects().aggregates.at(0).id);
        run(300ms);
        hal->removeDevice(usb);
        run(700ms);
        hal->restartServer();
        run(2s);
        if (runIndex == 0) first = seen;
        ASSERT_EQ(seen, first) << "run " << runIndex;
    }
    EXPECT_GE(first.size(), 3u);
}

// Random schedules of everything that happens to a running mixer: apps that
// start, stop and respawn, outputs plugged and unplugged, default changes,
// server restarts, sleep and wake, commands and injected faults. After each
// schedule the speakers must play exactly what the stored levels say, once,
// and shutdown must leave nothing behind. Fixed seeds, so a failure replays.

constexpr int seeds = 40, eventsPerSchedule = 40;

class RandomScheduleTest : public MixerModelTest, public ::testing::WithParamInterface<int> {};

TEST_P(RandomScheduleTest, SpeakersPlayWhatIsStoredOnceAndShutdownLeavesNothing) {
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    struct App {
        AudioObjectID* object;
        ProcessID pid;
        double frequency;
        AppGroupDescriptor row;
    };
    App apps[] = {{&music, 501, 440, {"com.apple.Music", "Music"}},
                  {&podcasts, 830, 660, {"com.example.podcasts", "Podcasts"}}};
    AudioObjectID usb = hal->addDevice({.uid = "usb", .name = "USB"});
    // A process tapped twice is heard twice (or stays silenced by a forgotten tap).
    const auto mostTapsOnOneProcess = [&] {
        std::map<AudioObjectID, int> taps;
        int most = 0;
        for (const auto& tap : hal->liveObjects().taps)
            for (AudioObjectID process : tap.description.processes)
                most = std::max(most, ++taps[process]);
        return most;
    };
    startReady();
    std::mt19937 random(static_cast<unsigned>(GetParam()));
    const auto pick = [&](int n) { return static_cast<int>(random() % unsigned(n)); };
    const auto pause = [&](int mostTicks) { run(std::chrono::milliseconds(10 * pick(mostTicks))); };
    const double levels[] = {0.0, 0.25, 0.5, 0.75, 1.0};
    const auto usbOutput = [&] { return std::optional(OutputContext{usb, "usb", "USB", {}}); };
    const Call faulty[] = {Call::createProcessTap, Call::createAggregateDevice, Call::deviceStart,
                           Call::addPropertyListener, Call::getPropertyData};
    // Drawn by index, one more draw than events: that one lets the world be.
    const std::function<void(App&)> events[] = {
        [&](App& app) { hal->setPlaying(*app.object, pick(2) == 0); },
        [&](App& app) {  // the process respawns with a new object
            hal->removeProcess(*app.object);
            pause(20);
            *app.object = addPlayer(*hal, app.pid, app.row.key, app.frequency);
        },
        [&](App&) {
            if (usb) return hal->removeDevice(std::exchange(usb, 0));
            usb = hal->addDevice({.uid = "usb", .name = "USB"});
        },
        [&](App&) { hal->setDefaultOutput(usb && pick(2) ? usb : speakers); },
        [&](App&) { hal->restartServer(); },
        [&](App&) {
            workspace->willSleep();
            pause(50);
            workspace->didWake();
        },
        [&](App& app) { model->setPosition(levels[pick(5)], app.row); },
        [&](App& app) { model->toggleMute(app.row); },
        [&](App& app) { model->setRoute(pick(2) ? usbOutput() : std::nullopt, app.row); },
        [&](App&) { model->setPaused(!model->preferences->isPaused); },
        [&](App&) { model->resetSonvelAudio(); },
        [&](App&) { hal->inject({.call = faulty[pick(5)], .status = -50, .onCall = 1 + pick(3)}); },
        [&](App&) {
            const auto live = hal->liveObjects().aggregates;
            if (!live.empty()) hal->stopIOAbnormally(live[std::size_t(pick(int(live.size())))].id);
        },
        [&](App&) {  // a server that hands out new object IDs
            hal->restartServer({.renumber = true});
            for (App& renumbered : apps) *renumbered.object = hal->processObject(renumbered.pid);
            if (usb) usb = hal->deviceID("usb");
            speakers = hal->deviceID("spk");
        },
        [](App&) {},
    };
    for (int i = 0; i < eventsPerSchedule; ++i) {
        App& app = apps[std::size_t(pick(2))];
        events[pick(int(std::size(events)))](app);
        pause(25);
        ASSERT_LE(mostTapsOnOneProcess(), 1) << "event " << i;
    }

    // Back to a calm world in which every application plays, every failure retried.
    hal->clearFaults();
    workspace->didWake();
    model->setPaused(false);
    for (App& app : apps) hal->setPlaying(*app.object, true);
    run(600ms);
    // Over a copy: a retry changes the failures.
    for (const auto& [key, failure] : std::map(model->failures())) model->retry(key);
    run(2s);

    EXPECT_TRUE(model->failures().empty());
    EXPECT_LE(mostTapsOnOneProcess(), 1);
    for (const App& app : apps) {
        const auto p = model->preferences->preference(app.row.key).value_or(AppPreference{});
        const AudioObjectID routed = p.outputDeviceUID ? hal->deviceID(*p.outputDeviceUID) : 0;
        const AudioObjectID expected = routed ? routed : hal->defaultOutput();
        const double gain = p.muted ? 0.0 : double(p.gain());
        for (AudioObjectID device : {speakers, usb}) {
            if (!device) continue;
            SCOPED_TRACE(app.row.key + " on " + std::to_string(device));
            hal->clearSpeaker(device);
            hal->step(40);
            const double level = toneDB(hal->speaker(device), app.frequency);
            if (device == expected && gain > 0)
                EXPECT_NEAR(level, 20 * std::log10(gain), 0.1);
            else
                EXPECT_LT(level, -90);
        }
    }
    // No row is left showing an error.
    for (const auto& [key, status] : model->statuses.get())
        EXPECT_FALSE(status.is<GroupStatus::Failed>()) << key;
    model->shutdown();
    EXPECT_EQ(hal->accounting(), SimulatedAudioSystem::Accounting{});
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomScheduleTest, ::testing::Range(1, seeds + 1));

}  // namespace
}  // namespace sonvel
