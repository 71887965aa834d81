#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "MixerEngine/EngineHost.hpp"
#include "platform/sim/SimulatedAudioSystem.hpp"
#include "support/SteppedQueue.hpp"
#include "support/Tones.hpp"
#include "tap/SerialQueue.hpp"

namespace sonvel {
namespace {

using sim::Signal;
using sim::SimulatedAudioSystem;
using Call = SimulatedAudioSystem::Call;
using Event = EngineHost::Event;

// Spins until `done` holds, for at most ten seconds; whether it held.
bool spinUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return done();
}

class EngineHostTest : public ::testing::Test, protected testsupport::TwoTones {
  protected:
    // Stopping everything returns with everything released.
    ~EngineHostTest() override {
        host->stopAll(true);
        EXPECT_EQ(hal->accounting(), SimulatedAudioSystem::Accounting{});
        pump();
    }
    void pump() { queue->runUntilIdle(), main->runUntilIdle(); }
    // Hands the host what should play, or should be handed over, and lets every queue run.
    void play(std::vector<EngineSpec> specs) { host->apply(std::move(specs)), pump(); }
    void handOver(std::vector<EngineSpec> specs) { host->rebuild(std::move(specs)), pump(); }
    EngineSpec spec(const std::string& key, AudioObjectID p, float gain, std::string uid = "spk") {
        return {key, key + " name", {{p}, std::move(uid)}, gain};
    }

    std::shared_ptr<SteppedQueue> main = std::make_shared<SteppedQueue>("main");
    std::shared_ptr<SteppedQueue> queue = std::make_shared<SteppedQueue>(EngineHost::queueLabel);
    std::vector<Event> events;
    Log::Capture log;
    std::shared_ptr<EngineHost> host = EngineHost::make(
        {.hal = hal, .mainQueue = main, .queue = queue, .sleep = [this](double) { hal->step(1); }},
        [this](const Event& e) { events.push_back(e); });
};

TEST_F(EngineHostTest, ApplyBuildsRetunesDestroysFailsVanishedDevicesAndDoesNothingTwice) {
    host->apply({spec("a", a, 0.25f), spec("b", b, 0.5f)});
    EXPECT_TRUE(events.empty());  // nothing until the queue runs
    pump();
    EXPECT_EQ(events, (std::vector<Event>{Event::Started{"a"}, Event::Started{"b"}}));
    EXPECT_EQ(host->runningKeys(), (std::set<std::string>{"a", "b"}));
    EXPECT_NEAR(heard(440), testsupport::halfSliderDB, 0.05);
    EXPECT_NEAR(heard(660), -6.02, 0.05);

    int calls = 0;
    hal->setCallHook([&](Call) { ++calls; });
    play({spec("a", a, 0.5f), spec("b", b, 0.5f)});
    EXPECT_EQ(calls, 0);   // a gain change touches no audio object; what did not change, none
    hal->setCallHook({});  // that the new gain is heard is sonvelctl's test on the bus
    EXPECT_EQ(log.messages("engine"),
              (std::vector<std::string>{"Engine started for a", "Engine started for b"}));

    // A destroyed key leaves the readouts at once.
    play({spec("b", b, 0.5f)});
    EXPECT_FALSE(host->readouts().contains("a"));
    EXPECT_NEAR(heard(440), 0.0, 0.05);
    EXPECT_GT(host->readouts().at("b").meter->totalCallbacks(), 0u);
    EXPECT_EQ(host->readouts().at("b").overloads(), 0);

    // A key whose device has vanished fails alone.
    play({spec("b", b, 0.5f), spec("c", a, 0.5f, "gone-uid")});
    EXPECT_EQ(events.back(), (Event{Event::Failed{"c", "Output device gone-uid is gone."}}));
    EXPECT_EQ(host->runningKeys(), std::set<std::string>{"b"});
    EXPECT_EQ(log.messages("engine").back(),
              "Engine for c failed: Output device gone-uid is gone.");
}

TEST_F(EngineHostTest, FaultsTearDownTheirEngineUnlessItWasReplaced) {
    play({spec("a", a, 0.5f)});
    // A fault from the running engine: torn down and reported.
    hal->stopIOAbnormally(hal->liveObjects().aggregates.at(0).id);
    ASSERT_TRUE(spinUntil([&] { return queue->pending() > 0; }));  // the listener hops here
    pump();
    EXPECT_EQ(events.back(), (Event{Event::Fault{"a", "Audio IO stopped abnormally."}}));
    EXPECT_TRUE(host->runningKeys().empty());
    EXPECT_NEAR(heard(440), 0.0, 0.05);

    // A fault from an engine that a hand-over is replacing arrives too late.
    play({spec("a", a, 0.5f)});
    events.clear();
    const AudioObjectID old = hal->liveObjects().aggregates.at(0).id;
    bool faultQueued = false;
    host->rebuild({spec("a", a, 0.5f)});
    // While the hand-over starts the new engine, the old one faults; its
    // handler's hop to the host queue lands behind the hand-over.
    hal->setCallHook([&](Call call) {
        if (faultQueued || call != Call::deviceStart) return;
        const std::size_t before = queue->pending();
        hal->stopIOAbnormally(old);
        faultQueued = spinUntil([&] { return queue->pending() > before; });
    });
    pump();
    hal->setCallHook({});
    ASSERT_TRUE(faultQueued);
    EXPECT_EQ(events, std::vector<Event>{Event::Started{"a"}});
    EXPECT_EQ(host->runningKeys(), std::set<std::string>{"a"});
    EXPECT_NEAR(heard(440), -6.02, 0.05);
}

// The level a hand-over keeps, without a gap, is heard through the model in
// MixerModelTest's reset of Sonvel's audio.
TEST_F(EngineHostTest, HandOverStartsAgainOrFailsLeavingNoEngineAndTheNextApplyCreates) {
    play({spec("a", a, 0.25f)});
    handOver({spec("a", a, 0.25f)});
    EXPECT_EQ(events, (std::vector<Event>{Event::Started{"a"}, Event::Started{"a"}}));

    events.clear();
    hal->inject({.call = Call::createProcessTap, .status = -50});
    handOver({spec("a", a, 0.5f)});
    const std::string why = "AudioHardwareCreateProcessTap failed: -50";
    EXPECT_EQ(events, (std::vector<Event>{Event::Failed{
                          "a", "The replacement engine could not be built: " + why}}));
    EXPECT_TRUE(host->runningKeys().empty());
    play({spec("a", a, 0.5f)});
    EXPECT_EQ(events.back(), (Event{Event::Started{"a"}}));
}

TEST_F(EngineHostTest, AbandonAfterRestartDestroysNothingAndTheNextApplyBuildsAgain) {
    play({spec("a", a, 0.5f), spec("b", b, 0.0f)});
    events.clear();
    hal->restartServer();
    std::vector<Call> calls;
    hal->setCallHook([&](Call c) { calls.push_back(c); });
    // Queued before the restart is handled, so its failure is about the old server.
    host->apply({spec("a", a, 0.5f), spec("b", b, 0.0f), spec("c", b, 0.0f, "nowhere")});
    host->abandonAll();
    pump();
    EXPECT_TRUE(std::ranges::all_of(calls, [](Call c) { return c == Call::getPropertyData; }));
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(host->runningKeys().empty());
    EXPECT_EQ(hal->accounting().aggregates, 0u);
    EXPECT_EQ(log.messages("engine").back(), "Abandoned all engines after audio server restart");
    hal->setCallHook({});

    // That an engine built on the new server before the restart is handled
    // stays owned, and is heard once, is MixerModelChurnTest's: its restarts
    // fall between the model's commands.
    play({spec("a", a, 0.5f), spec("b", b, 0.0f)});
    EXPECT_LT(heard(660), -100);
}

// That the live test's engine measures its steps, and the probe's success,
// are MixerModelTest's. The probe hears only others (b stands for ourselves)
// and mutes nobody; when it cannot start, the host's second try fails too.
TEST_F(EngineHostTest, TestEngineAndProbe) {
    std::vector<std::optional<std::string>> completions;
    const auto done = [&](const std::optional<std::string>& m) { completions.push_back(m); };
    host->startTestEngine(spec("a", a, 1.0f), 5, done);
    host->stopTestEngine(done);
    host->stopTestEngine(done);  // nothing to stop: still completes
    pump();
    EXPECT_EQ(completions.size(), 3u);
    EXPECT_FALSE(host->testEngineReadout());
    host->startTestEngine(spec("a", a, 1.0f, "nowhere"), 5, done);
    const auto completed = [&] { return pump(), completions.back(); };
    EXPECT_EQ(completed(), "The output device is gone.");

    hal->setPlaying(a, false);
    host->startProbe({b}, done);
    pump();
    hal->step(5);
    EXPECT_EQ(host->probeNonZeroSamples(), 0u);
    hal->setPlaying(a, true);
    EXPECT_NEAR(heard(440), 0.0, 0.05);
    // 41 cycles of 512 stereo frames, less the sine's few exact zeros.
    EXPECT_GT(host->probeNonZeroSamples(), 41u * 1000);
    EXPECT_LE(host->probeNonZeroSamples(), 41u * 1024);
    host->stopProbe();
    pump();
    EXPECT_EQ(host->probeNonZeroSamples(), 0u);

    hal->inject({.call = Call::deviceStart, .status = -50, .persistent = true});
    host->startProbe({}, done);
    EXPECT_EQ(completed(), "AudioDeviceStart(probe) failed: -50");
    hal->setTapFormat({48000, fourCC("lpcm"), 12, 4, 1, 4, 2, 16, 0});
    host->startProbe({}, done);
    EXPECT_EQ(completed(), "Tap format is not Float32 linear PCM (flags=12, bits=16).");
}

// Real queues and threads; run under ThreadSanitizer. The host's readouts
// answer the main thread at every seam call the host makes, so no hardware
// call ever runs under one of its locks.
TEST(EngineHostThreads, NoSeamCallUnderALockAndReleasingDuringAFaultDoesNotDeadlock) {
    auto hal = std::make_shared<SimulatedAudioSystem>(SimulatedAudioSystem::ClockMode::realTime);
    hal->addDevice({.uid = "spk", .name = "Speakers"});
    const AudioObjectID a =
        hal->addProcess({.pid = 10, .signal = {Signal::Kind::sine, 440, 1.0}, .playing = true});
    for (int round = 0; round < 40; ++round) {
        auto host = EngineHost::make({.hal = hal, .mainQueue = SerialQueue::make("main")}, {});
        std::weak_ptr<EngineHost> weak = host;
        std::atomic<bool> blocked = false;
        hal->setCallHook([&](Call) {
            const auto locked = weak.lock();
            if (!locked || !locked->queue()->isCurrent()) return;
            auto reader = std::async(std::launch::async, [&] {
                return std::tuple(locked->readouts(), locked->testEngineReadout(),
                                  locked->probeNonZeroSamples());
            });
            if (reader.wait_for(std::chrono::seconds(2)) != std::future_status::ready)
                blocked = true;
        });
        host->apply({{"a", "A", {{a}, "spk"}, 0.5f}});
        host->startProbe({}, {});
        host->startTestEngine({"a", "A", {{a}, "spk"}, 1.0f}, 5, {});
        host->queue()->sync([] {});
        if (round % 2) hal->restartServer();
        host->abandonAll();
        host->apply({{"a", "A", {{a}, "spk"}, 0.25f}});
        host->queue()->sync([] {});
        for (const auto& g : hal->liveObjects().aggregates)
            if (g.uid.starts_with("app.velmorra.sonvel.engine.")) hal->stopIOAbnormally(g.id);
        host->stopProbe();
        host->stopTestEngine();
        hal->setCallHook({});
        ASSERT_FALSE(blocked) << "round " << round;
        host->stopAll(false);
        host.reset();  // while the fault may still be on its way
        // The queued stop keeps the host until it has run.
        ASSERT_TRUE(spinUntil([&] { return weak.expired(); }));
        EXPECT_EQ(hal->accounting().ioProcs, 0u);
    }
}

}  // namespace
}  // namespace sonvel
