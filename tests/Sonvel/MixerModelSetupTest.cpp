// The paths that decide whether audio may be touched at all: the access
// check's outcomes, the live test's edges, and commands behind a closed gate.

#include "ModelFixture.hpp"

namespace sonvel {
namespace {

using namespace sonvel::modeltest;

class MixerModelSetupTest : public MixerModelTest {};

TEST_F(MixerModelSetupTest, AccessCheckOutcomes) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::chrono::seconds after;
        PermissionState state;
        std::optional<std::string> message;
    };
    const std::vector<Case> cases = {
        {"nothing plays for a minute",
         [this] {
             hal->setPlaying(music, false);
             hal->setPlaying(podcasts, false);
         },
         61s, PermissionState::Unknown{},
         "Nothing played during the check. Start some audio, then check again."},
        {"others play but only zeros arrive", [this] { hal->setCapturePermission(false); }, 10s,
         PermissionState::LikelyDenied{},
         "Only silence was received while an app was playing. If nothing was actually audible, "
         "play something and check again."},
        {"the probe cannot start",
         [this] {
             hal->inject({.call = Call::createAggregateDevice, .status = -50, .persistent = true});
         },
         1s, PermissionState::Failed{"AudioHardwareCreateAggregateDevice failed: -50"},
         "The access check could not start: AudioHardwareCreateAggregateDevice failed: -50"},
        {"the probe fails to start once",
         [this] { hal->inject({.call = Call::createAggregateDevice, .status = -50}); }, 5s,
         PermissionState::Verified{}, std::nullopt},
    };
    for (const Case& c : cases) {
        freshWorld();
        c.arrange();
        start();
        model->startPermissionCheck();
        if (c.name == cases[0].name) {
            run(5s);
            EXPECT_EQ(model->permission.get(), PermissionState{PermissionState::Probing{true}});
        }
        run(c.after);
        EXPECT_EQ(model->permission.get(), c.state) << c.name;
        EXPECT_EQ(model->permissionMessage.get(), c.message) << c.name;
        EXPECT_EQ(engineObjects(), 0u) << c.name;  // the probe is gone either way
    }
}

TEST_F(MixerModelSetupTest, LiveTestEdges) {
    storeLevels(1.0, 0.5);
    start();
    ASSERT_NEAR(heard(660), halfSliderDB, 0.05);

    model->startLiveTest("com.example.nothing");  // not a candidate
    settle();
    EXPECT_TRUE(model->liveTest->is<LiveTestPhase::Idle>());

    model->startLiveTest("com.apple.Music");
    run(1s);
    ASSERT_TRUE(model->liveTest->is<LiveTestPhase::Running>());
    EXPECT_NEAR(heard(660), 0.0, 0.05);  // every engine steps aside during the test
    run(10s);
    ASSERT_TRUE(model->liveTest->is<LiveTestPhase::AwaitingAnswer>());
    EXPECT_NEAR(heard(660), halfSliderDB, 0.05);  // back before the answer

    // With no default output left, the record names none; audio measured in
    // the test proves access even though the answer is no.
    hal->removeDevice(speakers);
    run(200ms);
    ASSERT_FALSE(model->output.get());
    model->answerLiveTest(false);
    EXPECT_TRUE(model->captureProvenThisSession());
    EXPECT_EQ(stored().validation->outputDeviceName, "-");
    EXPECT_EQ(stored().validation->outcome, ValidationRecord::Outcome::failed);
    EXPECT_EQ(stored().validation->note, "User reported incorrect behaviour.");
}

// Behind a closed gate, whichever, a command changes no level, saves nothing
// and builds no engine: every application keeps its own volume.
TEST_F(MixerModelSetupTest, CommandsBehindAClosedGateChangeNothing) {
    for (const bool paused : {false, true}) {
        freshWorld();
        if (paused) storeValidSetup();
        start();
        if (paused) model->setPaused(true);
        EXPECT_EQ(model->gate(), paused ? ControlGate{ControlGate::Paused{}}
                                        : ControlGate{ControlGate::NeedsPermission{}});
        const Preferences before = model->preferences;
        const int writes = store->writes;
        model->setPosition(0.3, musicRow());
        model->toggleMute(musicRow());
        model->setRoute(OutputContext{speakers, "spk", "Speakers", std::nullopt}, musicRow());
        run(1s);
        EXPECT_EQ(model->preferences.get(), before) << paused;
        EXPECT_EQ(store->writes, writes) << paused;
        EXPECT_EQ(engineObjects(), 0u) << paused;
        EXPECT_NEAR(heard(440), 0.0, 0.05) << paused;
    }
}

TEST_F(MixerModelSetupTest, ResetsAndAReturnToFullLevelLeaveNoEngine) {
    storeValidSetup();
    start();
    model->resetSonvelAudio();  // nothing wanted: only a fresh look
    settle();
    EXPECT_TRUE(model->audioResetAt.get());
    EXPECT_EQ(engineObjects(), 0u);

    model->setPosition(0.5, musicRow());
    main->advance(100ms);
    settle();
    EXPECT_EQ(hal->accounting().aggregates, 1u);
    const int writes = store->writes;
    model->setPosition(1.0, musicRow());  // back to unchanged: entry gone, engine gone at once
    EXPECT_FALSE(model->preferences->apps.contains("com.apple.Music"));
    hostQueue->runUntilIdle();
    EXPECT_EQ(engineObjects(), 0u);
    main->advance(499ms);
    EXPECT_EQ(store->writes, writes);
    main->advance(2ms);
    EXPECT_EQ(store->writes, writes + 1);
    EXPECT_FALSE(stored().apps.contains("com.apple.Music"));
}

TEST_F(MixerModelSetupTest, ViewsUnsubscribeAndHearOfChangesOncePerTurn) {
    storeValidSetup();
    start();
    int rows = 0;
    int changes = 0;
    auto rowWatch = model->statuses.subscribe([&](const auto&) { ++rows; });
    {
        const auto changeWatch = model->subscribeToChanges([&] { ++changes; });
        model->setPosition(0.5, musicRow());  // preferences and statuses change
        model->toggleMute(musicRow());
        EXPECT_EQ(changes, 0);  // not before the main queue's next turn
        settle();
        EXPECT_EQ(changes, 1);
        EXPECT_GE(rows, 1);
    }
    rowWatch.cancel();
    const int rowsBefore = rows;
    model->toggleMute(musicRow());
    model->setPosition(0.2, musicRow());
    settle();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(rows, rowsBefore);

    // Cancelled from inside a notification, a later observer is not called.
    Subscription second;
    int secondCalls = 0;
    auto first = model->preferences.subscribe([&](const auto&) { second.cancel(); });
    second = model->preferences.subscribe([&](const auto&) { ++secondCalls; });
    model->setPosition(0.4, musicRow());
    EXPECT_EQ(secondCalls, 0);
    EXPECT_EQ(model->osBuild(), "24A335");
}

}  // namespace
}  // namespace sonvel
