// The shell without a system tray, where the panel goes, and the Audio World
// window over the shipped default world.

#include <QCheckBox>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <cmath>

#include "app/sim/AudioWorldWindow.hpp"
#include "tests/ui/ShellFixture.hpp"
#include "ui/TrayController.hpp"

namespace sonvel::uitest {
namespace {

TEST_F(ShellTest, WithoutATrayThePanelIsAWindowWhoseClosingQuits) {
    storeLevels(0.5);
    testing::internal::CaptureStderr();
    startShell({.panelAsWindow = false});
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_FALSE(shell->usesTray());  // the offscreen platform has none
    EXPECT_NE(said.find("no system tray"), std::string::npos) << said;
    run(200ms);
    EXPECT_GT(engineObjects(), 0u);

    panel().close();
    settle();
    EXPECT_EQ(engineObjects(), 0u);
}

TEST_F(ShellTest, StatusIconFollowsTheModelAndAClickTogglesThePanel) {
    start();
    int toggles = 0;
    TrayController tray(model, {[&] { ++toggles; }, [] {}, {}}, nullptr);
    EXPECT_EQ(tray.variant(), StatusIcon::Variant::locked);
    EXPECT_EQ(tray.trayIcon()->toolTip(), "Sonvel — Setup needed");
    model->setPaused(true);
    settle();
    EXPECT_EQ(tray.variant(), StatusIcon::Variant::paused);
    EXPECT_EQ(tray.trayIcon()->toolTip(), "Sonvel — Paused");

    emit tray.trayIcon()->activated(QSystemTrayIcon::Context);
    EXPECT_EQ(toggles, 0);
    emit tray.trayIcon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(toggles, 1);
    QStringList items;
    for (QAction* a : tray.menu()->actions()) items << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(items, (QStringList{"Show Panel", "Resume", "-", "Setup…", "Reset Audio", "Settings…",
                                  "-", "Quit"}));
    tray.menu()->actions()[0]->trigger();
    EXPECT_EQ(toggles, 2);
    tray.menu()->actions()[1]->trigger();
    settle();
    EXPECT_FALSE(model->preferences->isPaused);
    EXPECT_EQ(tray.menu()->actions()[1]->text(), "Pause");
}

TEST(TrayControllerTest, PanelDropsUnderOrRisesOverTheIconAndStaysOnScreen) {
    const QRect screen(0, 0, 1000, 800);
    const QSize panel(340, 500);
    // The icon's geometry, where the panel goes, and why.
    const std::tuple<QRect, QPoint, const char*> cases[] = {
        {{500, 0, 24, 24}, {341, 24}, "top bar: under, centred"},
        {{500, 776, 24, 24}, {341, 276}, "bottom bar: over"},
        {{980, 0, 20, 24}, {660, 24}, "at the right edge: kept on screen"},
        {{}, {660, 0}, "no icon geometry: top-right corner"},
    };
    for (const auto& [icon, expected, what] : cases)
        EXPECT_EQ(TrayController::panelPosition(icon, panel, screen), expected) << what;
}

class AudioWorldTest : public ::testing::Test {
  protected:
    template <class T>
    T* find(const QString& name) {
        T* found = window.findChild<T*>(name);
        if (!found) throw std::runtime_error("no " + name.toStdString());
        return found;
    }
    // Plays a while, then reads the speakers as the window's timer does.
    void listen() {
        window.updateMeters();
        audio->step(40);  // about 0.4 s on the 48 kHz speakers
        window.updateMeters();
    }

    std::shared_ptr<sim::SimulatedAudioSystem> audio =
        std::make_shared<sim::SimulatedAudioSystem>();
    std::shared_ptr<const sim::SimulatedWorld> world =
        std::make_shared<const sim::SimulatedWorld>(*sim::SimulatedWorld::load(
            *audio, *sim::SimulatedWorld::readFile(sim::SimulatedWorld::defaultWorldPath())));
    AudioWorldWindow window{audio, world, {}, true};
};

// Over a long enough window the levels are heard in the meters' test below.
TEST(SpeakerLevelsTest, TonesAreToldApartOnlyOverAWindowLongEnough) {
    std::vector<float> brief;  // 20 ms of a 440 Hz tone
    for (int i = 0; i < 960; ++i) brief.insert(brief.end(), 2, float(0.5 * std::sin(i * 0.0576)));
    const auto levels = SpeakerLevels::measure(brief, 2, 48000, {{"Music", 440}, {"Slack", 550}});
    EXPECT_TRUE(levels.tones.empty());
    EXPECT_GT(levels.rmsDB, -10.0);
}

TEST_F(AudioWorldTest, DevicesPlugUnplugAndBecomeTheDefault) {
    QTest::mouseClick(find<QPushButton>("plug:AirPodsPro-Headset"), Qt::LeftButton);
    EXPECT_EQ(audio->deviceID("AirPodsPro-Headset"), hal::unknownObject);
    EXPECT_EQ(find<QPushButton>("plug:AirPodsPro-Headset")->text(), "Plug In");
    EXPECT_FALSE(find<QPushButton>("default:AirPodsPro-Headset")->isEnabled());
    QTest::mouseClick(find<QPushButton>("plug:AirPodsPro-Headset"), Qt::LeftButton);
    ASSERT_NE(audio->deviceID("AirPodsPro-Headset"), hal::unknownObject);

    QTest::mouseClick(find<QPushButton>("default:AirPodsPro-Headset"), Qt::LeftButton);
    EXPECT_EQ(audio->defaultOutput(), audio->deviceID("AirPodsPro-Headset"));
    EXPECT_FALSE(find<QPushButton>("default:AirPodsPro-Headset")->isEnabled());
    EXPECT_TRUE(find<QPushButton>("default:BuiltInSpeakerDevice")->isEnabled());
}

TEST_F(AudioWorldTest, MetersTellEachApplicationApart) {
    QTest::mouseClick(find<QCheckBox>("playing:830"), Qt::LeftButton);  // Podcasts Pro starts
    listen();
    const auto levels = window.levels("BuiltInSpeakerDevice");
    ASSERT_TRUE(levels);
    std::map<std::string, double> heard;
    for (const auto& r : levels->tones) heard[r.name] = r.dB;
    // Each world tone at its own level: 0.5, 0.4 and 0.3 of full scale.
    EXPECT_NEAR(heard["Music"], -6.02, 0.1);
    EXPECT_NEAR(heard["Podcasts Pro"], -6.02, 0.1);
    EXPECT_NEAR(heard["com.apple.WebKit.WebContent"], -7.96, 0.1);
    EXPECT_NEAR(heard["Slack"], -10.46, 0.1);

    QTest::mouseClick(find<QCheckBox>("playing:501"), Qt::LeftButton);  // Music stops
    listen();
    const auto after = window.levels("BuiltInSpeakerDevice");
    for (const auto& r : after->tones)
        EXPECT_NE(r.name, "Music") << "a stopped application is not measured";
    EXPECT_LT(window.levels("USB-DAC-0042")->rmsDB, -100.0);  // nothing plays there
}

}  // namespace
}  // namespace sonvel::uitest
