#include <gtest/gtest.h>

#include "platform/sim/SimulatedAudioSystem.hpp"
#include "support/Tones.hpp"
#include "tap/PermissionProbe.hpp"

namespace sonvel {
namespace {

using sim::Signal;
using sim::SimulatedAudioSystem;
using Call = SimulatedAudioSystem::Call;

class PermissionProbeTest : public ::testing::Test {
  protected:
    PermissionProbeTest() {
        speakers = hal->addDevice({.uid = "spk", .name = "Speakers"});
        self = hal->addProcess({.pid = 4242, .signal = {Signal::Kind::sine, 880, 0.5}});
        music = hal->addProcess({.pid = 501, .signal = {Signal::Kind::sine, 440, 0.5}});
    }
    std::shared_ptr<SimulatedAudioSystem> hal = std::make_shared<SimulatedAudioSystem>();
    AudioObjectID speakers, self, music;
};

TEST_F(PermissionProbeTest, CountsOnlyWhatOthersPlayWhileCaptureIsAllowed) {
    auto made = PermissionProbe::make(hal, {self});
    ASSERT_TRUE(made) << made.error().description();
    const auto& probe = *made;
    hal->step(5);
    EXPECT_EQ(probe->nonZeroSamples(), 0u);  // nothing plays
    EXPECT_GE(probe->meter().totalCallbacks(), 5u);

    hal->setPlaying(self, true);  // excluded
    hal->step(5);
    EXPECT_EQ(probe->nonZeroSamples(), 0u);

    hal->setCapturePermission(false);
    hal->setPlaying(music, true);
    hal->step(5);
    EXPECT_EQ(probe->nonZeroSamples(), 0u);  // digital silence without permission

    hal->setCapturePermission(true);
    hal->clearSpeaker(speakers);
    hal->step(5);
    // 5 cycles of 512 stereo frames, less the sine's few exact zeros.
    EXPECT_GT(probe->nonZeroSamples(), 5000u);
    EXPECT_LE(probe->nonZeroSamples(), 5u * 1024);
    EXPECT_NEAR(testsupport::toneDB(hal->speaker(speakers), 440), -6.02, 0.05);
}

TEST_F(PermissionProbeTest, TearsDownInOrderOnceAndLeavesNothing) {
    auto probe = *PermissionProbe::make(hal, {self});
    std::vector<Call> calls;
    hal->setCallHook([&](Call c) { calls.push_back(c); });
    EXPECT_TRUE(probe->stop().empty());
    EXPECT_EQ(calls, (std::vector<Call>{Call::deviceStop, Call::destroyIOProcID,
                                        Call::destroyAggregateDevice, Call::destroyProcessTap}));
    calls.clear();
    EXPECT_TRUE(probe->stop().empty());
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(hal->accounting(), SimulatedAudioSystem::Accounting{});
}

TEST_F(PermissionProbeTest, FailuresReleaseWhatWasBuilt) {
    hal->setTapFormat({48000, fourCC("lpcm"), 12, 4, 1, 4, 2, 16, 0});
    EXPECT_EQ(PermissionProbe::make(hal, {}).error().description(),
              "Tap format is not Float32 linear PCM (flags=12, bits=16).");
    EXPECT_EQ(hal->accounting(), SimulatedAudioSystem::Accounting{});

    hal->setTapFormat({48000, fourCC("lpcm"), 9, 8, 1, 8, 2, 32, 0});
    hal->inject({.call = Call::deviceStart, .status = -50});
    EXPECT_EQ(PermissionProbe::make(hal, {}).error().description(),
              "AudioDeviceStart(probe) failed: -50");
    EXPECT_EQ(hal->accounting(), SimulatedAudioSystem::Accounting{});
}

}  // namespace
}  // namespace sonvel
