// The timed commands in-process, on the default world with a stepped clock:
// what the speaker plays while they run, and what they leave behind.

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "platform/sim/SimulatedWorld.hpp"
#include "platform/sim/SpeakerAnalysis.hpp"
#include "sonvel-tap/ProcessMeter.hpp"
#include "sonvel-tap/RerenderRun.hpp"

namespace sonvel {
namespace {

using sim::SimulatedAudioSystem;

// Steps the simulator through each wait and measures Music's 440 Hz tone
// (peak 0.5) on the speaker over it; ends the run at wait `interruptAt`.
struct SpeakerPacer final : Pacer {
    SimulatedAudioSystem& audio;
    AudioObjectID speaker;
    int interruptAt = 0;
    std::vector<std::pair<double, double>> toneDB;  // (seconds, dBFS) per wait

    explicit SpeakerPacer(SimulatedAudioSystem& a, int interrupt = 0)
        : audio(a), speaker(a.defaultOutput()), interruptAt(interrupt) {}

    bool wait(double seconds) override {
        if (static_cast<int>(toneDB.size()) + 1 == interruptAt) return false;
        audio.clearSpeaker(speaker);
        audio.step(static_cast<int>(std::lround(seconds * 48000 / 512)));
        const auto samples = audio.speaker(speaker);
        toneDB.emplace_back(seconds, sim::SpeakerAnalysis::dB(sim::SpeakerAnalysis::toneAmplitude(
                                         samples, 2, 0, 440, 48000)));
        return true;
    }
};

class TapCommands : public ::testing::Test {
  protected:
    TapCommands() {
        const auto world = sim::SimulatedWorld::readFile(sim::SimulatedWorld::defaultWorldPath());
        EXPECT_TRUE(world && sim::SimulatedWorld::load(*audio, *world));
    }
    // Nothing a run made is left behind, whichever way it ended.
    bool released() const { return audio->accounting() == SimulatedAudioSystem::Accounting{}; }

    std::shared_ptr<SimulatedAudioSystem> audio = std::make_shared<SimulatedAudioSystem>();
    std::ostringstream out;
};

TEST_F(TapCommands, RerenderPlaysEachGainOnTheSpeaker) {
    SpeakerPacer pacer(*audio);
    const RerenderCommand command{
        .pid = 501, .gains = {1.0f, 0.5f, 0.25f, 0.0f}, .stepSeconds = 0.5};
    ASSERT_EQ(RerenderRun::run(audio, command, pacer, out), RunEnd::completed) << out.str();
    std::vector<double> measured;
    for (const auto& [seconds, dB] : pacer.toneDB)
        if (seconds > RerenderRun::settleSeconds) measured.push_back(dB);
    ASSERT_EQ(measured.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(measured[i], 20 * std::log10(0.5 * command.gains[i]), 0.1) << i;
    EXPECT_LT(measured[3], -60.0);
    EXPECT_TRUE(released());
}

// One world for every interruption: each run must leave it as it found it.
TEST_F(TapCommands, InterruptionReleasesEverything) {
    for (const int at : {1, 2, 3, 6}) {
        SpeakerPacer pacer(*audio, at), meterPacer(*audio, at);
        std::ostringstream said;
        EXPECT_EQ(RerenderRun::run(audio, {.pid = 501, .stepSeconds = 0.5}, pacer, said),
                  RunEnd::interrupted)
            << at;
        EXPECT_TRUE(released()) << at;
        EXPECT_NE(said.str().find("Interrupted; released"), std::string::npos) << said.str();
        EXPECT_EQ(ProcessMeter::run(audio, {.pid = 501, .seconds = 10}, meterPacer, out),
                  RunEnd::interrupted);
        EXPECT_TRUE(released()) << at;
    }
}

TEST_F(TapCommands, MeterLeavesTheApplicationAudible) {
    SpeakerPacer pacer(*audio);
    ASSERT_EQ(ProcessMeter::run(audio, {.pid = 501, .seconds = 3}, pacer, out), RunEnd::completed);
    ASSERT_EQ(pacer.toneDB.size(), 3u);
    for (const auto& [seconds, dB] : pacer.toneDB) EXPECT_NEAR(dB, 20 * std::log10(0.5), 0.1);
    EXPECT_TRUE(released());
}

}  // namespace
}  // namespace sonvel
