#include <gtest/gtest.h>

#include <algorithm>
#include <numbers>
#include <thread>

#include "platform/sim/SpeakerAnalysis.hpp"
#include "support/PipeWireServer.hpp"

namespace sonvel::pwtest {
namespace {

using namespace std::chrono_literals;

constexpr double kHalfScaleDB = -6.0206;  // a sine of peak 0.5
constexpr double kSilentDB = -80.0;

class PipeWireHarnessTest : public testing::Test {
  protected:
    void SetUp() override {
        auto started = PipeWireServer::start();
        if (!started) GTEST_SKIP() << started.error();
        server = std::move(*started);
    }

    // All three sinks over the same half second, once `players` are linked.
    std::vector<SinkRecording> listen(
        const std::vector<std::pair<Player, std::string_view>>& players) {
        EXPECT_TRUE(server->waitFor([&](const Graph& graph) {
            return std::ranges::all_of(
                players, [&](const auto& p) { return graph.linked(nodeName(p.first), p.second); });
        })) << "the players were not linked to their sinks";
        auto recorder =
            Recorder::start({std::string(kSinkA), std::string(kSinkB), std::string(kSinkMono)});
        if (!recorder) {
            ADD_FAILURE() << recorder.error();
            return {};
        }
        std::this_thread::sleep_for(500ms);
        return (*recorder)->stop();
    }

    std::unique_ptr<PipeWireServer> server;
};

// A player of each kind at once, told apart by frequency: each is heard at
// its level on its own sink, nowhere else, and as a clean sine.
TEST_F(PipeWireHarnessTest, EachPlayerIsHeardAtItsLevelOnItsSinkOnly) {
    const Sound sounds[] = {
        {.player = Player::pwPlay, .frequency = 440},  // the default output
        {.player = Player::gst, .frequency = 660, .target = std::string(kSinkB)},
        {.player = Player::paplay,
         .frequency = 1000,
         .channels = 1,
         .target = std::string(kSinkMono)}};
    pid_t paplay = -1;
    for (const auto& sound : sounds) paplay = server->play(sound);
    const auto heard =
        listen({{Player::pwPlay, kSinkA}, {Player::gst, kSinkB}, {Player::paplay, kSinkMono}});
    ASSERT_EQ(heard.size(), 3u);
    ASSERT_EQ(heard[0].channels, 2u);
    ASSERT_EQ(heard[2].channels, 1u);
    for (std::size_t s = 0; s < 3; ++s) {
        const SinkRecording& r = heard[s];
        ASSERT_GT(r.seconds(), 0.3);
        for (std::size_t f = 0; f < 3; ++f) {
            for (std::size_t c = 0; c < r.channels; ++c) {
                const double level = toneDB(r, sounds[f].frequency, c);
                if (f == s) {
                    EXPECT_NEAR(level, kHalfScaleDB, 0.1) << r.sink << " channel " << c;
                } else {
                    EXPECT_LT(level, kSilentDB) << r.sink << " hears " << sounds[f].frequency;
                }
            }
        }
        // A buffer dropped or repeated steps further than the sine ever
        // moves between two samples.
        const double sineStep = 0.5 * 2 * std::numbers::pi * sounds[s].frequency / r.rate;
        const auto settled = std::span<const float>(r.samples).subspan(r.samples.size() / 4);
        EXPECT_LT(sim::SpeakerAnalysis::largestStep(settled, r.channels, 0), sineStep * 1.001)
            << r.sink;
    }
    // Tests stop players to stand for an application quitting: paplay goes
    // cleanly on SIGTERM, where pw-play's status says nothing either way.
    EXPECT_EQ(server->stopPlayer(paplay), 0);
}

// A restart drops every client, pipewire-pulse's too; the sinks, the default
// and pipewire-pulse come back and new clients are heard again.
TEST_F(PipeWireHarnessTest, AfterARestartTheSinksAndTheDefaultAreBack) {
    const pid_t before = server->play({.player = Player::paplay});
    ASSERT_TRUE(server->waitFor(
        [](const Graph& graph) { return graph.linked(nodeName(Player::paplay), kSinkA); }));

    const auto restarted = server->restart();
    ASSERT_TRUE(restarted) << restarted.error();
    EXPECT_EQ(server->stopPlayer(before), 1) << "paplay should leave when its server goes";
    const auto graph = server->graph();
    ASSERT_TRUE(graph) << graph.error();
    EXPECT_EQ(graph->defaultSink, kSinkA);
    EXPECT_TRUE(graph->node(kSinkB) && graph->node(kSinkMono));

    server->play({.player = Player::paplay});
    const auto heard = listen({{Player::paplay, kSinkA}});
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_NEAR(toneDB(heard[0], 440), kHalfScaleDB, 0.1);
}

}  // namespace
}  // namespace sonvel::pwtest
