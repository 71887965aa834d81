#include <thread>

#include "ModelFixture.hpp"

namespace sonvel {
namespace {

using namespace sonvel::modeltest;

TEST_F(MixerModelTest, SlidersAreHeardAndSavedOnceAfterTheDrag) {
    storeValidSetup();
    start();
    ASSERT_TRUE(model->gate().isReady());
    const int before = store->writes;
    for (int i = 0; i < 10; ++i) {
        model->setPosition(0.1 * (i + 1) / 2, musicRow());
        main->advance(30ms);
    }
    settle();
    EXPECT_EQ(store->writes, before);
    main->advance(499ms - 30ms);
    EXPECT_EQ(store->writes, before);
    main->advance(2ms);
    EXPECT_EQ(store->writes, before + 1);
    EXPECT_NEAR(stored().apps.at("com.apple.Music").position, 0.5, 1e-9);
    EXPECT_NEAR(heard(440), halfSliderDB, 0.05);
    EXPECT_NEAR(heard(660), 0.0, 0.05);
    EXPECT_EQ(status("com.apple.Music"), GroupStatus{GroupStatus::Active{}});
}

TEST_F(MixerModelTest, AFailingEngineIsRetriedOnScheduleThenGivenUp) {
    const std::string tapFailed = "AudioHardwareCreateProcessTap failed: -50";
    storeValidSetup();
    hal->inject({.call = Call::createProcessTap, .status = -50, .persistent = true});
    std::vector<double> attempts;
    start();
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
    EXPECT_EQ(attempts.size(), 7u);
    hal->setCallHook({});
    EXPECT_EQ(model->failures().at("com.apple.Music").count, 1);
}

// The model's state has no lock: a command from another thread is caught in
// a debug build, before it can race the main queue. Not under ThreadSanitizer,
// whose runtime cannot start the dying thread in a forked child.
TEST_F(MixerModelTest, ACommandOffTheMainQueueStopsADebugBuild) {
#if defined(NDEBUG) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "assertions are compiled out, or the fork is not supported";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    storeValidSetup();
    start();
    EXPECT_DEATH(std::thread([&] { model->setPosition(0.5, musicRow()); }).join(), "isCurrent");
#endif
}

// An engine deaf to its IO stopping would leave the row saying "controlled"
// while the application plays at full level: it must fail and be retried.
TEST_F(MixerModelTest, AnEngineThatCannotListenFailsAndIsRetried) {
    storeValidSetup();
    start();
    const auto fault =
        hal->inject({.call = Call::addPropertyListener, .status = -50, .persistent = true});
    model->toggleMute(musicRow());
    settle();
    const GroupStatus row = status("com.apple.Music");
    const auto* failed = row.as<GroupStatus::Failed>();
    ASSERT_TRUE(failed);
    EXPECT_TRUE(failed->message.starts_with("AudioObjectAddPropertyListenerBlock"))
        << failed->message;
    EXPECT_EQ(engineObjects(), 0u);
    hal->lift(fault);
    run(600ms);
    for (const auto& aggregate : hal->liveObjects().aggregates) hal->stopIOAbnormally(aggregate.id);
    run(3s);
    EXPECT_EQ(status("com.apple.Music"), GroupStatus{GroupStatus::Active{}});
    EXPECT_LT(heard(440), -100);
}

TEST_F(MixerModelTest, ARestartClearsFailuresAndRebuildsWithoutDestroyingVanishedObjects) {
    storeLevels(0.5, 0.5);
    hal->inject({.call = Call::createProcessTap, .status = -50});  // Music's first attempt only
    start();
    ASSERT_TRUE(model->failures().contains("com.apple.Music"));
    EXPECT_EQ(hal->accounting().aggregates, 1u);
    std::vector<Call> calls;
    hal->setCallHook([&](Call c) { calls.push_back(c); });
    hal->restartServer();
    run(300ms);
    EXPECT_TRUE(model->failures().empty());
    EXPECT_EQ(std::ranges::count(calls, Call::destroyAggregateDevice), 0);
    EXPECT_EQ(std::ranges::count(calls, Call::destroyProcessTap), 0);
    hal->setCallHook({});
    EXPECT_EQ(hal->accounting().aggregates, 2u);
    EXPECT_NEAR(heard(440), halfSliderDB, 0.05);
    EXPECT_NEAR(heard(660), halfSliderDB, 0.05);
}

TEST_F(MixerModelTest, SleepRemovesEveryEngineAndWakeBringsThemBack) {
    storeLevels(0.5);
    start();
    EXPECT_EQ(hal->accounting().aggregates, 1u);
    workspace->willSleep();
    settle();
    EXPECT_EQ(engineObjects(), 0u);
    const GroupStatus paused =
        GroupStatus::Unavailable{UnavailableReason::ControlsLocked{ControlGate::Paused{}}};
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
    storeLevels(0.5, 0.7);
    hal->setCapturePermission(false);  // withdrawn before anything was captured
    start();
    EXPECT_LT(heard(440), -100);  // muted and re-rendered from silence
    run(3s);
    EXPECT_EQ(model->permission.get(), PermissionState{PermissionState::LikelyDenied{}});
    EXPECT_EQ(model->permissionMessage.get(),
              "Sonvel received only silence from com.apple.Music while it was playing, so it "
              "restored all apps to normal volume. Check the permission, then run the access "
              "check again.");
    EXPECT_EQ(engineObjects(), 0u);
    EXPECT_NEAR(heard(440), 0.0, 0.05);
    EXPECT_NEAR(heard(660), 0.0, 0.05);
    const Preferences saved = stored();
    EXPECT_FALSE(saved.permissionVerifiedAt);
    EXPECT_EQ(saved.validation->invalidatedReason,
              "Sonvel stopped receiving audio from com.apple.Music.");
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
    const Preferences saved = stored();
    ASSERT_TRUE(saved.validation);
    EXPECT_EQ(saved.validation->outcome, ValidationRecord::Outcome::passed);
    EXPECT_EQ(saved.validation->note, "User confirmed by ear.");
    EXPECT_EQ(saved.validation->measurements.size(), 5u);
    EXPECT_TRUE(saved.validation->measurements[3].starts_with("gain 0.00: in "));
    model->setPosition(0.5, musicRow());
    settle();
    EXPECT_NEAR(heard(440), halfSliderDB, 0.05);
}

TEST_F(MixerModelTest, AnAutomaticFailureStoresAFailedRecordEvenOnYes) {
    Preferences p;
    p.permissionVerifiedAt =
        std::chrono::system_clock::time_point{std::chrono::seconds{1'700'000'000}};
    store->values[MixerModel::preferencesKey] = PreferencesCodec::encode(p);
    hal->inject({.call = Call::createAggregateDevice, .status = -50});
    start();
    model->startLiveTest("com.apple.Music");
    settle();
    const auto* awaiting = model->liveTest->as<LiveTestPhase::AwaitingAnswer>();
    ASSERT_NE(awaiting, nullptr);
    EXPECT_EQ(awaiting->automaticFailure,
              "The engine failed: AudioHardwareCreateAggregateDevice failed: -50");
    model->answerLiveTest(true);
    EXPECT_EQ(stored().validation->outcome, ValidationRecord::Outcome::failed);
    EXPECT_EQ(stored().validation->note,
              "The engine failed: AudioHardwareCreateAggregateDevice failed: -50");
    EXPECT_EQ(model->gate(), ControlGate{ControlGate::ValidationFailed{}});
}

TEST_F(MixerModelTest, CommandsChangeExactlyWhatTheySay) {
    storeValidSetup();
    start();
    const AppGroupDescriptor row = musicRow();
    model->toggleMute(row);
    model->toggleMute(row);
    EXPECT_FALSE(model->preferences->apps.contains(row.key));  // back to unchanged

    const OutputContext usb{hal->addDevice({.uid = "usb", .name = "USB"}), "usb", "USB",
                            std::nullopt};
    run(200ms);
    ASSERT_TRUE(model->routableOutputs(row.key));
    const int writes = store->writes;
    model->setRoute(usb, row);
    EXPECT_EQ(store->writes, writes + 1);  // a route is saved at once
    EXPECT_EQ(stored().apps.at(row.key).outputDeviceName, "USB");
    model->setRoute(std::nullopt, row);
    EXPECT_FALSE(stored().apps.contains(row.key));

    model->setPosition(1.7, row);
    EXPECT_FALSE(model->preferences->apps.contains(row.key));
    model->setPosition(-0.2, row);
    EXPECT_EQ(model->preferences->apps.at(row.key).position, 0.0);

    model->setPaused(true);
    model->setShowIdleApps(false);
    model->resetAllVolumes();
    const Preferences kept = stored();
    EXPECT_TRUE(kept.apps.empty());
    EXPECT_TRUE(kept.isPaused);
    EXPECT_FALSE(kept.showIdleApps);
    EXPECT_TRUE(kept.permissionVerifiedAt);
    EXPECT_TRUE(kept.validation);
    EXPECT_EQ(model->routableOutputs(row.key), std::nullopt);  // paused: no route menu

    model->resetSetup();
    EXPECT_EQ(model->gate(), ControlGate{ControlGate::NeedsPermission{}});
    EXPECT_FALSE(stored().validation);
    EXPECT_TRUE(stored().isPaused);
}

TEST_F(MixerModelTest, ResetAudioHandsEveryEngineOverAndPeaksFollowThePanel) {
    hal->setPlaying(podcasts, false);  // Music alone, so the speaker's peak is Music's
    storeLevels(0.5);
    start();
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

TEST_F(MixerModelTest, SettingsOpenTheDesktopsOwnAppsAndRelaunchQuits) {
    workspace->soundSettingsMissing = "None here.";
    start();
    EXPECT_EQ(model->soundSettingsUnavailableReason(), "None here.");
    model->openSoundSettings();
    model->openPrivacySettings();
    EXPECT_EQ(workspace->opened, (std::vector<std::string>{"sound settings", "privacy settings"}));
    model->relaunch();
    EXPECT_FALSE(workspace->terminated);  // only once back on the main queue
    settle();
    EXPECT_TRUE(workspace->terminated);
}

}  // namespace
}  // namespace sonvel
