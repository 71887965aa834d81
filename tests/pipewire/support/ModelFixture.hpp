// The whole model, engine host and PipeWire backend on a private PipeWire
// server with WirePlumber, three null sinks and real playback programs,
// heard through the sinks' monitors.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "support/ModelSession.hpp"

namespace sonvel {

class PipeWireModelFixture : public ::testing::Test, protected ModelSession {
  protected:
    using Player = pwtest::Player;
    using Levels = std::map<std::string, std::map<double, double>>;  // sink, frequency: dB
    // Two applications told apart by frequency; a 10 ms window holds whole
    // periods of both, so neither leaks into the other's level.
    static constexpr double music = 400;
    static constexpr double podcasts = 1000;
    static constexpr double absent = -80;

    void SetUp() override {
        auto started = pwtest::PipeWireServer::start();
        if (!started) GTEST_SKIP() << started.error();
        server = std::move(*started);
    }
    void TearDown() override {
        stop();
        server.reset();
    }

    pid_t play(Player player, double frequency, int channels = 2, double amplitude = 1.0) {
        const pid_t pid = server->play({.player = player,
                                        .frequency = frequency,
                                        .amplitude = amplitude,
                                        .channels = channels});
        EXPECT_GT(pid, 0) << pwtest::nodeName(player);
        return pid;
    }

    void startSonvel(Preferences p, bool setUp = true) {
        auto started = start(std::move(p), setUp);
        ASSERT_TRUE(started) << started.error();
    }

    // The applications' levels on each sink, recorded over the same 0.5 s.
    Levels hear(std::vector<std::string> sinks = {pwtest::kSinkA, pwtest::kSinkB}) {
        auto recorder = pwtest::Recorder::start(sinks);
        EXPECT_TRUE(recorder) << (recorder ? "" : recorder.error() + server->exitedDaemons());
        if (!recorder) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        Levels levels;
        for (const auto& r : (*recorder)->stop()) {
            for (const double f : {music, podcasts}) levels[r.sink][f] = pwtest::heardDB(r, f);
        }
        return levels;
    }
    // Listens again until `frequency` is heard at `level` on `sink` (WirePlumber
    // moves streams on its own time) in two windows running, and reports the
    // second: the first can still hold a few milliseconds of the move, heard
    // as a faint tail on the sink the stream left.
    Levels settle(const std::string& sink, double frequency, double level) {
        Levels levels;
        for (int i = 0, atLevel = 0; i < 13 && atLevel < 2; ++i) {
            levels = sink == pwtest::kSinkA || sink == pwtest::kSinkB ? hear() : hear({sink});
            atLevel = std::abs(levels[sink][frequency] - level) < 0.1 ? atLevel + 1 : 0;
        }
        return levels;
    }
    std::unique_ptr<pwtest::PipeWireServer> server;
};

}  // namespace sonvel
