#include <thread>
#include <tuple>

#include "ModelFixture.hpp"

namespace sonvel {
namespace {

using namespace sonvel::modeltest;

TEST_F(MixerModelTest, SlidersAreHeardAndSavedOnceAfterTheDragAndFullLevelDropsTheEngine) {
    startReady();
    int writes = store->writes;
    for (int i = 0; i < 10; ++i) {
        if (i > 0) main->advance(30ms);
        model->setPosition(0.1 * (i + 1) / 2, musicRow());
    }
    expectOneSaveAfterTheDebounce(writes);  // 500 ms after the last move, not the first
    EXPECT_NEAR(stored().apps.at("com.apple.Music").position, 0.5, 1e-9);
    EXPECT_NEAR(heard(440), halfSliderDB, 0.05);
    EXPECT_NEAR(heard(660), 0.0, 0.05);
    EXPECT_EQ(status("com.apple.Music"), GroupStatus{GroupStatus::Active{}});

    writes = store->writes;
    model->setPosition(1.0, musicRow());  // back to unchanged: entry gone, engine gone at once
    EXPECT_FALSE(model->preferences->apps.contains("com.apple.Music"));
    hostQueue->runUntilIdle();
    EXPECT_EQ(engineObjects(), 0u);
    expectOneSaveAfterTheDebounce(writes);
    EXPECT_FALSE(stored().apps.contains("com.apple.Music"));
}

TEST_F(MixerModelTest, AFailingEngineIsRetriedOnScheduleThenGivenUp) {
    const std::string tapFailed = "AudioHardwareCreateProcessTap failed: -50";
    hal->inject({.call = Call::createProcessTap, .status = -50, .persistent = true});
    startReady();
    std::vector<double> attempts;
    const auto t0 = main->now();
    hal->setCallHook([&](Call c) {
        if (c == Call::createProcessTap)
            attempts.push_back(std::chrono::duration<double>(main->now() - t0).count());
    });
    model->setPosition(0.5, musicRow());
    settle();
    EXPECT_EQ(status("com.apple.Music"), (GroupStatus{GroupStatus::Failed{tapFailed, true}}));
    run(30s);
    EXPECT_EQ(attempts, (std::vector<double>{0.0, 0.5, 1.5, 3.5, 8.5, 18.5}));
    EXPECT_EQ(status("com.apple.Music"), (GroupStatus{GroupStatus::Failed{tapFailed, false}}));
    EXPECT_EQ(model->failures().at("com.apple.Music").count, 6);
    EXPECT_EQ(log.messages("model").back(), "Engine com.apple.Music failed (6): " + tapFailed);
    // A command on the group starts over.
    model->setPosition(0.4, musicRow());
    settle();
    hal->setCallHook({});
    EXPECT_EQ(std::tuple(attempts.size(), model->failures().at("com.apple.Music").count),
              std::tuple(7u, 1));
}

// The model's state has no lock: a command from another thread is caught in
// a debug build, before it can race the main queue. Not under ThreadSanitizer,
// whose runtime cannot start the dying thread in a forked child.
TEST_F(MixerModelTest, ACommandOffTheMainQueueStopsADebugBuild) {
#if defined(NDEBUG) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "assertions are compiled out, or the fork is not supported";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    startReady();
    EXPECT_DEATH(std::thread([&] { model->setPosition(0.5, musicRow()); }).join(), "isCurrent");
#endif
}

// An engine deaf to its IO stopping would leave the row saying "controlled"
// while the application plays at full level: it must fail and be retried.
TEST_F(MixerModelTest, AnEngineThatCannotListenFailsAndIsRetried) {
    startReady();
    const auto fault =
        hal->inject({.call = Call::addPropertyListener, .status = -50, .persistent = true});
    model->toggleMute(musicRow());
    settle();
    const auto* failed = model->statuses->at("com.apple.Music").as<GroupStatus::Failed>();
    EXPECT_TRUE(failed && failed->message.starts_with("AudioObjectAddPropertyListenerBlock"))
        << (failed ? failed->message : "not failed");
    EXPECT_EQ(engineObjects(), 0u);
    hal->lift(fault);
    run(600ms);
    for (const auto& aggregate : hal->liveObjects().aggregates) hal->stopIOAbnormally(aggregate.id);
    run(3s);
    EXPECT_EQ(status("com.apple.Music"), GroupStatus{GroupStatus::Active{}});
    EXPECT_LT(heard(440), -100);
}

TEST_F(MixerModelTest, SleepRemovesEveryEngineAndWakeBringsThemBack) {
    startReady(0.5);
    EXPECT_EQ(hal->accounting().aggregates, 1u);
    workspace->willSleep();
    settle();
    EXPECT_EQ(engineObjects(), 0u);
    const GroupStatus::Unavailable paused{UnavailableReason::ControlsLocked{ControlGate::Paused{}}};
    EXPECT_EQ(status("com.apple.Music"), paused);
    EXPECT_EQ(status("com.example.podcasts"), paused);
    run(2s);  // ticks keep it that way
    EXPECT_EQ(hal->accounting().aggregates, 0u);
    workspace->didWake();
    settle();
    EXPECT_EQ(status("com.apple.Music"), GroupStatus{GroupStatus::Active{}});
    EXPECT_NEAR(heard(440), halfSliderDB, 0.05);
}

TEST_F(MixerModelTest, SilenceWatchdogRestoresEveryoneOnceAndDemandsANewCheck) {
    hal->setCapturePermission(false);  // withdrawn before anything was captured
    startReady(0.5, 0.7);
    EXPECT_LT(heard(440), -100);  // muted and re-rendered from silence
    run(3s);
    EXPECT_EQ(model->permission.get(), PermissionState{PermissionState::LikelyDenied{}});
    EXPECT_EQ(model->permissionMessage.get(),
              "Sonvel received only silence from com.apple.Music while it was playing, so it "
              "restored all apps to normal volume. Check the permission, then run the access "
              "check again.");
    EXPECT_EQ(engineObjects(), 0u);
    EXPECT_NEAR(heard(440), 0.0, 0.05);  // Podcasts, untapped, likewise
    EXPECT_EQ(std::tuple(stored().permissionVerifiedAt.has_value(),
                         stored().validation->invalidatedReason),
              std::tuple(false, "Sonvel stopped receiving audio from com.apple.Music."));
    EXPECT_EQ(std::ranges::count(log.messages("model"),
                                 "Silence watchdog tripped for com.apple.Music; locking controls"),
              1);
}

TEST_F(MixerModelTest, AccessCheckAndLiveTestEndToEnd) {
    Preferences levels;  // a level stored before the setup was ever done
    levels.set(AppPreference(0.5, false, "Podcasts"), "com.example.podcasts");
    store->values[MixerModel::preferencesKey] = PreferencesCodec::encode(levels);
    start();
    model->startPermissionCheck();
    run(1s);
    EXPECT_EQ(model->permission.get(), PermissionState{PermissionState::Verified{}});
    EXPECT_TRUE(stored().permissionVerifiedAt);
    EXPECT_EQ(model->gate(), ControlGate{ControlGate::NeedsLiveValidation{}});

    model->setPosition(0.5, musicRow());  // still locked: ignored
    model->startLiveTest("com.apple.Music");
    settle();
    ASSERT_TRUE(model->liveTest->is<LiveTestPhase::Running>());
    model->startLiveTest("com.apple.Music");  // one at a time
    run(11s);
    const auto* awaiting = model->liveTest->as<LiveTestPhase::AwaitingAnswer>();
    ASSERT_NE(awaiting, nullptr);
    ASSERT_EQ(awaiting->measurements.size(), 5u);
    EXPECT_EQ(awaiting->automaticFailure, std::nullopt);
    const double full = awaiting->measurements[0].outputRMSDBFS;
    EXPECT_NEAR(awaiting->measurements[1].outputRMSDBFS - full, -6.02, 0.1);
    EXPECT_NEAR(awaiting->measurements[2].outputRMSDBFS - full, halfSliderDB, 0.1);
    EXPECT_EQ(awaiting->measurements[3].outputRMSDBFS, -120.0);
    EXPECT_GT(awaiting->measurements[3].steadyFrames, 0u);

    // The answer opens the gate, and the stored level's engine starts in that
    // same reconcile, before any tick.
    EXPECT_EQ(engineObjects(), 0u);
    model->answerLiveTest(true);
    EXPECT_TRUE(model->gate().isReady());
    hostQueue->runUntilIdle();
    EXPECT_EQ(hal->accounting().aggregates, 1u);
    EXPECT_NEAR(heard(660), halfSliderDB, 0.05);
    const ValidationRecord saved = stored().validation.value();
    EXPECT_EQ(std::tuple(saved.outcome, saved.note, saved.measurements.size()),
              std::tuple(ValidationRecord::Outcome::passed, "User confirmed by ear.", 5u));
    EXPECT_TRUE(saved.measurements[3].starts_with("gain 0.00: in "));
    model->setPosition(0.5, musicRow());
    settle();
    EXPECT_NEAR(heard(440), halfSliderDB, 0.05);
}

TEST_F(MixerModelTest, AnAutomaticFailureStoresAFailedRecordEvenOnYes) {
    hal->inject({.call = Call::createAggregateDevice, .status = -50});
    startReady();
    model->startLiveTest("com.apple.Music");
    settle();
    const std::string failure = "The engine failed: AudioHardwareCreateAggregateDevice failed: -50";
    EXPECT_EQ(model->liveTest.get(), (LiveTestPhase::AwaitingAnswer{"Music", {}, failure}));
    model->answerLiveTest(true);
    EXPECT_EQ(stored().validation->outcome, ValidationRecord::Outcome::failed);
    EXPECT_EQ(stored().validation->note, failure);
    EXPECT_EQ(model->gate(), ControlGate{ControlGate::ValidationFailed{}});
}

TEST_F(MixerModelTest, CommandsChangeExactlyWhatTheySay) {
    workspace->soundSettingsMissing = "None here.";
    startReady();
    const AppGroupDescriptor row = musicRow();
    model->toggleMute(row);
    model->toggleMute(row);
    EXPECT_FALSE(model->preferences->apps.contains(row.key));  // back to unchanged

    const OutputContext usb{hal->addDevice({.uid = "usb", .name = "USB"}), "usb", "USB"};
    run(200ms);
    ASSERT_TRUE(model->routableOutputs(row.key));
    const int writes = store->writes;
    model->setRoute(usb, row);
    EXPECT_EQ(store->writes, writes + 1);  // a route is saved at once
    EXPECT_EQ(stored().apps.at(row.key).outputDeviceName, "USB");
    model->setRoute(std::nullopt, row);
    EXPECT_FALSE(stored().apps.contains(row.key));

    model->setPosition(0.5, row);  // a level for the reset to remove
    model->setPaused(true);
    model->setShowIdleApps(false);
    model->resetAllVolumes();
    const Preferences kept = stored();  // levels gone, every other setting kept
    EXPECT_EQ(std::tuple(kept.apps.empty(), kept.isPaused, kept.showIdleApps,
                         kept.permissionVerifiedAt.has_value(), kept.validation.has_value()),
              std::tuple(true, true, false, true, true));
    EXPECT_EQ(model->routableOutputs(row.key), std::nullopt);  // paused: no route menu

    model->resetSetup();
    EXPECT_EQ(std::tuple(model->gate(), stored().validation.has_value(), stored().isPaused),
              std::tuple(ControlGate{ControlGate::NeedsPermission{}}, false, true));

    // The desktop's own settings apps; a relaunch quits only back on the main queue.
    EXPECT_EQ(model->soundSettingsUnavailableReason(), "None here.");
    model->openSoundSettings();
    model->openPrivacySettings();
    EXPECT_EQ(workspace->opened, (std::vector<std::string>{"sound settings", "privacy settings"}));
    model->relaunch();
    EXPECT_FALSE(workspace->terminated);
    settle();
    EXPECT_TRUE(workspace->terminated);
}

TEST_F(MixerModelTest, ResetAudioHandsEveryEngineOverAndPeaksFollowThePanel) {
    hal->setPlaying(podcasts, false);  // Music alone, so the speaker's peak is Music's
    startReady(0.5);
    int statusChanges = 0;
    const auto counting = model->statuses.subscribe([&](const auto&) { ++statusChanges; });
    run(2s);
    EXPECT_EQ(statusChanges, 0);               // ticks republish nothing that did not change
    EXPECT_TRUE(model->outputPeaks->empty());  // the panel is closed

    model->panelDidAppear();
    run(600ms);
    ASSERT_EQ(model->outputPeaks->size(), 1u);
    EXPECT_NEAR(model->outputPeaks->at("com.apple.Music"), 0.25, 0.01);

    hal->clearSpeaker(speakers);
    model->resetSonvelAudio();
    run(300ms);
    EXPECT_TRUE(model->audioResetAt.get());
    EXPECT_EQ(hal->accounting().aggregates, 1u);
    EXPECT_EQ(log.messages("engine").back(), "Engine handed over for com.apple.Music");
    // No gap and nothing doubled while the engine was replaced.
    const auto s = hal->speaker(speakers);
    EXPECT_NEAR(toneDB(s, 440), halfSliderDB, 0.05);
    EXPECT_LE(analysis::peak(s, 2, 0), 0.2501);
}

// The paths that decide whether audio may be touched at all: the access
// check's outcomes, the live test's edges, and commands behind a closed gate.
using MixerModelSetupTest = MixerModelTest;

TEST_F(MixerModelSetupTest, AccessCheckOutcomes) {
    using Case = std::tuple<const char*, std::function<void()>, std::chrono::seconds,
                            PermissionState, std::optional<std::string>>;
    const Case cases[] = {
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
        // The restart's silence is no denial: the check starts over.
        {"the server restarts during the check",
         [this] { main->after(100ms, [this] { hal->restartServer(); }); }, 10s,
         PermissionState::Verified{}, std::nullopt},
    };
    for (const auto& [name, arrange, after, state, message] : cases) {
        SCOPED_TRACE(name);
        freshWorld();
        arrange();
        start();
        model->startPermissionCheck();
        if (after > 1min) {  // still listening for something to play, well before the minute
            run(5s);
            EXPECT_EQ(model->permission.get(), PermissionState{PermissionState::Probing{true}});
        }
        run(after);
        EXPECT_EQ(std::tuple(model->permission.get(), model->permissionMessage.get()),
                  std::tuple(state, message));
        EXPECT_EQ(engineObjects(), 0u);  // the probe is gone either way
    }
}

TEST_F(MixerModelSetupTest, LiveTestEdges) {
    startReady(1.0, 0.5);
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
        const auto before = std::tuple(model->preferences.get(), store->writes, std::size_t{0});
        model->setPosition(0.3, musicRow());
        model->toggleMute(musicRow());
        model->setRoute(OutputContext{speakers, "spk", "Speakers", std::nullopt}, musicRow());
        run(1s);
        // Nor any engine: no tap, so heard in full.
        EXPECT_EQ(std::tuple(model->preferences.get(), store->writes, engineObjects()), before)
            << paused;
    }
}

TEST_F(MixerModelSetupTest, ViewsUnsubscribeAndHearOfChangesOncePerTurn) {
    startReady();
    int rows = 0, changes = 0;
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
    EXPECT_EQ(std::pair(changes, rows), std::pair(1, rowsBefore));

    // Cancelled from inside a notification, a later observer is not called.
    Subscription second;
    int secondCalls = 0;
    auto first = model->preferences.subscribe([&](const auto&) { second.cancel(); });
    second = model->preferences.subscribe([&](const auto&) { ++secondCalls; });
    model->setPosition(0.4, musicRow());
    EXPECT_EQ(secondCalls, 0);
}

}  // namespace
}  // namespace sonvel
