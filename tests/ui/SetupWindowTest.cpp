// The setup window over the real model, engine host and simulated audio
// system: from a fresh start to open volume controls through the windows
// alone, in stepped virtual time.

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "ShellFixture.hpp"
#include "core/LiveTest.hpp"
#include "ui/AccessStepView.hpp"
#include "ui/AppWindows.hpp"
#include "ui/LiveTestStepView.hpp"
#include "ui/SetupWindow.hpp"

namespace sonvel::uitest {
namespace {

namespace analysis = sim::SpeakerAnalysis;

constexpr double podcastsTone = 660;  // Hz, a full-scale sine: -3.01 dBFS RMS
const double sineCrest = analysis::dB(std::sqrt(0.5));

class SetupWindowTest : public ShellTest {
  protected:
    // Through the panel's "Setup…", as a person opens it.
    SetupWindow& openSetup() {
        QTest::mouseClick(panel().footerButton("Setup…"), Qt::LeftButton);
        return *shell->windows()->setup();
    }
    // Runs until `done`, at most `limit` of virtual time.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        for (auto t = 0ms; t < limit && !done(); t += 50ms) run(50ms);
        return done();
    }
};

TEST_F(SetupWindowTest, FromAFreshStartToOpenVolumeControls) {
    startShell();
    SetupWindow& w = openSetup();
    const auto title = [&](int i) { return accessible(w.stepTitle(i))->text(QAccessible::Name); };
    AccessStepView& access = *w.access();
    LiveTestStepView& live = *w.liveTest();
    EXPECT_TRUE(live.blocked()->isVisibleTo(&w));
    EXPECT_FALSE(live.start()->isVisibleTo(&w));
    snapshot(w, "setup-start");

    click(access.checkAccess());
    EXPECT_FALSE(access.checkAccess()->isEnabled());  // while it listens
    EXPECT_TRUE(access.showsProgress());
    snapshot(w, "setup-listening");
    const QString confirmed = "Access confirmed. Sonvel can hear your audio.";
    ASSERT_TRUE(runUntil([&] { return access.stateLine()->text() == confirmed; }, 10s));
    EXPECT_TRUE(access.checkAccess()->isEnabled());
    EXPECT_EQ(title(1), "Step 1: Audio access, complete");

    // A test stopped part way leaves no record and gives Check Access back.
    QTest::mouseClick(live.start(), Qt::LeftButton);
    run(1s);
    ASSERT_EQ(live.currentPage(), live.runningPage());
    click(live.stop());
    EXPECT_EQ(live.currentPage(), live.idlePage());
    EXPECT_FALSE(model->preferences->validation);
    EXPECT_TRUE(access.checkAccess()->isEnabled());

    // Podcasts, the second choice, so that the pick is what gets tested.
    QComboBox& picker = *live.picker();
    ASSERT_EQ(picker.count(), 2);
    ASSERT_EQ(picker.itemText(1), "Podcasts");
    picker.setCurrentIndex(1);
    emit picker.activated(1);
    settle();
    EXPECT_EQ(picker.currentText(), "Podcasts");
    snapshot(w, "setup-ready-to-test");
    QTest::mouseClick(live.start(), Qt::LeftButton);
    main->runUntilIdle();  // the change reaches the window; the host has not built the engine yet
    EXPECT_EQ(live.busyText()->text(), "Starting the test on Podcasts…");

    // Each step, as the window shows it and as the speaker heard it.
    std::vector<double> heard(LiveTest::steps().size(), -999);
    const auto level = [&] { return testsupport::toneDB(hal->speaker(speakers), podcastsTone); };
    long shown = -1;
    const auto step = [&] {
        const auto* running = model->liveTest->as<LiveTestPhase::Running>();
        return running ? running->step : -1;
    };
    while (runUntil([&] { return step() != shown; }, 3s) && step() >= 0) {
        if (shown >= 0) heard[std::size_t(shown)] = level() + sineCrest;
        hal->clearSpeaker(speakers);
        shown = step();
        ASSERT_EQ(live.currentPage(), live.runningPage());
        for (std::size_t i = 0; i < heard.size(); ++i) {
            const bool current = long(i) == shown;
            EXPECT_EQ(live.stepText(i)->font().weight() == QFont::DemiBold, current) << i;
            EXPECT_EQ(live.stepText(i)->accessibleDescription() == "Playing now", current) << i;
        }
        if (shown == 1) snapshot(w, "setup-running");
    }
    EXPECT_EQ(shown, long(heard.size()) - 1);
    ASSERT_TRUE(runUntil([&] { return live.currentPage() == live.answerPage(); }, 3s));
    heard.back() = level() + sineCrest;

    const auto& answer = *model->liveTest->as<LiveTestPhase::AwaitingAnswer>();
    ASSERT_EQ(live.measuredLines().size(), heard.size());
    for (std::size_t i = 0; i < heard.size(); ++i) {
        const auto& m = answer.measurements[i];
        EXPECT_EQ(live.measuredLines()[i]->text().toStdString(), m.summary()) << i;
        if (m.gain > 0)
            EXPECT_NEAR(m.outputRMSDBFS, heard[i], 0.2) << i;
        else  // the silent step was silent on the speaker too
            EXPECT_EQ(std::pair(heard[i] < -90.0, m.outputRMSDBFS), std::pair(true, -120.0))
                << heard[i];
    }
    snapshot(w, "setup-answer");

    click(live.yes());
    EXPECT_TRUE(model->gate().isReady());
    EXPECT_EQ(title(2), "Step 2: Live audio test, complete");
    EXPECT_EQ(w.statusTitle()->text(), "Volume controls are available");
    EXPECT_TRUE(live.record()->text().startsWith("Passed on "));
    snapshot(w, "setup-complete");
}

TEST_F(SetupWindowTest, OneWindowPerIdentifierAndClosingEndsIt) {
    startShell();
    SetupWindow* first = &openSetup();
    EXPECT_EQ(&openSetup(), first);
    int named = 0;
    for (QWidget* top : QApplication::topLevelWidgets()) named += top->objectName() == "setup";
    EXPECT_EQ(named, 1);

    first->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(shell->windows()->setup(), nullptr);
    model->startPermissionCheck();  // a closed window hears of no change
    settle();
    EXPECT_TRUE(openSetup().isVisible());  // a new one
}

}  // namespace
}  // namespace sonvel::uitest
