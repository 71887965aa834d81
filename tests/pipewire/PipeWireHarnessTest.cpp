#include <gtest/gtest.h>

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

    // All three sinks over the same half second, once `tones` are linked.
    std::vector<SinkRecording> listen(
        const std::vector<std::pair<std::string, std::string_view>>& tones) {
        EXPECT_TRUE(server->waitFor([&](const Graph& graph) {
            for (const auto& [tone, sink] : tones) {
                if (!graph.linked(tone, sink)) return false;
            }
            return true;
        })) << "the tones were not linked to their sinks";
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

// Two tones at once, told apart by frequency: each is heard at its level on
// its own sink and nowhere else.
TEST_F(PipeWireHarnessTest, EachToneIsHeardAtItsLevelOnItsSinkOnly) {
    const pid_t stereo = server->spawnTone(
        {.frequency = 440, .amplitude = 0.5, .channels = 2, .name = "tone-stereo"});
    server->spawnTone({.frequency = 1000,
                       .amplitude = 0.5,
                       .channels = 1,
                       .name = "tone-mono",
                       .target = std::string(kSinkMono)});
    const auto heard = listen({{"tone-stereo", kSinkA}, {"tone-mono", kSinkMono}});
    ASSERT_EQ(heard.size(), 3u);
    const SinkRecording& a = heard[0];
    const SinkRecording& b = heard[1];
    const SinkRecording& mono = heard[2];
    ASSERT_EQ(a.channels, 2u);
    ASSERT_EQ(mono.channels, 1u);
    ASSERT_GT(a.seconds(), 0.3);

    EXPECT_NEAR(toneDB(a, 440, 0), kHalfScaleDB, 0.1);
    EXPECT_NEAR(toneDB(a, 440, 1), kHalfScaleDB, 0.1);
    EXPECT_LT(toneDB(a, 1000), kSilentDB);
    EXPECT_NEAR(toneDB(mono, 1000), kHalfScaleDB, 0.1);
    EXPECT_LT(toneDB(mono, 440), kSilentDB);
    EXPECT_LT(toneDB(b, 440), kSilentDB);
    EXPECT_LT(toneDB(b, 1000), kSilentDB);

    // A phase that restarted with each buffer would step further than the
    // sine ever moves between two samples.
    const double sineStep = 0.5 * 2 * std::numbers::pi * 440 / a.rate;
    const auto settled = std::span<const float>(a.samples).subspan(a.samples.size() / 4);
    EXPECT_LT(sim::SpeakerAnalysis::largestStep(settled, a.channels, 0), sineStep * 1.001);
    // Tests stop tones to stand for an application quitting: it must go cleanly.
    EXPECT_EQ(server->stopTone(stereo), 0);
}

// A restart drops every client; the sinks and the default come back and new
// clients are heard again.
TEST_F(PipeWireHarnessTest, AfterARestartTheSinksAndTheDefaultAreBack) {
    const pid_t before = server->spawnTone({.name = "tone-before"});
    ASSERT_TRUE(
        server->waitFor([](const Graph& graph) { return graph.linked("tone-before", kSinkA); }));

    const auto restarted = server->restart();
    ASSERT_TRUE(restarted) << restarted.error();
    EXPECT_EQ(server->stopTone(before), 1) << "the tone should leave when its server goes";
    const auto graph = server->graph();
    ASSERT_TRUE(graph) << graph.error();
    EXPECT_EQ(graph->defaultSink, kSinkA);
    EXPECT_TRUE(graph->node(kSinkB) && graph->node(kSinkMono));

    server->spawnTone({.name = "tone-after"});
    const auto heard = listen({{"tone-after", kSinkA}});
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_NEAR(toneDB(heard[0], 440), kHalfScaleDB, 0.1);
}

}  // namespace
}  // namespace sonvel::pwtest
