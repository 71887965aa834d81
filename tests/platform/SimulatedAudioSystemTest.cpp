#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <tuple>

#include "platform/sim/SimulatedAudioSystem.hpp"
#include "platform/sim/SimulatedWorld.hpp"
#include "platform/sim/SpeakerAnalysis.hpp"
#include "support/SteppedQueue.hpp"
#include "support/Tones.hpp"
#include "tap/AudioObject.hpp"
#include "tap/SeamRig.hpp"
#include "tap/SerialQueue.hpp"

namespace sonvel::sim {
namespace {

using namespace std::chrono_literals;
using Sim = SimulatedAudioSystem;
using Call = Sim::Call;
using Effect = Sim::Effect;
namespace sel = hal::selector;

using testsupport::listener;
using testsupport::Rig;

// A tap muting `processes` for a rig; faults aimed by `name` find it and the
// aggregate holding it.
TapDescription mutingTap(std::vector<AudioObjectID> processes, const std::string& name = "rig") {
    return {.processes = std::move(processes),
            .uuid = "tap-" + name,
            .name = "Sonvel " + name,
            .muteBehavior = TapDescription::mutedWhenTapped};
}

const AudioDeviceIOBlock noIO = [](const AudioBufferList*, const AudioBufferList&) {};
// Plays the tap (the last input) back at full level.
const AudioDeviceIOBlock playTapBack = [](const AudioBufferList* in, const AudioBufferList& out) {
    const AudioBuffer& tap = in->buffers.back();
    std::copy_n(tap.data, tap.byteSize / 4, out.buffers[0].data);
};

// Speakers, a at 440 Hz and b at 660 Hz, both full scale.
class SimulatedAudioSystemTest : public ::testing::Test, protected testsupport::TwoTones {
  protected:
    // Notifications counted as `main` is pumped.
    auto count(AudioObjectID object, AudioObjectPropertySelector s) {
        return testsupport::countCalls(*hal, object, s, main);
    }
    // Listeners run when a test pumps it, in the order they were notified.
    std::shared_ptr<SteppedQueue> main = std::make_shared<SteppedQueue>("main");
};

// The layout the aggregate reports is GainTapEngineTest's
// SetupDescribesTheAggregateAndDisabledDeviceInputs; here, what IO receives.
TEST_F(SimulatedAudioSystemTest, AggregateInputsAreDeviceInputsThenTheTap) {
    hal->addDevice({.uid = "hs", .name = "Headset", .outputStreams = {2}, .inputStreams = {2}});
    std::vector<bool> hasData;
    Rig rig(*hal, mutingTap({a}), "hs", [&](const AudioBufferList* input, const AudioBufferList&) {
        hasData.clear();
        for (const AudioBuffer& buffer : input->buffers)
            hasData.push_back(buffer.data != nullptr && buffer.channelCount == 2);
    });
    rig.start();
    hal->step(1);
    EXPECT_EQ(hasData, (std::vector<bool>{true, true}));

    // Stream usage turns the device's own input off for this procedure only.
    const AudioObjectPropertyAddress usage{sel::ioProcStreamUsage, hal::inputScope};
    std::uint32_t size = 0;
    ASSERT_EQ(hal->getPropertyDataSize(rig.aggregate, usage, {}, size), hal::noError);
    ASSERT_EQ(size, 20u);
    std::vector<std::byte> bytes(size);
    std::memcpy(bytes.data(), &rig.proc, sizeof rig.proc);
    ASSERT_EQ(hal->getPropertyData(rig.aggregate, usage, {}, size, bytes.data()), hal::noError);
    std::memset(bytes.data() + 12, 0, 4);
    ASSERT_EQ(hal->setPropertyData(rig.aggregate, usage, {}, size, bytes.data()), hal::noError);
    hal->step(1);
    EXPECT_EQ(hasData, (std::vector<bool>{false, true}));
}

// Without capture permission, for everyone or for one process, taps deliver
// silence for what they may not capture and still mute it.
TEST_F(SimulatedAudioSystemTest, WithdrawnCaptureSilencesTheTapButStillMutes) {
    Rig rig(*hal, mutingTap({a, b}), "spk", playTapBack);
    rig.start();
    // Capture allowed for everyone, for a; a heard, b heard.
    const bool cases[][4] = {
        {true, true, true, true}, {true, false, false, true}, {false, true, false, false}};
    for (const auto& [everyone, forA, hearA, hearB] : cases) {
        hal->setCapturePermission(everyone);
        hal->setCapturePermission(a, forA);
        EXPECT_EQ(heard(440) > -0.01, hearA) << everyone << forA;
        EXPECT_EQ(heard(660) > -0.01, hearB) << everyone << forA;
    }
}

// That an unplugged device notifies `livn` and leaves the device list is
// SeamContractTest's ADeviceThatGoesSaysSoAndLeavesTheList.
TEST_F(SimulatedAudioSystemTest, WorldChangesNotifyTheirProperties) {
    using P = std::pair<AudioObjectID, AudioObjectPropertySelector>;
    std::vector<P> seen;
    for (const P& p : {P{hal::systemObject, sel::devices},
                       {hal::systemObject, sel::processObjectList},
                       {hal::systemObject, sel::defaultOutputDevice},
                       {a, sel::processDevices}}) {
        EXPECT_EQ(hal->addPropertyListenerBlock(p.first, {p.second}, main,
                                                listener([&seen, p] { seen.push_back(p); })),
                  hal::noError);
    }
    const AudioObjectID dac = hal->addDevice({.uid = "dac", .name = "DAC"});
    hal->removeDevice(speakers);  // the default output goes away
    hal->addProcess({.pid = 30});
    main->runUntilIdle();
    EXPECT_EQ(seen, (std::vector<P>{{hal::systemObject, sel::devices},
                                    {hal::systemObject, sel::devices},
                                    {hal::systemObject, sel::defaultOutputDevice},
                                    {a, sel::processDevices},
                                    {hal::systemObject, sel::processObjectList}}));
    EXPECT_EQ(hal->defaultOutput(), dac);
    EXPECT_EQ(AudioObject::readValue<std::uint32_t>(*hal, speakers, sel::isAlive), 0u);
    EXPECT_EQ(AudioObject::readObjectIDs(*hal, a, sel::processDevices, hal::outputScope),
              std::vector<AudioObjectID>{dac});
}

TEST_F(SimulatedAudioSystemTest, FormatChangeOnARunningDeviceCarriesItsAggregatesAlong) {
    std::vector<std::size_t> outputChannels;
    Rig rig(*hal, mutingTap({a}), "spk",
            [&](const AudioBufferList*, const AudioBufferList& output) {
                outputChannels.push_back(output.buffers[0].channelCount);
            });
    rig.start();
    std::vector<std::shared_ptr<std::atomic<int>>> notified;
    for (AudioObjectID object : {speakers, rig.aggregate}) {
        for (auto s : {sel::nominalSampleRate, sel::streamConfiguration})
            notified.push_back(count(object, s));
    }
    hal->step(1);
    hal->changeFormat(speakers,
                      {.sampleRate = 44100, .outputStreams = std::vector<std::uint32_t>{1}});
    main->runUntilIdle();
    for (const auto& n : notified) EXPECT_EQ(*n, 1);
    EXPECT_EQ(AudioObject::readValue<double>(*hal, rig.aggregate, sel::nominalSampleRate), 44100.0);
    hal->clearSpeaker(speakers);
    hal->step(40);
    const double mono = SpeakerAnalysis::toneAmplitude(hal->speaker(speakers), 1, 0, 660, 44100);
    EXPECT_NEAR(SpeakerAnalysis::dB(mono), 0, 0.05);  // a mono mix at the new rate
    EXPECT_EQ(outputChannels.size(), 41u);            // IO never stopped
    EXPECT_EQ(outputChannels.back(), 1u);
}

TEST_F(SimulatedAudioSystemTest, FaultEffectsOnTheCallsThatBuildAnEngine) {
    // A fault on one call, and what building leaves behind.
    const std::tuple<Call, Effect, Sim::Accounting> cases[] = {
        {Call::createProcessTap, Effect::fail, {}},
        {Call::createAggregateDevice, Effect::fail, {1, 0, 0, 0, 0}},
        {Call::createIOProcID, Effect::fail, {1, 1, 0, 0, 0}},
        {Call::deviceStart, Effect::fail, {1, 1, 1, 0, 0}},
        {Call::createProcessTap, Effect::zeroObject, {}},
        {Call::createAggregateDevice, Effect::zeroObject, {1, 0, 0, 0, 0}},
        {Call::createIOProcID, Effect::zeroObject, {1, 1, 0, 0, 0}},
        {Call::createProcessTap, Effect::failAfterEffect, {1, 0, 0, 0, 0}},
        {Call::createAggregateDevice, Effect::failAfterEffect, {1, 1, 0, 0, 0}},
        {Call::deviceStart, Effect::failAfterEffect, {1, 1, 1, 1, 0}},
    };
    for (const auto& [call, effect, left] : cases) {
        hal->inject({.call = call, .status = hal::illegalOperationError, .effect = effect});
        AudioObjectID tap = 0, aggregate = 0;
        AudioDeviceIOProcID proc = 0;
        // Stops at the first call that fails or hands back no object.
        const TapDescription d{.processes = {a}, .uuid = "t", .muteBehavior = 2};
        OSStatus status = hal->createProcessTap(d, tap);
        if (status == 0 && tap)
            status = hal->createAggregateDevice(
                {{"uid", "agg"}, {"master", "spk"}, {"taps", {{{"uid", "t"}}}}}, aggregate);
        if (status == 0 && aggregate)
            status = hal->createIOProcIDWithBlock(aggregate, nullptr, noIO, proc);
        if (status == 0 && proc) status = hal->deviceStart(aggregate, proc);
        const auto what = testing::Message() << int(call) << "/" << int(effect);
        EXPECT_EQ(status, effect == Effect::zeroObject ? 0 : hal::illegalOperationError) << what;
        EXPECT_EQ(hal->accounting(), left) << what;
        EXPECT_EQ(heard(440) < -80, left.startedIOProcs > 0) << what;  // a leak is heard too
        // What is left shows what it is, and goes through the seam.
        const Sim::LiveObjects live = hal->liveObjects();
        for (const auto& t : live.taps) EXPECT_EQ(t.description.processes, d.processes) << what;
        for (const auto& g : live.aggregates) EXPECT_EQ(g.outputDeviceUID + g.uid, "spkagg");
        for (const auto& p : live.ioProcs) EXPECT_EQ(hal->destroyIOProcID(p.device, p.id), 0);
        for (const auto& g : live.aggregates) EXPECT_EQ(hal->destroyAggregateDevice(g.id), 0);
        for (const auto& t : live.taps) EXPECT_EQ(hal->destroyProcessTap(t.id), 0);
    }
    // A listener registered although the call said no.
    hal->inject({.call = Call::addPropertyListener, .effect = Effect::failAfterEffect});
    EXPECT_EQ(hal->addPropertyListenerBlock(a, {sel::processPID}, main, listener([] {})),
              hal::unspecifiedError);
    EXPECT_EQ(hal->liveObjects().listeners.at(0).queue, "main");
}

TEST_F(SimulatedAudioSystemTest, FaultsFireOnTheirNthMatchingCallAndTakeTheirTimeOrBytes) {
    double rate = 0;
    std::uint32_t size = 8;
    const auto read = [&] {
        return hal->getPropertyData(speakers, {sel::nominalSampleRate}, {}, size = 8, &rate);
    };
    hal->inject({.call = Call::getPropertyData, .status = -50, .object = speakers, .onCall = 2});
    EXPECT_EQ(hal->getPropertyData(b, {sel::processPID}, {}, size = 4, &rate), 0);  // other object
    EXPECT_EQ((std::array{read(), read(), read()}), (std::array{0, -50, 0}));
    // A short read succeeds with less than the value, however much is allowed.
    for (const auto& [allowed, delivered] : {std::pair{0u, 0u}, {4u, 4u}, {100u, 7u}}) {
        hal->inject({.effect = Effect::shortRead, .readBytes = allowed});
        EXPECT_EQ(read(), 0);
        EXPECT_EQ(size, delivered);
    }
    std::vector<std::pair<Call, std::chrono::nanoseconds>> delays;
    hal->setDelayHandler(
        [&](Call call, std::chrono::nanoseconds d) { delays.emplace_back(call, d); });
    hal->inject({.call = Call::getPropertyData, .effect = Effect::proceed, .delay = 5ms});
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(rate, 48000.0);
    EXPECT_EQ(delays, (decltype(delays){{Call::getPropertyData, 5ms}}));
    hal->setServerRunning(false);
    EXPECT_EQ(read(), hal::notRunningError);
}

TEST_F(SimulatedAudioSystemTest, AimedFaultsHitOneApplicationProcedureOrScopeUntilLifted) {
    Rig music(*hal, mutingTap({a}, "Music"), "spk", noIO);
    Rig podcasts(*hal, mutingTap({b}, "Podcasts"), "spk", noIO);
    std::uint32_t size = 0;
    // Which fail: starting each, reading Music's input and output layouts.
    const auto hits = [&] {
        const auto layout = [&](AudioObjectPropertyScope scope) {
            return hal->getPropertyDataSize(music.aggregate, {sel::streamConfiguration, scope}, {},
                                            size) != 0;
        };
        return std::vector<bool>{hal->deviceStart(music.aggregate, music.proc) != 0,
                                 hal->deviceStart(podcasts.aggregate, podcasts.proc) != 0,
                                 layout(hal::inputScope), layout(hal::outputScope)};
    };
    const std::pair<Sim::Fault, std::vector<bool>> cases[] = {
        {{.persistent = true, .tappedProcess = a}, {true, false, true, true}},
        {{.persistent = true, .nameContains = "Podcasts"}, {false, true, false, false}},
        {{.persistent = true, .proc = music.proc}, {true, false, false, false}},
        {{.persistent = true, .scope = hal::inputScope}, {false, false, true, false}},
    };
    for (const auto& [fault, hit] : cases) {
        const Sim::FaultID id = hal->inject(fault);
        EXPECT_EQ(hits(), hit);
        EXPECT_EQ(hits(), hit);  // persistent
        EXPECT_TRUE(hal->lift(id));
        EXPECT_FALSE(hal->lift(id));
        EXPECT_EQ(hits(), std::vector<bool>(4, false));
    }
    // An application aim covers the create calls of its objects too.
    hal->inject({.tappedProcess = b});
    hal->inject({.nameContains = "Podcasts"});
    AudioObjectID object = 0;
    EXPECT_EQ(hal->createProcessTap({.processes = {a}, .uuid = "a2"}, object), 0);
    EXPECT_EQ(hal->createProcessTap({.processes = {b}, .uuid = "b2"}, object),
              hal::unspecifiedError);
    EXPECT_EQ(hal->createAggregateDevice({{"uid", "x"}, {"name", "Sonvel Podcasts"}}, object),
              hal::unspecifiedError);
}

TEST_F(SimulatedAudioSystemTest, CycleFaultsDisturbTheCyclesTheyAimAt) {
    hal->setPlaying(b, false);
    int calls = 0, silentInputs = 0;
    Rig rig(
        *hal, mutingTap({a}), "spk", [&](const AudioBufferList* in, const AudioBufferList& out) {
            ++calls;
            const AudioBuffer& tap = in->buffers.back();
            silentInputs +=
                std::all_of(tap.data, tap.data + tap.byteSize / 4, [](float s) { return s == 0; });
            playTapBack(in, out);
        });
    rig.start();
    const auto overloads = count(rig.aggregate, sel::processorOverload);
    using Kind = Sim::CycleFault::Kind;
    // Four cycles: how often the procedure ran, heard silence, overloaded,
    // and how many cycles the speaker played nothing.
    const std::pair<Sim::CycleFault, std::array<int, 4>> cases[] = {
        {{.kind = Kind::skip, .aggregate = rig.aggregate, .onCycle = 2, .cycles = 2}, {2, 0, 0, 2}},
        {{.kind = Kind::dropInput, .proc = rig.proc, .onCycle = 2, .cycles = 2}, {4, 2, 0, 2}},
        {{.kind = Kind::overload, .nameContains = "rig", .onCycle = 2, .cycles = 2}, {4, 0, 2, 2}},
        {{.kind = Kind::skip, .tappedProcess = b, .cycles = 4}, {4, 0, 0, 0}},  // another app
    };
    for (const auto& [fault, expected] : cases) {
        calls = silentInputs = 0;
        const Sim::FaultID id = hal->injectCycleFault(fault);
        hal->clearSpeaker(speakers);
        hal->step(4);
        main->runUntilIdle();
        const std::vector<float> speaker = hal->speaker(speakers);
        int silentCycles = 0;
        for (auto cycle = speaker.begin(); cycle != speaker.end(); cycle += 1024)
            silentCycles += std::all_of(cycle, cycle + 1024, [](float s) { return s == 0; });
        EXPECT_EQ((std::array{calls, silentInputs, overloads->exchange(0), silentCycles}), expected)
            << int(fault.kind);
        EXPECT_EQ(hal->lift(id), fault.tappedProcess.has_value());  // spent unless it never hit
    }
}

TEST(SimulatedWorldTest, DefaultWorldLoadsEveryCase) {
    Sim hal;
    const auto json = SimulatedWorld::readFile(SimulatedWorld::defaultWorldPath());
    ASSERT_TRUE(json) << json.error();
    const auto world = SimulatedWorld::load(hal, *json);
    ASSERT_TRUE(world) << world.error();
    // Our own pid, bundles, helper paths and the default output are
    // ProcessInspectorTest's, read through the inspector from this same world;
    // which processes play is sonvel_tap_cli's list_active.
    EXPECT_EQ(world->runningApplication(4242)->activationPolicy,
              RunningApplication::ActivationPolicy::accessory);
}

TEST(SimulatedWorldTest, AMalformedDescriptionIsRefusedNamingTheFieldAndLeavesTheSystemAlone) {
    const std::string tooMany = nlohmann::json(257, {{"uid", "d"}}).dump();
    const std::pair<std::string, std::string> cases[] = {
        {"[1,2]", "it is [1,2], not an object"},
        {"null", "it is null, not an object"},
        {R"("world")", R"(it is "world", not an object)"},
        {"7", "it is 7, not an object"},
        {R"({"capturePermission":"yes"})", R"(capturePermission is "yes", not true or false)"},
        {R"({"devices":{}})", "devices is {}, not a list"},
        {R"({"devices":[{"name":"no uid"}]})", "devices[0].uid is missing"},
        {R"({"devices":[{"uid":"d","output":[-2]}]})", "devices[0].output[0] is -2, not a whole"},
        {R"({"devices":[{"uid":"d","bufferFrames":4294967295}]})", "devices[0].bufferFrames is 4"},
        {R"({"devices":[{"uid":"d","sampleRate":1e308}]})", "devices[0].sampleRate is 1e+308"},
        {R"({"devices":[{"uid":"d"},{"uid":"d"}]})", R"(devices[1].uid is "d", not a uid no)"},
        {R"({"devices":)" + tooMany + "}", "devices has 257 entries, more than the 256 allowed"},
        {R"({"defaultOutput":"d"})", R"(defaultOutput is "d", not the uid of a device)"},
        {R"({"processes":[{"pid":-5}]})", "processes[0].pid is -5, not a whole number from 0"},
        {R"({"processes":[{"pid":1,"signal":{"kind":"chirp"}}]})", "processes[0].signal.kind is"},
        {R"({"processes":[{"pid":1,"outputDevices":["x"]}]})", "processes[0].outputDevices[0]"},
    };
    for (const auto& [description, says] : cases) {
        Sim hal;
        const auto world = SimulatedWorld::load(hal, nlohmann::json::parse(description));
        ASSERT_FALSE(world) << description;
        EXPECT_EQ(world.error().rfind("The world description is not valid: " + says, 0), 0u)
            << world.error();
        EXPECT_EQ(hal.deviceID("d"), hal::unknownObject) << description;
    }
}

// Each device has a clock thread. Every one must get to run (when every
// cycle rendered every process under the one lock they starved), and
// quitting must signal them all before joining any (one at a time took 49 s;
// now 4-50 ms, a figure for a benchmark, not a bound to time here).
TEST(SimulatedWorldTest, TheLargestWorldRunsEveryClockAndStops) {
#if defined(__SANITIZE_THREAD__)
    constexpr int count = 32;  // 256 instrumented threads take most of a minute
#else
    constexpr int count = 256;
#endif
    nlohmann::json devices = nlohmann::json::array();
    for (int i = 0; i < count; ++i) devices.push_back({{"uid", "d" + std::to_string(i)}});
    const nlohmann::json processes(16,
                                   {{"pid", 1}, {"playing", true}, {"signal", {{"kind", "sine"}}}});
    Sim hal(Sim::ClockMode::realTime);
    ASSERT_TRUE(SimulatedWorld::load(hal, {{"devices", devices}, {"processes", processes}}));
    const auto clocked = [&] {
        int n = 0;
        for (int i = 0; i < count; ++i) n += hal.cycles(hal.deviceID("d" + std::to_string(i))) > 0;
        return n;
    };
    for (int waited = 0; clocked() < count && waited < 60'000; waited += 10)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(clocked(), count);
}

// Real-time clocks with IO procedures, listeners, world changes and restarts
// all at once; run under ThreadSanitizer in CI.
TEST(SimulatedAudioSystemRealTimeTest, EverythingAtOnceIsRaceFree) {
    Sim hal(Sim::ClockMode::realTime);
    hal.addDevice({.uid = "spk", .name = "Speakers", .bufferFrames = 64});
    const AudioObjectID a =
        hal.addProcess({.pid = 10, .signal = {Signal::Kind::sine, 440, 0.5}, .playing = true});
    auto queue = SerialQueue::make("test.rt");
    const auto notified = testsupport::countCalls(hal, a, sel::processIsRunningOutput, queue);
    std::atomic<std::uint64_t> ioCycles{0};
    Rig rig(hal, mutingTap({a}), "spk",
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
    queue->sync([] {});
    EXPECT_GT(*notified, 0);

    // The restart notification runs on another thread at once: what it
    // registers never falls to the restart it announces, renumbered or not.
    auto onRestart = listener([&] {
        EXPECT_EQ(hal.addPropertyListenerBlock(hal.processObject(10), {sel::processIsRunningOutput},
                                               queue, listener([] {})),
                  0);
    });
    ASSERT_EQ(
        hal.addPropertyListenerBlock(hal::systemObject, {sel::serviceRestarted}, queue, onRestart),
        0);
    for (int i = 0; i < 100; ++i) {
        hal.restartServer({.renumber = i % 2 == 1});
        queue->sync([] {});
        const auto listeners = hal.liveObjects().listeners;
        ASSERT_EQ(listeners.size(), 2u) << "restart " << i;
        EXPECT_EQ(listeners.back().object, hal.processObject(10));
    }
    const AudioObjectID renumbered = hal.deviceID("spk");
    const std::uint64_t cycles = hal.cycles(renumbered);
    while (hal.cycles(renumbered) < cycles + 3) std::this_thread::yield();  // its clock went along
}

}  // namespace
}  // namespace sonvel::sim
