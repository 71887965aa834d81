// The model on real threads: the simulated system in real-time mode, every
// queue a serial queue of its own, the model on a main queue of its own.
// Races that stepped tests cannot show happen here; counts are loops.

#include <gtest/gtest.h>

#include <cmath>

#include "../support/RealTimeEnvironment.hpp"
#include "ModelFixture.hpp"
#include "tap/SerialQueue.hpp"

namespace sonvel {
namespace {

using namespace sonvel::modeltest;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int scale = 4;  // sanitizers run several times slower
#else
constexpr int scale = 1;
#endif

class RealTimeChurnTest : public ::testing::Test {
  protected:
    RealTimeChurnTest() {
        speakers = hal->addDevice({.uid = "spk", .name = "Speakers"});
        // Music (pid 501) and radios (pids 9000 on, one application each).
        std::vector<Application> apps{{501, "com.apple.Music", "Music"}};
        for (int i = 0; i < 200; ++i)
            apps.push_back(
                {9000 + i, "com.example.radio" + std::to_string(i), "Radio " + std::to_string(i)});
        world = loadWorld(*hal, apps);
        services = std::make_shared<sim::SimulatedSystemServices>(*world);
    }
    ~RealTimeChurnTest() override {
        if (model) main->sync([&] { model->shutdown(); });
        main->sync([&] { model.reset(); });
    }

    void start(Preferences p) {
        storeValidSetup(*store, std::move(p));
        const auto env = testsupport::realTimeEnvironment(hal, services, main, store);
        main->sync([&] { model = MixerModel::make(env); });
    }

    bool within(std::chrono::milliseconds limit, auto done) {
        return testsupport::within(*main, limit * scale, done);
    }
    void waitCycles(AudioObjectID device, std::uint64_t n) {
        const std::uint64_t until = hal->cycles(device) + n;
        while (hal->cycles(device) < until) std::this_thread::sleep_for(1ms);
    }
    double toneOn(AudioObjectID device, double frequency) {
        hal->clearSpeaker(device);
        waitCycles(device, 8);
        return toneDB(hal->speaker(device), frequency);
    }

    std::shared_ptr<SimulatedAudioSystem> hal =
        std::make_shared<SimulatedAudioSystem>(SimulatedAudioSystem::ClockMode::realTime);
    std::shared_ptr<SerialQueue> main = SerialQueue::make("main");
    std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
    std::optional<sim::SimulatedWorld> world;
    std::shared_ptr<sim::SimulatedSystemServices> services;
    AudioObjectID speakers;
    std::shared_ptr<MixerModel> model;
    Log::Capture log;
};

// After every restart, an application that only then starts playing is
// noticed through its own listeners, and its stored level is applied.
TEST_F(RealTimeChurnTest, AfterEveryRestartANewPlayerIsNoticedAtItsStoredLevel) {
    const int restarts = 200 / scale;
    Preferences p;
    for (int i = 0; i < restarts; ++i)
        p.set(AppPreference(0.5, false, "Radio"), "com.example.radio" + std::to_string(i));
    start(p);
    const auto restartsHandled = [&] {
        return std::ranges::count(log.messages("model"), "Audio server restarted; rebuilding");
    };
    for (int i = 0; i < restarts; ++i) {
        const std::string key = "com.example.radio" + std::to_string(i);
        addPlayer(*hal, 9000 + i, key, 440, false);
        hal->restartServer();
        ASSERT_TRUE(within(2s, [&] { return restartsHandled() == i + 1; })) << "restart " << i;
        hal->setPlaying(hal->processObject(9000 + i), true);
        ASSERT_TRUE(within(2s, [&] { return model->host().runningKeys().contains(key); }))
            << "restart " << i << ": the new player was not noticed";
        // The cycle the clock was rendering when the tap took hold still
        // carries the player's first, untapped frames: heard before the
        // engine ran, not at the stored level.
        waitCycles(speakers, 1);
        ASSERT_NEAR(toneOn(speakers, 440), halfSliderDB, 0.2) << "restart " << i;
        hal->removeProcess(hal->processObject(9000 + i));
    }
}

// Unplugging a routed output moves the application to the speakers at its
// own level at once: never heard above it for longer than 150 ms.
TEST_F(RealTimeChurnTest, AnUnpluggedOutputNeverPlaysTheApplicationTooLoud) {
    addPlayer(*hal, 501, "com.apple.Music", 440);
    start({});
    const AppGroupDescriptor row{"com.apple.Music", "Music"};
    const double gain = 0.125 * 0.125;
    const float loud = float(gain * std::pow(10.0, 0.5 / 20));
    constexpr std::size_t window = 480;  // 10 ms at 48 kHz, stereo frames
    // Only waited for here: what the row says is MixerModelChurnTest's.
    const auto fellBack = [&] {
        const auto found = model->statuses->find(row.key);
        return found != model->statuses->end() && found->second.is<GroupStatus::RouteFallback>();
    };
    for (int run = 0; run < 50 / scale; ++run) {
        const AudioObjectID usb = hal->addDevice({.uid = "usb", .name = "USB Headset"});
        main->sync([&] {
            model->setPosition(0.125, row);
            model->setRoute(OutputContext{usb, "usb", "USB Headset", std::nullopt}, row);
        });
        ASSERT_TRUE(within(2s, [&] {
            const auto r = model->host().readouts();
            return r.contains(row.key) && r.at(row.key).setup->outputDeviceUID == "usb";
        }));
        hal->clearSpeaker(speakers);
        hal->removeDevice(usb);
        waitCycles(speakers, 30);
        const auto s = hal->speaker(speakers);
        int loudWindows = 0;
        for (std::size_t at = 0; at + 2 * window <= s.size(); at += 2 * window)
            if (analysis::peak(std::span(s).subspan(at, 2 * window), 2, 0) > loud) ++loudWindows;
        EXPECT_LE(loudWindows * 10, 150) << "run " << run;
        ASSERT_TRUE(within(1s, fellBack)) << "run " << run;
        EXPECT_NEAR(toneOn(speakers, 440), 20 * std::log10(gain), 0.2) << "run " << run;
    }
}

}  // namespace
}  // namespace sonvel
