// The model, engine host and PipeWire backend on a private server (see
// support/ModelFixture.hpp).

#include <gmock/gmock.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "MixerEngine/ProcessInspector.hpp"
#include "platform/qt/QtPreferencesStore.hpp"
#include "support/ModelFixture.hpp"

namespace sonvel {
namespace {

using namespace std::chrono_literals;
const std::string& a = pwtest::kSinkA;
const std::string& b = pwtest::kSinkB;

// music is pw-play's application, podcasts paplay's.
using PipeWireModelTest = PipeWireModelFixture;
constexpr pwtest::Player musicPlayer = pwtest::Player::pwPlay;
constexpr pwtest::Player podcastsPlayer = pwtest::Player::paplay;
const std::string musicKey = rowKey(musicPlayer);

TEST_F(PipeWireModelTest, LevelMuteRouteAndDefaultOutputAreHeardOnTheSinks) {
    play(musicPlayer, music);
    play(podcastsPlayer, podcasts);
    startSonvel(atHalf(musicKey));

    auto heard = settle(a, music, -12.04);
    EXPECT_NEAR(heard[a][music], -12.04, 0.1) << "at 0.5, once";
    EXPECT_NEAR(heard[a][podcasts], 0.0, 0.1) << "another application is unchanged";
    EXPECT_LT(heard[b][music], absent);

    main->sync([&] { model->toggleMute(row(musicKey)); });
    heard = settle(a, podcasts, 0.0);
    for (int i = 0; i < 10 && heard[a][music] > absent; ++i) heard = hear();
    EXPECT_LT(heard[a][music], absent) << "muted";
    EXPECT_NEAR(heard[a][podcasts], 0.0, 0.1);

    main->sync([&] { model->toggleMute(row(musicKey)); });
    route(b, musicKey);
    heard = settle(b, music, -12.04);
    EXPECT_NEAR(heard[b][music], -12.04, 0.1) << "routed to the second sink";
    EXPECT_LT(heard[a][music], absent) << "and heard there only";

    route(std::nullopt, musicKey);
    heard = settle(a, music, -12.04);
    ASSERT_NEAR(heard[a][music], -12.04, 0.1);
    // Followed even when the server no longer tells anyone of the change.
    ASSERT_TRUE(server->strandMetadataBinding());
    ASSERT_TRUE(server->setDefaultSink(b));
    heard = settle(b, music, -12.04);
    EXPECT_NEAR(heard[b][music], -12.04, 0.1) << "the tapped application follows the default";
    EXPECT_LT(heard[a][music], absent);
}

// A stream Sonvel holds that the user moves with a PulseAudio mixer plays at
// its own level where they sent it, its row says why the level is not heard,
// and moved back to the default output it is at its level again.
TEST_F(PipeWireModelTest, AStreamTheUserMovesWithPactlPlaysWhereTheySentIt) {
    const std::string key = rowKey(podcastsPlayer);
    play(podcastsPlayer, podcasts);
    startSonvel(atHalf(key));
    ASSERT_NEAR(settle(a, podcasts, -12.04)[a][podcasts], -12.04, 0.1);
    std::string index;
    if (FILE* list = ::popen("pactl -f json list sink-inputs", "r")) {
        std::string text;
        for (int c; (c = std::fgetc(list)) != EOF;) text += char(c);
        ::pclose(list);
        for (const auto& input : nlohmann::json::parse(text, nullptr, false)) {
            if (input.value("/properties/application.name"_json_pointer, "") == "paplay") {
                index = std::to_string(input.value("index", -1));
            }
        }
    }
    const auto graph = server->graph();
    ASSERT_TRUE(!index.empty() && graph && graph->node("paplay") && graph->node(b));
    // pipewire-pulse 0.3.65 loses some moves, with Sonvel or without (5 of 30
    // on a bare server): as a user would, move again until the server has it.
    const std::string onB = "pw-metadata -n default " + std::to_string(graph->node("paplay")->id) +
                            " | grep -q \"target.object' value:'" +
                            std::to_string(graph->node(b)->id) + "'\"";
    const auto move = [&](const std::string& sink) {
        for (int i = 0; i < 25; ++i) {
            if (i % 5 == 0)
                (void)std::system(("pactl move-sink-input " + index + " " + sink).c_str());
            std::this_thread::sleep_for(100ms);
            if ((std::system(onB.c_str()) == 0) == (sink == b)) return true;
        }
        return false;
    };

    ASSERT_TRUE(move(b));
    auto heard = settle(b, podcasts, 0.0);
    EXPECT_NEAR(heard[b][podcasts], 0.0, 0.1) << "at its own level where the user sent it";
    EXPECT_LT(heard[a][podcasts], absent);
    EXPECT_TRUE(within(2s, [&] {
        const auto status = model->statuses.get().find(key);
        const auto* unavailable = status == model->statuses.get().end()
                                      ? nullptr
                                      : status->second.as<GroupStatus::Unavailable>();
        return unavailable && unavailable->reason.is<UnavailableReason::PlaysToOtherDevice>();
    })) << "the row says it plays elsewhere";

    ASSERT_TRUE(move(a));
    EXPECT_NEAR(settle(a, podcasts, -12.04)[a][podcasts], -12.04, 0.1) << "its level again";
}

TEST_F(PipeWireModelTest, RespawnServerRestartAndQuitKeepEveryLevel) {
    const pid_t first = play(musicPlayer, music);
    play(podcastsPlayer, podcasts);
    startSonvel(atHalf(musicKey));
    ASSERT_NEAR(settle(a, music, -12.04)[a][music], -12.04, 0.1);

    server->stopPlayer(first);
    play(musicPlayer, music);
    EXPECT_NEAR(settle(a, music, -12.04)[a][music], -12.04, 0.1) << "a new process, its level";

    // Players leave with their connection; new ones stand for applications
    // that connect again.
    ASSERT_TRUE(server->restart());
    play(musicPlayer, music);
    play(podcastsPlayer, podcasts);
    auto heard = settle(a, music, -12.04);
    EXPECT_NEAR(heard[a][music], -12.04, 0.1) << "rebuilt after the restart, heard once";
    EXPECT_NEAR(heard[a][podcasts], 0.0, 0.1);

    stop();
    EXPECT_NEAR(settle(a, music, 0.0)[a][music], 0.0, 0.1) << "given back at full level on quit";
}

// Nothing is touched before the two proofs, and both run on the real server:
// the probe hears the default output, and the live test's steps are heard at
// their gains through a real engine.
TEST_F(PipeWireModelTest, AccessCheckAndLiveTestRunOnTheServer) {
    play(musicPlayer, music);
    startSonvel({}, false);
    // What the live test proves is the audio path, so that is the build.
    main->sync([&] {
        EXPECT_THAT(model->osBuild(),
                    ::testing::MatchesRegex("PipeWire [0-9.]+, WirePlumber [0-9]+\\.[0-9.]+"));
    });
    main->sync([&] { model->startPermissionCheck(); });
    ASSERT_TRUE(within(5s, [&] { return model->permission->is<PermissionState::Verified>(); }))
        << model->permissionMessage.get().value_or("no message");

    main->sync([&] { model->startLiveTest(musicKey); });
    ASSERT_TRUE(within(20s, [&] { return model->liveTest->is<LiveTestPhase::AwaitingAnswer>(); }));
    main->sync([&] {
        const auto& answer = *model->liveTest->as<LiveTestPhase::AwaitingAnswer>();
        EXPECT_FALSE(answer.automaticFailure) << *answer.automaticFailure;
        std::vector<double> relative;
        for (const auto& m : answer.measurements) {
            relative.push_back(m.gain > 0 ? m.outputRMSDBFS - m.inputRMSDBFS : m.outputRMSDBFS);
        }
        EXPECT_THAT(relative, ::testing::ElementsAre(
                                  ::testing::DoubleNear(0, 0.1), ::testing::DoubleNear(-6.02, 0.1),
                                  ::testing::DoubleNear(-12.04, 0.1), ::testing::Le(-120.0),
                                  ::testing::DoubleNear(0, 0.1)));
        model->answerLiveTest(true);
    });
    EXPECT_NEAR(settle(a, music, 0.0)[a][music], 0.0, 0.1)
        << "every application back at its own level";
}

// Mono and 5.1 applications, and a mono output: the server's adapters convert
// to and from our stereo capture, and the level is the one asked for relative
// to what the application sounds like without Sonvel.
TEST_F(PipeWireModelTest, OtherChannelLayoutsKeepTheirLevel) {
    for (const auto& [channels, sink] :
         {std::pair{1, a}, {6, a}, {2, pwtest::kSinkMono}, {6, pwtest::kSinkMono}}) {
        ASSERT_TRUE(server->setDefaultSink(sink));
        // Quiet enough that no downmix clips.
        const pid_t player = play(musicPlayer, music, channels, 0.25);
        // Until the stream is heard at all.
        for (int i = 0; i < 11 && hear({sink})[sink][music] < absent; ++i) continue;
        // The first recording that hears it may hold the stream's fade-in.
        const double direct = hear({sink})[sink][music];
        startSonvel(atHalf(musicKey));
        EXPECT_NEAR(settle(sink, music, direct - 12.04)[sink][music] - direct, -12.04, 0.1)
            << channels << " channels on " << sink << ", " << direct << " dB without Sonvel";
        stop();
        server->stopPlayer(player);
    }
}

// A stream's own application.icon_name, from a real pw-play, through the
// backend's system services as the panel asks for it.
TEST_F(PipeWireModelTest, AStreamsIconNameReachesThePanelThroughItsApplicationsPath) {
    auto audio =
        pw::PipeWireAudioSystem::connect({.routingJournal = server->directory() / "journal.json"});
    ASSERT_TRUE(audio) << audio.error();
    const pw::PipeWireSystemServices system(*audio);
    const pid_t hinted = server->play({.player = pwtest::Player::pwPlay,
                                       .properties = "{ application.icon_name = sonvel-test }"});
    const pid_t plain = play(Player::paplay, music);
    ASSERT_GT(hinted, 0);
    std::optional<SystemServices::RunningApplication> app, other;
    for (int i = 0; i < 50 && !(app && app->bundlePath && other); ++i) {
        std::this_thread::sleep_for(100ms);
        app = system.runningApplication(hinted);
        other = system.runningApplication(plain);
    }
    ASSERT_TRUE(app && app->bundlePath) << "pw-play has no path to its icon";
    EXPECT_EQ(system.iconName(*app->bundlePath), "sonvel-test");
    // paplay names no icon and has no desktop entry here.
    ASSERT_TRUE(other);
    EXPECT_EQ(other->bundlePath, std::nullopt);
    EXPECT_EQ(system.iconName("/proc/" + std::to_string(plain)), std::nullopt);
}

#ifdef SONVEL_BINARY
// The `sonvel` program itself, driven by sonvelctl, quit the friendly way and
// killed.
TEST_F(PipeWireModelTest, SonvelQuitOrKilledLeavesNoApplicationSilent) {
    play(musicPlayer, music);
    const auto config = server->directory() / "sonvel-config";
    startSonvel({});  // only to write a set-up machine's preferences
    stop();
    QtPreferencesStore((config / "velmorra/app.velmorra.sonvel.conf").string())
        .setData(MixerModel::preferencesKey, store->values[MixerModel::preferencesKey]);

    const auto launch = [&] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a failed assertion leaves none behind
            ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            // Under AddressSanitizer, Qt's and fontconfig's allocations kept
            // until exit would turn a clean quit into a leak report's status.
            ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
            ::execl(SONVEL_BINARY, SONVEL_BINARY, "--backend", "pipewire", nullptr);
            ::_exit(127);
        }
        return pid;
    };
    const auto shell = [](const std::string& command) {
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const auto sonvelTargets = [&] {
        return shell("pw-metadata -n default | grep -q \"value:'sonvel\\.\"") == 0;
    };

    // The user chose speakers A for music themselves: that survives a crash.
    const auto graph = server->graph();
    ASSERT_TRUE(graph && graph->node("pw-play"));
    const std::string chosen =
        "pw-metadata -n default " + std::to_string(graph->node("pw-play")->id);
    ASSERT_EQ(shell(chosen + " target.object " + a + " Spa:String >/dev/null"), 0);

    pid_t sonvel = launch();
    // Scripts reach it over the (private) session bus; until it has
    // registered and seen the application, sonvelctl says so and fails.
    const std::string set = SONVELCTL_BINARY " set " + musicKey + " 50% >/dev/null 2>&1";
    for (int i = 0; i < 100 && shell(set) != 0; ++i) std::this_thread::sleep_for(50ms);
    ASSERT_EQ(shell(set), 0);
    ASSERT_NEAR(settle(a, music, -12.04)[a][music], -12.04, 0.1);
    ::kill(sonvel, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(sonvel, &status, 0), sonvel);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NEAR(hear()[a][music], 0.0, 0.1) << "quit gives the application back at once";
    EXPECT_FALSE(sonvelTargets());

    sonvel = launch();  // with music's level saved
    ASSERT_NEAR(settle(a, music, -12.04)[a][music], -12.04, 0.1);
    ::kill(sonvel, SIGKILL);
    ::waitpid(sonvel, &status, 0);
    std::this_thread::sleep_for(1s);
    EXPECT_NEAR(hear()[a][music], 0.0, 0.1) << "heard again within a second of the kill";
    // The stream's metadata still names the dead tap until a Sonvel starts.
    EXPECT_TRUE(sonvelTargets());
    ASSERT_TRUE(pw::PipeWireAudioSystem::connect());
    EXPECT_FALSE(sonvelTargets());
    EXPECT_EQ(shell(chosen + " | grep -q \"target.object' value:'" + a + "'\""), 0)
        << "the user's own target is put back, not deleted";
}
#endif

}  // namespace
}  // namespace sonvel
