#include <gtest/gtest.h>

#include <map>
#include <ranges>
#include <set>

#include "platform/sim/SimulatedAudioSystem.hpp"
#include "support/AllocationCounter.hpp"
#include "support/Tones.hpp"
#include "tap/GainTapEngine.hpp"
#include "tap/PermissionProbe.hpp"

namespace sonvel {
namespace {

using Sim = sim::SimulatedAudioSystem;
using Call = Sim::Call;

// One layer up, over these same engines: levels heard, everyone restored
// after a stop, abandoning after a restart and the permission probe are
// EngineHostTest's; that a hand-over loses and doubles nothing is
// MixerModelTest's reset of Sonvel's audio. How a gain ramps is
// GainRendererTest's. Stopping, abandoning and handing gains over while IO
// renders on real clocks is RealTimeChurnTest's, under ThreadSanitizer.
class GainTapEngineTest : public ::testing::Test, protected testsupport::TwoTones {
  protected:
    GainTapEngine::Configuration configuration(std::vector<AudioObjectID> processes,
                                               std::string uid = "spk", bool noInputs = false) {
        return {.name = "Test",
                .processObjectIDs = std::move(processes),
                .disableDeviceInputs = noInputs,
                .outputDevice = {hal->deviceID(uid), uid, uid + " name", 48000}};
    }

    std::shared_ptr<GainTapEngine> engine(float gain, GainTapEngine::OnFault onFault = {},
                                          std::optional<GainTapEngine::Configuration> c = {}) {
        const auto made = GainTapEngine::make(hal, c.value_or(configuration({a})), gain, onFault);
        EXPECT_TRUE(made) << made.error().description();
        return made ? *made : nullptr;
    }
    // Why building with `c` was refused, which must leave nothing behind.
    std::string refusal(const GainTapEngine::Configuration& c) {
        const auto made = GainTapEngine::make(hal, c, 1, {});
        EXPECT_EQ(hal->accounting(), Sim::Accounting{});
        return made ? "built" : made.error().description();
    }
};

// Whatever gain and segment it renders, the IO block never allocates.
TEST_F(GainTapEngineTest, TheIOBlockNeverAllocates) {
    const auto e = engine(1.0f);
    ASSERT_TRUE(e->start());
    std::size_t allocations = 0, calls = 0;
    hal->setIOCallWrapper([&](const std::function<void()>& call) {
        testing::AllocationCounter counter;
        call();
        allocations += counter.count();
        ++calls;
    });
    for (int i = 0; i < 20; ++i) e->control().set(float(i % 4) / 4, std::uint32_t(i)), hal->step(1);
    EXPECT_EQ(std::pair(calls, allocations), std::pair(20ul, 0ul));  // every cycle, wrapped
}

TEST_F(GainTapEngineTest, RefusalsComeBeforeAnythingIsCreatedOrReleaseTheTap) {
    std::vector<Call> calls;
    hal->setCallHook([&](Call c) { calls.push_back(c); });
    using C = GainTapEngine::Configuration;
    const std::pair<void (*)(C&), const char*> cases[] = {
        {[](C& c) { c.muting = TapPlan::Muting::never; },
         "Re-rendering an unmuted tap would double the audio; refusing."},
        {[](C& c) { c.processObjectIDs.clear(); }, "No processes to tap."},
        {[](C& c) { c.bundleIDs.emplace(); }, "Tapping by bundle ID needs a bundle ID."},
        {[](C& c) { c.outputDevice.uid.reset(); }, "There is no usable default output device."},
    };
    for (const auto& [spoil, sentence] : cases) {
        C c = configuration({a});
        spoil(c);
        EXPECT_EQ(refusal(c), sentence);
    }
    EXPECT_TRUE(calls.empty());

    // Refused once the tap exists, which is released.
    hal->addDevice({.uid = "hs", .name = "Headset", .outputStreams = {2}, .inputStreams = {2}});
    hal->setTapFormat({48000, fourCC("lpcm"), 12, 4, 1, 4, 2, 16, 0});
    EXPECT_EQ(refusal(configuration({a})),
              "Tap format is not Float32 linear PCM (flags=12, bits=16).");
    hal->setTapFormat({48000, fourCC("lpcm"), 9, 4, 1, 4, 1, 32, 0});  // Float32 but mono
    EXPECT_EQ(
        refusal(configuration({a}, "hs")),
        "Aggregate input layout [2, 2] does not end with the tap's 1 channel(s) after 1 device "
        "input buffer(s); refusing to guess which buffer is the tap.");

    // The aggregate lists fewer input buffers than the device alone has.
    hal->setTapFormat({48000, fourCC("lpcm"), 9, 8, 1, 8, 2, 32, 0});
    hal->addDevice({.uid = "hs2", .outputStreams = {2}, .inputStreams = {1, 1}});
    hal->inject({.call = Call::getPropertyData,
                 .selector = hal::selector::streamConfiguration,
                 .scope = hal::inputScope,
                 .nameContains = "Sonvel",
                 .effect = Sim::Effect::shortRead,
                 .readBytes = 8 + sizeof(AudioBuffer)});
    EXPECT_EQ(refusal(configuration({a}, "hs2")),
              "Aggregate input layout [1] does not end with the tap's 2 channel(s) after 2 device "
              "input buffer(s); refusing to guess which buffer is the tap.");
    // A device with nothing to play on.
    hal->addDevice({.uid = "mic", .name = "Microphone", .outputStreams = {}, .inputStreams = {1}});
    EXPECT_EQ(refusal(configuration({a}, "mic")), "The aggregate device has no output channels.");
}

TEST_F(GainTapEngineTest, SetupDescribesTheAggregateAndDisabledDeviceInputs) {
    // Streams, rate, buffer frames, then output and input latency.
    hal->addDevice({"hs", "Headset", {2}, {1}, 24000, 256, 120, 40});
    const auto e = engine(1, {}, configuration({a}, "hs", true));
    ASSERT_TRUE(e);
    // A stereo Float32 tap (flags 9) after the device's one input buffer, on
    // the device's own rate, buffer and latencies.
    EXPECT_EQ(*e->setup(),
              (GainTapSetupInfo{
                  48000, 2, 9, "hs name", "hs", {1, 2}, {2}, 1, true, 24000, 256, 120, 0, 40, 0}));
    EXPECT_DOUBLE_EQ(e->setup()->estimatedLatencyMilliseconds(), (256.0 + 120 + 40) / 24000 * 1000);

    // Without device inputs nothing is switched off.
    const auto plain = engine(1, {}, configuration({b}, "spk", true));
    EXPECT_EQ(std::pair(plain->setup()->deviceInputsDisabled, plain->setup()->firstTapBuffer),
              std::pair(false, 0L));
}

// Fails each seam call of construction in turn: whatever fails, nothing is
// left behind, what was created is released newest first, and the sentence
// names the failed step.
TEST_F(GainTapEngineTest, AFailureAtAnyCallLeavesNothingBehind) {
    hal->addDevice({.uid = "hs", .name = "Headset", .outputStreams = {2}, .inputStreams = {1}});
    const auto c = configuration({a}, "hs", true);
    std::vector<Call> calls;  // the seam calls made since the last clear
    hal->setCallHook([&](Call call) { calls.push_back(call); });
    ASSERT_TRUE(GainTapEngine::make(hal, c, 1, {}));
    const std::vector<Call> construction(calls.begin(),
                                         std::ranges::find(calls, Call::removePropertyListener));
    ASSERT_GE(construction.size(), 20u);

    const std::map<Call, Call> undoOf = {
        {Call::createProcessTap, Call::destroyProcessTap},
        {Call::createAggregateDevice, Call::destroyAggregateDevice},
        {Call::createIOProcID, Call::destroyIOProcID},
        {Call::addPropertyListener, Call::removePropertyListener}};
    std::map<Call, std::set<std::string>> said;  // by the kind of call that failed
    int failures = 0;
    for (std::size_t n = 0; n < construction.size(); ++n) {
        hal->inject({.status = -50, .onCall = int(n) + 1});
        calls.clear();
        const auto made = GainTapEngine::make(hal, c, 1, {});
        // A tolerated failure (a listener, a measurement) still builds an
        // engine; it must tear down as fully as any other.
        if (made) (*made)->stop();
        EXPECT_EQ(hal->accounting(), Sim::Accounting{}) << "call " << n;

        // Every creation that succeeded (all but the failed call n) is undone,
        // newest first; with a tolerated failure the engine got further.
        std::vector<Call> expectedUndo, undone;
        for (std::size_t i = 0; i < calls.size(); ++i) {
            if (undoOf.contains(calls[i]) && i != n)
                expectedUndo.insert(expectedUndo.begin(), undoOf.at(calls[i]));
            if (std::ranges::count(undoOf | std::views::values, calls[i]))
                undone.push_back(calls[i]);
        }
        // A listener that failed to register is removed at once, in case it did.
        if (construction[n] == Call::addPropertyListener)
            expectedUndo.insert(expectedUndo.begin(), Call::removePropertyListener);
        const std::string sentence = made ? "built" : made.error().description();
        EXPECT_EQ(undone, expectedUndo) << "call " << n << ": " << sentence;
        said[construction[n]].insert(sentence);
        failures += !made;
    }
    EXPECT_GE(failures, 10);
    // How a failed tap or aggregate is told is EngineHostTest's and MixerModelTest's.
    using Said = std::set<std::string>;
    EXPECT_EQ(said[Call::createIOProcID], Said{"AudioDeviceCreateIOProcIDWithBlock failed: -50"});
    EXPECT_EQ(said[Call::setPropertyData], Said{"Set IOProcStreamUsage failed: -50"});
    // A plain property read fails in AudioObject's words (AudioObjectTest); the
    // stream-usage reads have sentences of their own. The device's own input
    // layout unreadable counts as none, and then the tap is not where the
    // layout says.
    for (const auto& [call, words] :
         {std::pair{Call::getPropertyDataSize, "Get size of IOProcStreamUsage failed: -50"},
          {Call::getPropertyData, "Get IOProcStreamUsage failed: -50"}}) {
        EXPECT_TRUE(said[call].contains(words)) << words;
        EXPECT_TRUE(said[call].contains(
            "Aggregate input layout [1, 2] does not end with the tap's 2 channel(s) after 0 device "
            "input buffer(s); refusing to guess which buffer is the tap."));
    }

    // A server that does the work and reports failure anyway leaks nothing either.
    for (std::size_t n = 0; n < construction.size(); ++n) {
        hal->inject({.status = -50, .onCall = int(n) + 1, .effect = Sim::Effect::failAfterEffect});
        if (auto made = GainTapEngine::make(hal, c, 1, {})) (*made)->stop();
        hal->clearFaults();
        EXPECT_EQ(hal->accounting(), Sim::Accounting{}) << "call " << n;
    }
}

// Stopping releases newest first, once, also as a hand-over stops the engine
// it replaces; the permission probe releases all it made too. How its
// builds are refused, and what it hears, are EngineHostTest's.
TEST_F(GainTapEngineTest, StartsOnceAndStopsForGood) {
    std::vector<Call> calls;
    hal->setCallHook([&](Call c) { calls.push_back(c); });
    const auto e = engine(1.0f);
    ASSERT_TRUE(e->start());
    ASSERT_TRUE(e->start());
    EXPECT_TRUE(e->isRunning());
    EXPECT_EQ(std::ranges::count(calls, Call::deviceStart), 1);
    calls.clear();
    GainTapHandoverEngine(e).stopIO();
    EXPECT_EQ(calls, (std::vector<Call>{Call::deviceStop, Call::removePropertyListener,
                                        Call::removePropertyListener, Call::removePropertyListener,
                                        Call::destroyIOProcID, Call::destroyAggregateDevice,
                                        Call::destroyProcessTap}));
    EXPECT_TRUE(e->stop().empty());  // nothing left to release, so nothing fails
    EXPECT_EQ(e->start().error().description(), "The engine was already stopped.");
    const auto probe = *PermissionProbe::make(hal, {});  // the permission probe, too
    EXPECT_TRUE(probe->stop().empty());
    EXPECT_EQ(hal->accounting(), Sim::Accounting{});

    hal->inject({.call = Call::deviceStart, .status = -50});
    const auto g = engine(1.0f);
    EXPECT_EQ(g->start().error().description(),
              "AudioDeviceStart(" + std::to_string(g->aggregateID()) + ") failed: -50");
}

// How IO stopping abnormally is told is EngineHostTest's.
TEST_F(GainTapEngineTest, FaultsReachOnFaultOnceAndOverloadsOnlyCount) {
    using Kind = GainTapEngine::FaultKind;
    using Faults = std::vector<std::pair<Kind, std::string>>;
    Faults faults;
    const auto e = engine(1.0f, [&](Kind k, const std::string& m) { faults.emplace_back(k, m); });
    ASSERT_TRUE(e->start());
    hal->overload(e->aggregateID());
    hal->overload(e->aggregateID());
    e->listenerQueue()->sync([] {});
    EXPECT_EQ(e->overloadCount(), 2);
    EXPECT_TRUE(faults.empty());
    hal->removeDevice(speakers);
    hal->stopIOAbnormally(e->aggregateID());
    e->listenerQueue()->sync([] {});
    EXPECT_EQ(faults, (Faults{{Kind::outputGone, "The output device went away."}}));
    EXPECT_EQ(e->faultCount(), 2);
}

}  // namespace
}  // namespace sonvel
