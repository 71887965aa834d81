// Random schedules of everything that happens to a running mixer: apps that
// start, stop and respawn, outputs plugged and unplugged, default changes,
// server restarts, sleep and wake, commands and injected faults. After each
// schedule the speakers must play exactly what the stored levels say, once,
// and shutdown must leave nothing behind. Fixed seeds, so a failure replays.

#include <cmath>
#include <functional>
#include <random>

#include "ModelFixture.hpp"

namespace sonvel {
namespace {

using namespace sonvel::modeltest;

constexpr int seeds = 40;
constexpr int eventsPerSchedule = 40;

class RandomScheduleTest : public MixerModelTest, public ::testing::WithParamInterface<int> {
  protected:
    struct App {
        AudioObjectID* object;
        ProcessID pid;
        double frequency;
        AppGroupDescriptor row;
    };

    void schedule(std::mt19937& random) {
        const auto pick = [&](int n) { return static_cast<int>(random() % unsigned(n)); };
        const auto pause = [&](int mostTicks) {
            run(std::chrono::milliseconds(10 * pick(mostTicks)));
        };
        const double levels[] = {0.0, 0.25, 0.5, 0.75, 1.0};
        const Call faulty[] = {Call::createProcessTap, Call::createAggregateDevice,
                               Call::deviceStart, Call::addPropertyListener, Call::getPropertyData};
        // Drawn by index, one more draw than events: that one lets the world be.
        const std::function<void(App&)> events[] = {
            [&](App& app) { hal->setPlaying(*app.object, pick(2) == 0); },
            [&](App& app) {  // the process respawns with a new object
                hal->removeProcess(*app.object);
                pause(20);
                *app.object = addPlayer(app.pid, app.row.key, app.frequency);
            },
            [&](App&) {
                if (usb) {
                    hal->removeDevice(std::exchange(usb, 0));
                } else {
                    usb = hal->addDevice({.uid = "usb", .name = "USB"});
                }
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
            [&](App& app) {
                model->setRoute(
                    pick(2) ? std::optional(OutputContext{usb, "usb", "USB", {}}) : std::nullopt,
                    app.row);
            },
            [&](App&) { model->setPaused(!model->preferences->isPaused); },
            [&](App&) { model->resetSonvelAudio(); },
            [&](App&) {
                hal->inject({.call = faulty[pick(5)], .status = -50, .onCall = 1 + pick(3)});
            },
            [&](App&) {
                const auto live = hal->liveObjects().aggregates;
                if (!live.empty())
                    hal->stopIOAbnormally(live[std::size_t(pick(int(live.size())))].id);
            },
            [&](App&) {  // a server that hands out new object IDs
                hal->restartServer({.renumber = true});
                for (App& renumbered : apps)
                    *renumbered.object = hal->processObject(renumbered.pid);
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
    }

    // A process tapped twice is heard twice (or stays silenced by a forgotten tap).
    int mostTapsOnOneProcess() const {
        std::map<AudioObjectID, int> taps;
        int most = 0;
        for (const auto& tap : hal->liveObjects().taps)
            for (AudioObjectID process : tap.description.processes)
                most = std::max(most, ++taps[process]);
        return most;
    }

    // Back to a calm world in which every application plays.
    void calm() {
        hal->clearFaults();
        workspace->didWake();
        model->setPaused(false);
        for (App& app : apps) hal->setPlaying(*app.object, true);
        run(600ms);
        const auto failed = model->failures();
        for (const auto& [key, failure] : failed) model->retry(key);
        run(2s);
    }

    void expectTheSpeakersMatchThePreferences() {
        const auto& prefs = model->preferences.get();
        EXPECT_TRUE(model->failures().empty());
        EXPECT_LE(mostTapsOnOneProcess(), 1);
        for (const App& app : apps) {
            const AppPreference p = prefs.preference(app.row.key).value_or(AppPreference{});
            AudioObjectID expected = hal->defaultOutput();
            if (p.outputDeviceUID && hal->deviceID(*p.outputDeviceUID))
                expected = hal->deviceID(*p.outputDeviceUID);
            const double gain = p.muted ? 0.0 : double(p.gain());
            for (AudioObjectID device : {speakers, usb}) {
                if (!device) continue;
                SCOPED_TRACE(app.row.key + " on " + std::to_string(device));
                const double level = heardOn(device, app.frequency);
                if (device == expected && gain > 0)
                    EXPECT_NEAR(level, 20 * std::log10(gain), 0.1);
                else
                    EXPECT_LT(level, -90);
            }
        }
    }

    double heardOn(AudioObjectID device, double frequency) {
        hal->clearSpeaker(device);
        hal->step(40);
        const auto s = hal->speaker(device);
        return analysis::dB(
            analysis::toneAmplitude(s, hal->speakerChannels(device), 0, frequency, 48000));
    }

    AudioObjectID usb = 0;
    std::vector<App> apps;
};

TEST_P(RandomScheduleTest, SpeakersPlayWhatIsStoredOnceAndShutdownLeavesNothing) {
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    usb = hal->addDevice({.uid = "usb", .name = "USB"});
    apps = {{&music, 501, 440, {"com.apple.Music", "Music"}},
            {&podcasts, 830, 660, {"com.example.podcasts", "Podcasts"}}};
    startReady();
    std::mt19937 random(static_cast<unsigned>(GetParam()));
    schedule(random);
    if (HasFatalFailure()) return;
    calm();
    expectTheSpeakersMatchThePreferences();
    // Calm, every failure retried: no row is left showing an error.
    for (const auto& [key, status] : model->statuses.get())
        EXPECT_FALSE(status.is<GroupStatus::Failed>()) << key;
    model->shutdown();
    EXPECT_EQ(hal->accounting(), SimulatedAudioSystem::Accounting{});
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomScheduleTest, ::testing::Range(1, seeds + 1));

}  // namespace
}  // namespace sonvel
