#include <gtest/gtest.h>

#include <thread>

#include "platform/sim/SimulatedWorld.hpp"
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

using testsupport::countCalls;
using testsupport::listener;
using testsupport::Rig;

// A tap muting `processes` while its rig runs; faults aimed by `name` find it
// and the aggregate holding it.
TapDescription mutingTap(std::vector<AudioObjectID> processes, const std::string& name = "rig") {
    return {.processes = processes, .uuid = name, .name = name, .muteBehavior = 2};
}

// Plays the tap (the last input) back at full level.
const AudioDeviceIOBlock playTapBack = [](const AudioBufferList* in, const AudioBufferList& out) {
    const AudioBuffer& tap = in->buffers.back();
    std::copy_n(tap.data, tap.byteSize / 4, out.buffers[0].data);
};

// Speakers, a at 440 Hz and b at 660 Hz, both full scale.
class SimulatedAudioSystemTest : public ::testing::Test, protected testsupport::TwoTones {
  protected:
    // Listeners run when a test pumps it, in the order they were notified.
    std::shared_ptr<SteppedQueue> main = std::make_shared<SteppedQueue>("main");
};

// The layout the aggregate reports is GainTapEngineTest's
// SetupDescribesTheAggregateAndDisabledDeviceInputs; here, what IO receives.
TEST_F(SimulatedAudioSystemTest, AggregateInputsAreDeviceInputsThenTheTap) {
    hal->addDevice({.uid = "hs", .name = "Headset", .outputStreams = {2}, .inputStreams = {2}});
    std::string hasData;  // per input buffer, whether it holds two channels of samples
    Rig rig(*hal, mutingTap({a}), "hs", [&](auto input, auto&) {
        for (const auto& x : input->buffers) hasData += x.data && x.channelCount == 2 ? 'y' : 'n';
    });
    rig.start();
    hal->step(1);
    EXPECT_EQ(hasData, "yy");

    // Stream usage turns the device's own input off for this procedure only:
    // the procedure's ID, the stream count, then a flag per stream.
    const AudioObjectPropertyAddress usage{sel::ioProcStreamUsage, hal::inputScope};
    std::uint32_t size = 0, words[5]{};
    ASSERT_EQ(hal->getPropertyDataSize(rig.aggregate, usage, {}, size), hal::noError);
    ASSERT_EQ(size, 20u);
    std::memcpy(words, &rig.proc, sizeof rig.proc);
    ASSERT_EQ(hal->getPropertyData(rig.aggregate, usage, {}, size, words), hal::noError);
    words[3] = 0;
    ASSERT_EQ(hal->setPropertyData(rig.aggregate, usage, {}, size, words), hal::noError);
    hal->step(1);
    EXPECT_EQ(hasData, "yyny");
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

// That the device list notifies `dev#` as devices come and go is
// AudioChangeObserverTest's and SeamContractTest's; here, what else it touches.
TEST_F(SimulatedAudioSystemTest, WorldChangesNotifyTheirProperties) {
    std::vector<AudioObjectPropertySelector> seen;
    for (const auto& [object, s] : {std::pair{hal::systemObject, sel::processObjectList},
                                    {hal::systemObject, sel::defaultOutputDevice},
                                    {a, sel::processDevices}})
        hal->addPropertyListenerBlock(object, {s}, main, listener([&, s] { seen.push_back(s); }));
    const AudioObjectID dac = hal->addDevice({.uid = "dac", .name = "DAC"});
    hal->removeDevice(speakers);  // the default output goes away
    hal->addProcess({.pid = 30});
    main->runUntilIdle();
    EXPECT_EQ(seen,
              (std::vector{sel::defaultOutputDevice, sel::processDevices, sel::processObjectList}));
    EXPECT_EQ(hal->defaultOutput(), dac);
    EXPECT_EQ(AudioObject::readValue<AudioObjectID>(*hal, a, sel::processDevices), dac);
    EXPECT_EQ(AudioObject::readValue<std::uint32_t>(*hal, speakers, sel::isAlive), 0u);
}

TEST_F(SimulatedAudioSystemTest, FormatChangeOnARunningDeviceCarriesItsAggregatesAlong) {
    std::vector<std::size_t> outputChannels;
    Rig rig(*hal, mutingTap({a}), "spk",
            [&](auto, auto& output) { outputChannels.push_back(output.buffers[0].channelCount); });
    rig.start();
    std::vector<std::shared_ptr<std::atomic<int>>> notified;
    for (AudioObjectID object : {speakers, rig.aggregate})
        for (auto s : {sel::nominalSampleRate, sel::streamConfiguration})
            notified.push_back(countCalls(*hal, object, s, main));
    hal->step(1);
    hal->changeFormat(speakers, {.sampleRate = 44100, .outputStreams = std::vector{1u}});
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

// Each call that builds an engine, failed each way a server can fail it: what
// is left behind is what the calls before it made, and its own object too
// when it did its work anyway. That a started procedure's tap mutes is
// SeamContractTest's.
TEST_F(SimulatedAudioSystemTest, FaultEffectsOnTheCallsThatBuildAnEngine) {
    const Call build[] = {Call::createProcessTap, Call::createAggregateDevice, Call::createIOProcID,
                          Call::deviceStart};
    const TapDescription d{.processes = {a}, .uuid = "t"};
    const nlohmann::json agg = {{"uid", "agg"}, {"master", "spk"}, {"taps", {{{"uid", "t"}}}}};
    for (std::size_t n = 0; n < 4; ++n)
        for (const Effect effect : {Effect::fail, Effect::zeroObject, Effect::failAfterEffect}) {
            if (n == 3 && effect == Effect::zeroObject) continue;  // starting creates nothing
            hal->inject({.call = build[n], .status = hal::illegalOperationError, .effect = effect});
            AudioObjectID tap = 0, aggregate = 0;
            AudioDeviceIOProcID proc = 0;
            // Stops at the first call that fails or hands back no object.
            OSStatus status = hal->createProcessTap(d, tap);
            if (status == 0 && tap) status = hal->createAggregateDevice(agg, aggregate);
            if (status == 0 && aggregate)
                status = hal->createIOProcIDWithBlock(aggregate, nullptr, playTapBack, proc);
            if (status == 0 && proc) status = hal->deviceStart(aggregate, proc);
            SCOPED_TRACE(testing::Message() << n << "/" << int(effect));
            EXPECT_EQ(status, effect == Effect::zeroObject ? 0 : hal::illegalOperationError);
            const std::size_t made = n + (effect == Effect::failAfterEffect);
            EXPECT_EQ(hal->accounting(), (Sim::Accounting{made > 0, made > 1, made > 2, made > 3}));
            // What is left shows what it is, and goes through the seam.
            const Sim::LiveObjects live = hal->liveObjects();
            for (const auto& t : live.taps) EXPECT_EQ(t.description.processes, d.processes);
            for (const auto& g : live.aggregates) EXPECT_EQ(g.outputDeviceUID + g.uid, "spkagg");
            for (const auto& p : live.ioProcs) EXPECT_EQ(hal->destroyIOProcID(p.device, p.id), 0);
            for (const auto& g : live.aggregates) EXPECT_EQ(hal->destroyAggregateDevice(g.id), 0);
            for (const auto& t : live.taps) EXPECT_EQ(hal->destroyProcessTap(t.id), 0);
        }
    // A listener registered although the call said no.
    hal->inject({.call = Call::addPropertyListener, .effect = Effect::failAfterEffect});
    EXPECT_NE(hal->addPropertyListenerBlock(a, {sel::processPID}, main, listener([] {})), 0);
    EXPECT_EQ(hal->liveObjects().listeners.at(0).queue, "main");
}

TEST_F(SimulatedAudioSystemTest, FaultsHitTheNthCallTheyAimAtTillSpentOrLiftedTakingTimeOrBytes) {
    Rig music(*hal, mutingTap({a}, "Music"), "spk", playTapBack);
    Rig podcasts(*hal, mutingTap({b}, "Podcasts"), "spk", playTapBack);
    double rate = 0;
    std::uint32_t size = 8;
    const auto read = [&](AudioObjectPropertyScope scope = hal::globalScope) {
        return hal->getPropertyData(speakers, {sel::nominalSampleRate, scope}, {}, size = 8, &rate);
    };
    // Which fail: starting each, and reading the speakers' rate on input and output.
    const auto hits = [&] {
        std::string hit;
        for (const OSStatus s : {hal->deviceStart(music.aggregate, music.proc),
                                 hal->deviceStart(podcasts.aggregate, podcasts.proc),
                                 read(hal::inputScope), read(hal::outputScope)})
            hit += s ? '1' : '0';
        return hit;
    };
    // A fault, and which fail the first and the second time.
    const std::tuple<Sim::Fault, std::string, std::string> cases[] = {
        {{.persistent = true, .tappedProcess = a}, "1000", "1000"},
        {{.persistent = true, .nameContains = "Podcasts"}, "0100", "0100"},
        {{.persistent = true, .proc = music.proc}, "1000", "1000"},
        {{.persistent = true, .scope = hal::inputScope}, "0010", "0010"},
        {{.object = speakers, .onCall = 3}, "0000", "0010"},  // calls on others do not count
    };
    for (const auto& [fault, first, second] : cases) {
        const Sim::FaultID id = hal->inject(fault);
        EXPECT_EQ(hits(), first);
        EXPECT_EQ(hits(), second);
        EXPECT_EQ(hal->lift(id), fault.persistent);  // a fault that fired is spent
        EXPECT_EQ(hits(), "0000");
    }
    // An application aim covers the create calls of its objects too.
    hal->inject({.tappedProcess = b});
    hal->inject({.nameContains = "Podcasts"});
    AudioObjectID object = 0;
    EXPECT_EQ(hal->createProcessTap({.processes = {a}, .uuid = "a2"}, object), 0);
    EXPECT_NE(hal->createProcessTap({.processes = {b}, .uuid = "b2"}, object), 0);
    EXPECT_NE(hal->createAggregateDevice({{"uid", "x"}, {"name", "Podcasts"}}, object), 0);

    // A short read succeeds with less than the value, however much is allowed.
    for (const auto& [allowed, delivered] : {std::pair{0u, 0u}, {4u, 4u}, {100u, 7u}}) {
        hal->inject({.effect = Effect::shortRead, .readBytes = allowed});
        EXPECT_EQ(read(), 0);
        EXPECT_EQ(size, delivered);
    }
    std::vector<std::pair<Call, std::chrono::nanoseconds>> delays;
    hal->setDelayHandler([&](Call c, std::chrono::nanoseconds d) { delays.emplace_back(c, d); });
    hal->inject({.call = Call::getPropertyData, .effect = Effect::proceed, .delay = 5ms});
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(rate, 48000.0);
    EXPECT_EQ(delays, (decltype(delays){{Call::getPropertyData, 5ms}}));
    hal->setServerRunning(false);
    EXPECT_EQ(read(), hal::notRunningError);
}

TEST_F(SimulatedAudioSystemTest, CycleFaultsDisturbTheCyclesTheyAimAt) {
    hal->setPlaying(b, false);
    int calls = 0, silentInputs = 0;
    Rig rig(*hal, mutingTap({a}), "spk", [&](auto in, auto& out) {
        const AudioBuffer& tap = in->buffers.back();
        silentInputs += *std::max_element(tap.data, tap.data + tap.byteSize / 4) == 0;
        ++calls, playTapBack(in, out);
    });
    rig.start();
    const auto overloads = countCalls(*hal, rig.aggregate, sel::processorOverload, main);
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
            silentCycles += *std::max_element(cycle, cycle + 1024) == 0;
        EXPECT_EQ((std::array{calls, silentInputs, overloads->exchange(0), silentCycles}), expected)
            << int(fault.kind);
        EXPECT_EQ(hal->lift(id), fault.tappedProcess.has_value());  // spent unless it never hit
    }
}

// That the default world loads is ProcessInspectorTest's, read through the
// inspector, and sonvel_tap_cli's.
TEST(SimulatedWorldTest, AMalformedDescriptionIsRefusedNamingTheFieldAndLeavesTheSystemAlone) {
    const std::string tooMany = nlohmann::json(257, {{"uid", "d"}}).dump();
    const std::pair<std::string, std::string> cases[] = {
        {"[1,2]", "it is [1,2], not an object"},
        {"null", "it is null, not an object"},
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
    // A well-formed one is taken as written.
    Sim hal;
    const auto world = SimulatedWorld::load(
        hal, {{"applications", {{{"pid", 1}, {"activationPolicy", "accessory"}}}}});
    EXPECT_EQ(world.value().runningApplication(1)->activationPolicy,
              RunningApplication::ActivationPolicy::accessory);
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
    int clocked = 0;  // devices, in order, whose clock has run
    for (int waited = 0; clocked < count && waited < 60'000; waited += 10) {
        while (clocked < count && hal.cycles(hal.deviceID("d" + std::to_string(clocked))) > 0)
            ++clocked;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(clocked, count);
}

// Restarts on real-time clocks; run under ThreadSanitizer in CI. World
// changes racing IO procedures on real clocks are RealTimeChurnTest's, whose
// players start, stop and leave while engines render.
TEST(SimulatedAudioSystemRealTimeTest, RestartsAreRaceFree) {
    Sim hal(Sim::ClockMode::realTime);
    hal.addDevice({.uid = "spk", .name = "Speakers", .bufferFrames = 64});
    hal.addProcess({.pid = 10, .playing = true});
    auto queue = SerialQueue::make("test.rt");
    // The restart notification runs on another thread at once: what it
    // registers never falls to the restart it announces, renumbered or not.
    const auto onRestart = listener([&] {
        hal.addPropertyListenerBlock(hal.processObject(10), {sel::processIsRunningOutput}, queue,
                                     listener([] {}));
    });
    hal.addPropertyListenerBlock(hal::systemObject, {sel::serviceRestarted}, queue, onRestart);
    for (int i = 0; i < 100; ++i) {
        hal.restartServer({.renumber = i % 2 == 1});
        queue->sync([] {});
        const auto listeners = hal.liveObjects().listeners;
        ASSERT_EQ(listeners.size(), 2u) << "restart " << i;
        EXPECT_EQ(listeners.back().object, hal.processObject(10));
    }
    // The renumbered device's clock went along.
    const auto cycles = [&] { return hal.cycles(hal.deviceID("spk")); };
    for (const auto until = cycles() + 3; cycles() < until;) std::this_thread::yield();
}

}  // namespace
}  // namespace sonvel::sim
