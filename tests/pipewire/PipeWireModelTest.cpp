// The whole model, engine host and PipeWire backend on a private PipeWire
// server with WirePlumber, three null sinks and tone-playing client
// processes, heard through the sinks' monitors.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "../support/RealTimeEnvironment.hpp"
#include "MixerEngine/ProcessInspector.hpp"
#include "Sonvel/MixerModel.hpp"
#include "core/PreferencesCodec.hpp"
#include "platform/pipewire/PipeWireAudioSystem.hpp"
#include "platform/pipewire/PipeWireSystemServices.hpp"
#include "platform/qt/QtPreferencesStore.hpp"
#include "support/AllocationCounter.hpp"
#include "support/PipeWireServer.hpp"
#include "tap/AudioSystem.hpp"
#include "tap/SerialQueue.hpp"

namespace sonvel {
namespace {

using namespace std::chrono_literals;
using pwtest::kSinkA;
using pwtest::kSinkB;

constexpr double music = 440;
constexpr double podcasts = 660;
constexpr double absent = -80;

class PipeWireModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto started = pwtest::PipeWireServer::start();
        if (!started) GTEST_SKIP() << started.error();
        server = std::move(*started);
    }
    void TearDown() override {
        stopSonvel();
        server.reset();
    }

    pid_t play(const std::string& binary, double frequency, int channels = 2,
               double amplitude = 1.0) {
        const pid_t pid = server->spawnTone({.frequency = frequency,
                                             .amplitude = amplitude,
                                             .channels = channels,
                                             .name = binary,
                                             .binary = binary});
        EXPECT_GT(pid, 0) << binary;
        return pid;
    }

    // Sonvel in this process, set up as on a machine where setup passed.
    void startSonvel(Preferences p, bool setUp = true) {
        auto connected = pw::PipeWireAudioSystem::connect();
        ASSERT_TRUE(connected) << connected.error();
        hal = *connected;
        const auto services = std::make_shared<pw::PipeWireSystemServices>(hal);
        if (setUp) {
            p.permissionVerifiedAt = std::chrono::system_clock::now();
            ValidationRecord record;
            record.outcome = ValidationRecord::Outcome::passed;
            record.osBuild = SystemInfo::osBuild(*services);
            record.engineRevision = 1;
            p.validation = record;
        }
        store->values[MixerModel::preferencesKey] = PreferencesCodec::encode(p);
        const auto env = testsupport::realTimeEnvironment(hal, services, main, store);
        main->sync([&] { model = MixerModel::make(env); });
    }
    void stopSonvel() {
        if (model) main->sync([&] { model->shutdown(); });
        main->sync([&] { model.reset(); });
        hal.reset();
    }

    template <class Done>
    bool within(std::chrono::milliseconds limit, Done done) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            bool ok = false;
            main->sync([&] { ok = done(); });
            if (ok) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    AppGroupDescriptor row(const std::string& key) {
        AppGroupDescriptor found{key, key};
        main->sync([&] {
            for (const auto& g : model->groups.get()) {
                if (g.key == key) found = {g.key, g.displayName, g.appPath, false, true, true};
            }
        });
        return found;
    }

    // The tones' levels on each sink, recorded over the same 0.4 s.
    std::map<std::string, std::map<double, double>> hear(std::vector<std::string> sinks = {
                                                             std::string(kSinkA),
                                                             std::string(kSinkB)}) {
        auto recorder = pwtest::Recorder::start(sinks);
        EXPECT_TRUE(recorder) << (recorder ? "" : recorder.error());
        if (!recorder) return {};
        std::this_thread::sleep_for(500ms);
        std::map<std::string, std::map<double, double>> levels;
        for (const auto& r : (*recorder)->stop()) {
            for (const double f : {music, podcasts}) levels[r.sink][f] = pwtest::toneDB(r, f);
        }
        return levels;
    }
    // Listens again until `frequency` is heard at `level` on `sink` (WirePlumber
    // moves streams on its own time), and reports the last levels heard.
    std::map<std::string, std::map<double, double>> settle(const std::string& sink,
                                                           double frequency, double level) {
        std::map<std::string, std::map<double, double>> levels;
        for (int i = 0; i < 12; ++i) {
            levels = sink == kSinkA || sink == kSinkB ? hear() : hear({sink});
            if (std::abs(levels[sink][frequency] - level) < 0.1) break;
        }
        return levels;
    }
    static void setDefaultSink(std::string_view sink) {
        const std::string command = fmt::format(
            "pw-metadata -n default 0 default.configured.audio.sink '{{\"name\":\"{}\"}}' "
            "Spa:String:JSON >/dev/null",
            sink);
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    std::unique_ptr<pwtest::PipeWireServer> server;
    std::shared_ptr<SerialQueue> main = SerialQueue::make("main");
    std::shared_ptr<testsupport::MemoryStore> store = std::make_shared<testsupport::MemoryStore>();
    std::shared_ptr<pw::PipeWireAudioSystem> hal;
    std::shared_ptr<MixerModel> model;
};

TEST_F(PipeWireModelTest, LevelMuteRouteAndDefaultOutputAreHeardOnTheSinks) {
    const std::string a(kSinkA), b(kSinkB);
    play("music", music);
    play("podcasts", podcasts);
    Preferences p;
    p.set(AppPreference(0.5, false, "music"), "music");
    startSonvel(p);

    auto heard = settle(a, music, -12.04);
    EXPECT_NEAR(heard[a][music], -12.04, 0.1) << "at 0.5, once";
    EXPECT_NEAR(heard[a][podcasts], 0.0, 0.1) << "another application is unchanged";
    EXPECT_LT(heard[b][music], absent);

    main->sync([&] { model->toggleMute(row("music")); });
    heard = settle(a, podcasts, 0.0);
    for (int i = 0; i < 10 && heard[a][music] > absent; ++i) heard = hear();
    EXPECT_LT(heard[a][music], absent) << "muted";
    EXPECT_NEAR(heard[a][podcasts], 0.0, 0.1);

    main->sync([&] {
        model->toggleMute(row("music"));
        for (const auto& output : model->outputs.get()) {
            if (output.uid == b) model->setRoute(output, row("music"));
        }
    });
    heard = settle(b, music, -12.04);
    EXPECT_NEAR(heard[b][music], -12.04, 0.1) << "routed to the second sink";
    EXPECT_LT(heard[a][music], absent) << "and heard there only";

    main->sync([&] { model->setRoute(std::nullopt, row("music")); });
    heard = settle(a, music, -12.04);
    ASSERT_NEAR(heard[a][music], -12.04, 0.1);
    setDefaultSink(b);
    heard = settle(b, music, -12.04);
    EXPECT_NEAR(heard[b][music], -12.04, 0.1) << "the tapped application follows the default";
    EXPECT_LT(heard[a][music], absent);
}

TEST_F(PipeWireModelTest, RespawnServerRestartAndQuitKeepEveryLevel) {
    const std::string a(kSinkA);
    pid_t tone = play("music", music);
    play("podcasts", podcasts);
    Preferences p;
    p.set(AppPreference(0.5, false, "music"), "music");
    startSonvel(p);
    ASSERT_NEAR(settle(a, music, -12.04)[a][music], -12.04, 0.1);

    server->stopTone(tone);
    tone = play("music", music);
    EXPECT_NEAR(settle(a, music, -12.04)[a][music], -12.04, 0.1) << "a new process, its level";

    // Tones leave with their connection; new ones stand for applications
    // that connect again.
    ASSERT_TRUE(server->restart());
    play("music", music);
    play("podcasts", podcasts);
    auto heard = settle(a, music, -12.04);
    EXPECT_NEAR(heard[a][music], -12.04, 0.1) << "rebuilt after the restart, heard once";
    EXPECT_NEAR(heard[a][podcasts], 0.0, 0.1);

    stopSonvel();
    EXPECT_NEAR(settle(a, music, 0.0)[a][music], 0.0, 0.1) << "given back at full level on quit";
}

// Nothing is touched before the two proofs, and both run on the real server:
// the probe hears the default output, and the live test's steps are heard at
// their gains through a real engine.
TEST_F(PipeWireModelTest, AccessCheckAndLiveTestRunOnTheServer) {
    play("music", music);
    startSonvel({}, false);
    main->sync([&] { model->startPermissionCheck(); });
    ASSERT_TRUE(within(5s, [&] { return model->permission->is<PermissionState::Verified>(); }))
        << model->permissionMessage.get().value_or("no message");

    main->sync([&] { model->startLiveTest("music"); });
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
    EXPECT_NEAR(settle(std::string(kSinkA), music, 0.0)[std::string(kSinkA)][music], 0.0, 0.1)
        << "every application back at its own level";
}

// The IO procedure runs on PipeWire's real-time thread, every cycle on the
// same thread, and nothing between two cycles allocates there: neither our
// cycle nor the server's own path to it.
TEST_F(PipeWireModelTest, TheIOCycleStaysOnOneThreadAndNeverAllocates) {
    play("music", music);
    ASSERT_TRUE(server->waitFor([](const auto& g) { return g.linked("music", kSinkA); }));
    auto connected = pw::PipeWireAudioSystem::connect();
    ASSERT_TRUE(connected) << connected.error();
    auto& audio = **connected;
    AudioObjectID process = 0;
    for (const auto& p :
         AudioSystem::processSnapshots(audio).value_or(std::vector<AudioProcessSnapshot>{})) {
        if (p.bundleID == "music") process = p.objectID;
    }
    ASSERT_NE(process, 0u);
    TapDescription tap{.processes = {process},
                       .uuid = "tap-uuid",
                       .name = "probe",
                       .muteBehavior = TapDescription::mutedWhenTapped};
    AudioObjectID tapID = 0, aggregate = 0;
    ASSERT_EQ(audio.createProcessTap(tap, tapID), 0);
    ASSERT_EQ(
        audio.createAggregateDevice(
            {{"uid", "agg"}, {"master", std::string(kSinkA)}, {"taps", {{{"uid", "tap-uuid"}}}}},
            aggregate),
        0);
    struct Seen {
        std::atomic<std::uint64_t> cycles{0}, allocations{0}, threads{0};
        std::atomic<pthread_t> thread{};
    };
    auto seen = std::make_shared<Seen>();
    AudioDeviceIOProcID proc = 0;
    ASSERT_EQ(audio.createIOProcIDWithBlock(
                  aggregate, nullptr,
                  [seen](const AudioBufferList* in, const AudioBufferList& out) {
                      static thread_local std::optional<testing::AllocationCounter> counter;
                      if (!counter) counter.emplace();
                      seen->allocations = counter->count();
                      if (seen->thread.exchange(pthread_self()) != pthread_self()) ++seen->threads;
                      if (in && !out.buffers.empty()) ++seen->cycles;
                  },
                  proc),
              0);
    ASSERT_EQ(audio.deviceStart(aggregate, proc), 0);
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(audio.deviceStop(aggregate, proc), 0);
    EXPECT_GT(seen->cycles.load(), 20u);
    EXPECT_EQ(seen->threads.load(), 1u);
    EXPECT_EQ(seen->allocations.load(), 0u);
}

// Mono and 5.1 applications, and a mono output: the server's adapters convert
// to and from our stereo capture, and the level is the one asked for relative
// to what the application sounds like without Sonvel.
TEST_F(PipeWireModelTest, OtherChannelLayoutsKeepTheirLevel) {
    struct Case {
        int channels;
        std::string_view sink;
    };
    for (const Case c : {Case{1, kSinkA}, Case{6, kSinkA}, Case{2, pwtest::kSinkMono},
                         Case{6, pwtest::kSinkMono}}) {
        const std::string sink(c.sink);
        setDefaultSink(sink);
        // Quiet enough that no downmix clips.
        const pid_t tone = play("music", music, c.channels, 0.25);
        auto heard = hear({sink});
        for (int i = 0; i < 10 && heard[sink][music] < absent; ++i) heard = hear({sink});
        const double direct = heard[sink][music];
        Preferences p;
        p.set(AppPreference(0.5, false, "music"), "music");
        startSonvel(p);
        heard = settle(sink, music, direct - 12.04);
        EXPECT_NEAR(heard[sink][music] - direct, -12.04, 0.1)
            << c.channels << " channels on " << sink << ", " << direct << " dB without Sonvel";
        stopSonvel();
        server->stopTone(tone);
    }
}

#ifdef SONVEL_BINARY
// The `sonvel` program itself, driven by sonvelctl, quit the friendly way and
// killed.
TEST_F(PipeWireModelTest, SonvelQuitOrKilledLeavesNoApplicationSilent) {
    const std::string a(kSinkA);
    play("music", music);
    const auto config = server->directory() / "sonvel-config";
    startSonvel({});  // only to write a set-up machine's preferences
    stopSonvel();
    QtPreferencesStore((config / "velmorra/app.velmorra.sonvel.conf").string())
        .setData(MixerModel::preferencesKey, store->values[MixerModel::preferencesKey]);

    const auto launch = [&] {
        const pid_t pid = ::fork();
        if (pid == 0) {
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
    const auto sonvelTargets = [] {
        const int found = std::system("pw-metadata -n default | grep -q \"value:'sonvel\\.\"");
        return WIFEXITED(found) && WEXITSTATUS(found) == 0;
    };

    pid_t sonvel = launch();
    // Scripts reach it over the (private) session bus; until it has
    // registered and seen the application, sonvelctl says so and fails.
    const auto sonvelctl = [](const std::string& arguments) {
        const int status =
            std::system((SONVELCTL_BINARY " " + arguments + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    for (int i = 0; i < 100 && sonvelctl("set music 50%") != 0; ++i)
        std::this_thread::sleep_for(50ms);
    ASSERT_EQ(sonvelctl("set music 50%"), 0);
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
}
#endif

}  // namespace
}  // namespace sonvel
