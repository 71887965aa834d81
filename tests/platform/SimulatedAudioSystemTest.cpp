#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/sim/SimulatedAudioSystem.hpp"
#include "platform/sim/SimulatedWorld.hpp"
#include "platform/sim/SpeakerAnalysis.hpp"
#include "tap/AudioObject.hpp"
#include "tap/SerialQueue.hpp"

namespace sonvel::sim {
namespace {

using Call = SimulatedAudioSystem::Call;
namespace sel = hal::selector;

// Builds, through the seam only, what an engine builds: a tap on some
// processes, an aggregate joining it with a device, and an IO procedure.
struct Rig {
    SimulatedAudioSystem& hal;
    AudioObjectID tap = 0;
    AudioObjectID aggregate = 0;
    AudioDeviceIOProcID proc = 0;

    Rig(SimulatedAudioSystem& h, std::vector<AudioObjectID> processes, std::int32_t mute,
        const std::string& deviceUID, AudioDeviceIOBlock block, const std::string& name = "rig")
        : hal(h) {
        TapDescription tapDescription;
        tapDescription.processes = std::move(processes);
        tapDescription.uuid = "tap-" + name;
        tapDescription.isPrivate = true;
        tapDescription.muteBehavior = mute;
        EXPECT_EQ(hal.createProcessTap(tapDescription, tap), hal::noError);
        const nlohmann::json description = {
            {"name", "Sonvel " + name},
            {"uid", "app.velmorra.sonvel.engine." + name},
            {"private", true},
            {"stacked", false},
            {"master", deviceUID},
            {"subdevices", {{{"uid", deviceUID}}}},
            {"taps", {{{"uid", tapDescription.uuid}, {"drift", true}}}}};
        EXPECT_EQ(hal.createAggregateDevice(description, aggregate), hal::noError);
        EXPECT_EQ(hal.createIOProcIDWithBlock(aggregate, nullptr, std::move(block), proc),
                  hal::noError);
    }
    void start() { EXPECT_EQ(hal.deviceStart(aggregate, proc), hal::noError); }
    void tearDown() {
        EXPECT_EQ(hal.deviceStop(aggregate, proc), hal::noError);
        EXPECT_EQ(hal.destroyIOProcID(aggregate, proc), hal::noError);
        EXPECT_EQ(hal.destroyAggregateDevice(aggregate), hal::noError);
        EXPECT_EQ(hal.destroyProcessTap(tap), hal::noError);
    }
};

class SimulatedAudioSystemTest : public ::testing::Test {
  protected:
    SimulatedAudioSystemTest() {
        speakers = hal.addDevice({.uid = "spk", .name = "Speakers"});
        a = hal.addProcess({.pid = 10, .bundleID = "a", .signal = sine(440, 0.5), .playing = true});
        b = hal.addProcess({.pid = 20, .bundleID = "b", .signal = sine(660, 0.5), .playing = true});
    }
    static Signal sine(double frequency, double level) {
        return {Signal::Kind::sine, frequency, level};
    }
    // Level of a tone on the speaker's left channel over the next cycles.
    double heard(double frequency, int cycles = 40) {
        hal.clearSpeaker(speakers);
        hal.step(cycles);
        const std::vector<float> s = hal.speaker(speakers);
        return SpeakerAnalysis::dB(SpeakerAnalysis::toneAmplitude(s, 2, 0, frequency, 48000));
    }

    SimulatedAudioSystem hal;
    AudioObjectID speakers, a, b;
    static constexpr double halfScale = -6.0206;
};

TEST_F(SimulatedAudioSystemTest, SpeakerPlaysEveryProcessAtItsLevel) {
    EXPECT_NEAR(heard(440), halfScale, 0.01);
    EXPECT_NEAR(heard(660), halfScale, 0.01);
    hal.setPlaying(b, false);
    EXPECT_LT(heard(660), -80);
    EXPECT_EQ(hal.cycles(speakers), 120u);  // three measurements of 40 cycles
}

TEST_F(SimulatedAudioSystemTest, MutingTapSilencesExactlyItsProcessWhileReadThenGivesItBack) {
    Rig rig(hal, {a}, TapDescription::mutedWhenTapped, "spk", [](const auto*, const auto&) {});
    EXPECT_NEAR(heard(440), halfScale, 0.01);  // tapped but nobody reads it yet
    rig.start();
    EXPECT_LT(heard(440), -80);
    EXPECT_NEAR(heard(660), halfScale, 0.01);
    rig.tearDown();
    EXPECT_NEAR(heard(440), halfScale, 0.01);
    EXPECT_EQ(hal.accounting(), SimulatedAudioSystem::Accounting{});
}

TEST_F(SimulatedAudioSystemTest, AlwaysMutedAndUnmutedTaps) {
    Rig muted(
        hal, {b}, TapDescription::muted, "spk", [](const auto*, const auto&) {}, "m");
    EXPECT_LT(heard(660), -80);  // muted from creation, read or not
    Rig open(
        hal, {a}, TapDescription::unmuted, "spk", [](const auto*, const auto&) {}, "u");
    open.start();
    EXPECT_NEAR(heard(440), halfScale, 0.01);
}

TEST_F(SimulatedAudioSystemTest, TapInputIsTheMixdownAndOutputReachesTheSpeaker) {
    const AudioObjectID c = hal.addProcess({.pid = 30, .signal = sine(330, 0.25), .playing = true});
    std::vector<float> tapped;
    std::vector<long> layout;
    Rig rig(hal, {a, c}, TapDescription::mutedWhenTapped, "spk",
            [&](const AudioBufferList* input, const AudioBufferList& output) {
                ASSERT_NE(input, nullptr);
                layout.clear();
                for (const AudioBuffer& buffer : input->buffers)
                    layout.push_back(buffer.channelCount);
                const AudioBuffer& tap = input->buffers.back();
                tapped.assign(tap.data, tap.data + tap.byteSize / 4);
                // Play the tap back at half level.
                for (std::size_t i = 0; i < tapped.size(); ++i)
                    output.buffers[0].data[i] = tapped[i] * 0.5f;
            });
    rig.start();
    hal.clearSpeaker(speakers);
    hal.step(1);
    EXPECT_EQ(layout, std::vector<long>{2});
    ASSERT_EQ(tapped.size(), 1024u);
    const std::vector<float> speaker = hal.speaker(speakers);
    for (std::size_t i = 0; i < 512; ++i) {
        const auto t = std::int64_t(i);  // the clock's first cycle
        const float expectedA = sine(440, 0.5).sample(t, 48000, 0, a);
        const float expectedC = sine(330, 0.25).sample(t, 48000, 0, c);
        const float expectedB = sine(660, 0.5).sample(t, 48000, 0, b);
        ASSERT_FLOAT_EQ(tapped[i * 2], expectedA + expectedC);
        // The speaker hears B as it is and the re-rendered tap, not A or C directly.
        ASSERT_NEAR(speaker[i * 2], expectedB + 0.5f * (expectedA + expectedC), 1e-6);
    }
}

TEST_F(SimulatedAudioSystemTest, AggregateInputsAreDeviceInputsThenTheTap) {
    hal.addDevice({.uid = "hs", .name = "Headset", .outputStreams = {2}, .inputStreams = {2}});
    std::vector<long> layout;
    std::vector<bool> hasData;
    Rig rig(hal, {a}, TapDescription::mutedWhenTapped, "hs",
            [&](const AudioBufferList* input, const AudioBufferList&) {
                layout.clear();
                hasData.clear();
                for (const AudioBuffer& buffer : input->buffers) {
                    layout.push_back(buffer.channelCount);
                    hasData.push_back(buffer.data != nullptr);
                }
            });
    EXPECT_EQ(AudioObject::readBufferChannelCounts(hal, rig.aggregate, sel::streamConfiguration,
                                                   hal::inputScope),
              (std::vector<long>{2, 2}));
    rig.start();
    hal.step(1);
    EXPECT_EQ(layout, (std::vector<long>{2, 2}));

    // Stream usage turns the device's own input off for this procedure only.
    std::uint32_t size = 0;
    ASSERT_EQ(
        hal.getPropertyDataSize(rig.aggregate, {sel::ioProcStreamUsage, hal::inputScope}, {}, size),
        hal::noError);
    ASSERT_EQ(size, 20u);
    std::vector<std::byte> usage(size);
    std::memcpy(usage.data(), &rig.proc, sizeof rig.proc);
    ASSERT_EQ(hal.getPropertyData(rig.aggregate, {sel::ioProcStreamUsage, hal::inputScope}, {},
                                  size, usage.data()),
              hal::noError);
    const std::uint32_t off = 0;
    std::memcpy(usage.data() + 12, &off, 4);
    ASSERT_EQ(hal.setPropertyData(rig.aggregate, {sel::ioProcStreamUsage, hal::inputScope}, {},
                                  size, usage.data()),
              hal::noError);
    hal.step(1);
    EXPECT_EQ(hasData, (std::vector<bool>{false, true}));
}

TEST_F(SimulatedAudioSystemTest, ProbeShapedAggregateClocksItselfAndPermissionSilencesTaps) {
    TapDescription global;
    global.kind = TapDescription::Kind::stereoGlobalTapButExcludeProcesses;
    global.processes = {b};
    global.uuid = "probe";
    AudioObjectID tap = 0, aggregate = 0;
    ASSERT_EQ(hal.createProcessTap(global, tap), hal::noError);
    ASSERT_EQ(hal.createAggregateDevice({{"name", "Probe"},
                                         {"uid", "app.velmorra.sonvel.probe.x"},
                                         {"private", true},
                                         {"tapautostart", false},
                                         {"subdevices", nlohmann::json::array()},
                                         {"taps", {{{"uid", "probe"}, {"drift", true}}}}},
                                        aggregate),
              hal::noError);
    double heardSquares = 0;
    std::size_t outputs = 99;
    AudioDeviceIOProcID proc = 0;
    ASSERT_EQ(hal.createIOProcIDWithBlock(
                  aggregate, nullptr,
                  [&](const AudioBufferList* input, const AudioBufferList& output) {
                      outputs = output.buffers.size();
                      const AudioBuffer& t = input->buffers[0];
                      for (std::size_t i = 0; i < t.byteSize / 4; ++i)
                          heardSquares += double(t.data[i]) * t.data[i];
                  },
                  proc),
              hal::noError);
    ASSERT_EQ(hal.deviceStart(aggregate, proc), hal::noError);
    hal.setPlaying(a, false);
    hal.step(4);
    EXPECT_EQ(heardSquares, 0.0);  // only the excluded process plays
    EXPECT_EQ(outputs, 0u);
    EXPECT_EQ(hal.cycles(aggregate), 4u);
    hal.setPlaying(a, true);
    hal.step(4);
    EXPECT_GT(heardSquares, 100.0);
    EXPECT_NEAR(heard(440), halfScale, 0.01);  // an unmuted probe mutes nobody
    heardSquares = 0;
    hal.setCapturePermission(false);
    hal.step(4);
    EXPECT_EQ(heardSquares, 0.0);
}

TEST_F(SimulatedAudioSystemTest, ListenersRunOnTheirQueueAndNeverAfterRemoval) {
    auto queue = SerialQueue::make("test.listeners");
    std::atomic<int> calls{0};
    std::atomic<bool> onQueue{true};
    auto block = std::make_shared<const AudioObjectPropertyListenerBlock>(
        [&](std::span<const AudioObjectPropertyAddress> addresses) {
            onQueue = onQueue && queue->isCurrent();
            EXPECT_EQ(addresses[0].selector, sel::processIsRunningOutput);
            ++calls;
        });
    const AudioObjectPropertyAddress piro{sel::processIsRunningOutput};
    ASSERT_EQ(hal.addPropertyListenerBlock(a, piro, queue, block), hal::noError);
    hal.setPlaying(a, false);
    hal.setPlaying(a, true);
    hal.setPlaying(b, false);  // another object
    queue->sync([] {});
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(onQueue);

    // Removal must name the same four things.
    auto other = std::make_shared<const AudioObjectPropertyListenerBlock>(*block);
    EXPECT_EQ(hal.removePropertyListenerBlock(a, piro, queue, other), hal::illegalOperationError);
    EXPECT_EQ(hal.removePropertyListenerBlock(a, piro, SerialQueue::make("x"), block),
              hal::illegalOperationError);

    // Notifications queued behind a busy queue are dropped once removed.
    std::promise<void> release;
    queue->async([f = release.get_future().share()] { f.wait(); });
    hal.setPlaying(a, false);
    EXPECT_EQ(hal.removePropertyListenerBlock(a, piro, queue, block), hal::noError);
    release.set_value();
    queue->sync([] {});
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(hal.accounting().listeners, 0u);
}

TEST_F(SimulatedAudioSystemTest, WorldChangesNotifyTheirProperties) {
    auto queue = SerialQueue::make("test.world");
    std::vector<std::pair<AudioObjectID, AudioObjectPropertySelector>> seen;
    std::mutex m;
    const auto listen = [&](AudioObjectID object, AudioObjectPropertySelector selector) {
        auto block =
            std::make_shared<const AudioObjectPropertyListenerBlock>([&, object, selector](auto) {
                const std::lock_guard lock(m);
                seen.emplace_back(object, selector);
            });
        EXPECT_EQ(hal.addPropertyListenerBlock(object, {selector}, queue, block), hal::noError);
    };
    for (auto s : {sel::devices, sel::defaultOutputDevice, sel::processObjectList})
        listen(hal::systemObject, s);
    listen(a, sel::processDevices);
    listen(speakers, sel::isAlive);

    const AudioObjectID dac = hal.addDevice({.uid = "dac", .name = "DAC"});
    hal.removeDevice(speakers);  // the default output goes away
    const AudioObjectID c = hal.addProcess({.pid = 30});
    queue->sync([] {});
    using P = std::pair<AudioObjectID, AudioObjectPropertySelector>;
    EXPECT_EQ(seen, (std::vector<P>{{hal::systemObject, sel::devices},
                                    {speakers, sel::isAlive},
                                    {hal::systemObject, sel::devices},
                                    {hal::systemObject, sel::defaultOutputDevice},
                                    {a, sel::processDevices},
                                    {hal::systemObject, sel::processObjectList}}));
    EXPECT_EQ(hal.defaultOutput(), dac);
    EXPECT_EQ(AudioObject::readValue<std::uint32_t>(hal, speakers, sel::isAlive), 0u);
    EXPECT_EQ(AudioObject::readObjectIDs(hal, a, sel::processDevices, hal::outputScope),
              std::vector<AudioObjectID>{dac});
    (void)c;
}

TEST_F(SimulatedAudioSystemTest, RestartRemovesEveryTapAggregateAndProcedure) {
    Rig rig(hal, {a}, TapDescription::mutedWhenTapped, "spk", [](const auto*, const auto&) {});
    rig.start();
    auto queue = SerialQueue::make("test.restart");
    std::atomic<int> restarts{0}, overloads{0};
    auto onRestart =
        std::make_shared<const AudioObjectPropertyListenerBlock>([&](auto) { ++restarts; });
    auto onOverload =
        std::make_shared<const AudioObjectPropertyListenerBlock>([&](auto) { ++overloads; });
    ASSERT_EQ(
        hal.addPropertyListenerBlock(hal::systemObject, {sel::serviceRestarted}, queue, onRestart),
        0);
    ASSERT_EQ(
        hal.addPropertyListenerBlock(rig.aggregate, {sel::processorOverload}, queue, onOverload),
        0);
    hal.overload(rig.aggregate);
    queue->sync([] {});

    hal.restartServer();
    queue->sync([] {});
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(overloads, 1);
    EXPECT_EQ(hal.accounting(), (SimulatedAudioSystem::Accounting{0, 0, 0, 0, 1}));
    EXPECT_EQ(hal.destroyProcessTap(rig.tap), hal::badObjectError);
    EXPECT_EQ(hal.deviceStop(rig.aggregate, rig.proc), hal::badObjectError);
    EXPECT_NEAR(heard(440), halfScale, 0.01);  // the application sounds normal again
}

TEST_F(SimulatedAudioSystemTest, InjectedFaultsReturnTheirStatusAndChangeNothing) {
    const std::vector<Call> calls{Call::createProcessTap, Call::createAggregateDevice,
                                  Call::createIOProcID, Call::deviceStart};
    for (std::size_t failing = 0; failing < calls.size(); ++failing) {
        hal.inject({.call = calls[failing], .status = hal::illegalOperationError});
        TapDescription d;
        d.processes = {a};
        d.uuid = "t";
        d.muteBehavior = TapDescription::mutedWhenTapped;
        AudioObjectID tap = 0, aggregate = 0;
        AudioDeviceIOProcID proc = 0;
        std::vector<OSStatus> statuses{hal.createProcessTap(d, tap)};
        if (statuses.back() == 0) {
            statuses.push_back(hal.createAggregateDevice(
                {{"uid", "agg"}, {"master", "spk"}, {"taps", {{{"uid", "t"}}}}}, aggregate));
        }
        if (statuses.back() == 0) {
            statuses.push_back(hal.createIOProcIDWithBlock(
                aggregate, nullptr, [](auto, auto&) {}, proc));
        }
        if (statuses.back() == 0) statuses.push_back(hal.deviceStart(aggregate, proc));
        EXPECT_EQ(statuses.size(), failing + 1);
        EXPECT_EQ(statuses.back(), hal::illegalOperationError);
        // The failed call created nothing: only what came before it exists.
        const auto acc = hal.accounting();
        EXPECT_EQ(acc.taps, failing >= 1 ? 1u : 0u);
        EXPECT_EQ(acc.aggregates, failing >= 2 ? 1u : 0u);
        EXPECT_EQ(acc.ioProcs, failing >= 3 ? 1u : 0u);
        EXPECT_EQ(acc.startedIOProcs, 0u);
        EXPECT_NEAR(heard(440), halfScale, 0.01);
        if (proc) {
            EXPECT_EQ(hal.destroyIOProcID(aggregate, proc), 0);
        }
        if (aggregate) {
            EXPECT_EQ(hal.destroyAggregateDevice(aggregate), 0);
        }
        if (tap) {
            EXPECT_EQ(hal.destroyProcessTap(tap), 0);
        }
    }
    // On the Nth matching call, for one object only.
    hal.inject({.call = Call::getPropertyData, .status = -50, .object = speakers, .onCall = 2});
    std::uint32_t size = 8;
    double rate = 0;
    EXPECT_EQ(hal.getPropertyData(b, {sel::processPID}, {}, size = 4, &rate), 0);  // other object
    EXPECT_EQ(hal.getPropertyData(speakers, {sel::nominalSampleRate}, {}, size = 8, &rate), 0);
    EXPECT_EQ(hal.getPropertyData(speakers, {sel::nominalSampleRate}, {}, size = 8, &rate), -50);
    EXPECT_EQ(hal.getPropertyData(speakers, {sel::nominalSampleRate}, {}, size = 8, &rate), 0);

    hal.setServerRunning(false);
    EXPECT_EQ(hal.getPropertyData(speakers, {sel::nominalSampleRate}, {}, size = 8, &rate),
              hal::notRunningError);
}

TEST(SimulatedWorldTest, DefaultWorldLoadsEveryCase) {
    SimulatedAudioSystem hal;
    const auto json = SimulatedWorld::readFile(SimulatedWorld::defaultWorldPath());
    ASSERT_TRUE(json) << json.error();
    const auto world = SimulatedWorld::load(hal, *json);
    ASSERT_TRUE(world) << world.error();
    EXPECT_EQ(world->ownPID(), 4242);
    EXPECT_EQ(world->bundle("/Applications/Slack.app"),
              (Bundle{"com.tinyspeck.slackmacgap", "Slack"}));
    EXPECT_EQ(
        world->executablePath(721),
        "/Applications/Slack.app/Contents/Frameworks/Slack Helper.app/Contents/MacOS/Slack Helper");
    EXPECT_EQ(world->runningApplication(4242)->activationPolicy,
              RunningApplication::ActivationPolicy::accessory);
    EXPECT_EQ(hal.defaultOutput(), hal.deviceID("BuiltInSpeakerDevice"));
    EXPECT_NE(hal.processObject(611), hal::unknownObject);

    SimulatedAudioSystem other;
    EXPECT_EQ(
        SimulatedWorld::load(other, {{"devices", {{{"name", "no uid"}}}}}).error().substr(0, 36),
        "The world description is not valid: ");
    EXPECT_EQ(SimulatedWorld::load(other,
                                   {{"processes", {{{"pid", 1}, {"signal", {{"kind", "chirp"}}}}}}})
                  .error(),
              "The world description is not valid: unknown signal kind “chirp”.");
}

// Real-time clocks with IO procedures, listeners and world changes all at
// once; run under ThreadSanitizer in CI.
TEST(SimulatedAudioSystemRealTimeTest, EverythingAtOnceIsRaceFree) {
    SimulatedAudioSystem hal(SimulatedAudioSystem::ClockMode::realTime);
    const AudioObjectID speakers =
        hal.addDevice({.uid = "spk", .name = "Speakers", .bufferFrames = 64});
    const AudioObjectID a =
        hal.addProcess({.pid = 10, .signal = {Signal::Kind::sine, 440, 0.5}, .playing = true});
    auto queue = SerialQueue::make("test.rt");
    std::atomic<int> notified{0};
    auto block =
        std::make_shared<const AudioObjectPropertyListenerBlock>([&](auto) { ++notified; });
    ASSERT_EQ(hal.addPropertyListenerBlock(a, {sel::processIsRunningOutput}, queue, block), 0);
    std::atomic<std::uint64_t> ioCycles{0};
    Rig rig(hal, {a}, TapDescription::mutedWhenTapped, "spk",
            [&](const AudioBufferList*, const AudioBufferList&) { ioCycles.fetch_add(1); });
    rig.start();
    std::jthread toggler([&](std::stop_token stop) {
        for (bool playing = false; !stop.stop_requested(); playing = !playing) {
            hal.setPlaying(a, playing);
            std::this_thread::yield();
        }
    });
    while (ioCycles.load() < 50) std::this_thread::yield();
    toggler.request_stop();
    toggler.join();
    rig.tearDown();
    const std::uint64_t after = ioCycles.load();
    const std::uint64_t speakerCycles = hal.cycles(speakers);
    while (hal.cycles(speakers) < speakerCycles + 3) std::this_thread::yield();
    EXPECT_EQ(ioCycles.load(), after);  // never called after its device stopped
    EXPECT_EQ(hal.removePropertyListenerBlock(a, {sel::processIsRunningOutput}, queue, block), 0);
    queue->sync([] {});
    EXPECT_GT(notified.load(), 0);
}

}  // namespace
}  // namespace sonvel::sim
