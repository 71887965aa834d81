// The panel driven as a person would, on the real model and the simulated
// audio system, and checked by what the speaker plays.

#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>

#include "tests/ui/ShellFixture.hpp"
#include "ui/AppWindows.hpp"
#include "ui/BannerWidget.hpp"
#include "ui/LevelDot.hpp"
#include "ui/OutputMenuButton.hpp"

namespace sonvel::uitest {
namespace {

// Each control as a reader meets and works it, over a ready gate, the output
// menu routing where its caption says; then Quit gives every application its
// sound back.
TEST_F(ShellTest, EveryControlSaysWhatItIsAndDoesIt) {
    hal->addDevice({.uid = "pods", .name = "AirPods"});
    storeLevels(0.5);
    startShell();
    run(2500ms);  // the open panel's peaks arrive with the tick

    AppRowWidget& shown = row("com.apple.Music");
    EXPECT_TRUE(shown.slider()->isEnabled() && shown.muteButton()->isEnabled());
    QAccessibleInterface* slider = accessible(shown.slider());
    EXPECT_EQ(slider->role(), QAccessible::Slider);
    EXPECT_EQ(slider->text(QAccessible::Name), "Music volume");
    EXPECT_EQ(slider->text(QAccessible::Value), "50%");
    EXPECT_DOUBLE_EQ(slider->valueInterface()->maximumValue().toDouble(), 100.0);
    slider->valueInterface()->setCurrentValue(25.0);  // percent, as a reader sets it
    settle();
    EXPECT_EQ(slider->text(QAccessible::Value), "25%");
    EXPECT_EQ(shown.levelLabel()->text(), "25%");

    EXPECT_EQ(accessible(shown.muteButton())->text(QAccessible::Name), "Mute Music");
    EXPECT_TRUE(accessible(shown.muteButton())->state().checkable);
    EXPECT_FALSE(accessible(shown.muteButton())->state().checked);
    EXPECT_EQ(accessible(shown.levelDot())->text(QAccessible::Name), "Playing through Sonvel");
    EXPECT_EQ(accessible(shown.outputMenu())->text(QAccessible::Name), "Output for Music");
    EXPECT_TRUE(shown.outputMenu()->isVisible());
    QMenu* menu = shown.outputMenu()->outputMenu();
    QStringList items;
    for (QAction* a : menu->actions()) items << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(items, (QStringList{"Default Output (Speakers)", "-", "Speakers", "AirPods"}));
    menu->actions().back()->trigger();
    settle();
    EXPECT_EQ(shown.captionLabel()->text(), "Output: AirPods");
    // The item already on is no choice: nothing changes.
    menu->actions().back()->trigger();
    EXPECT_TRUE(menu->actions().back()->isChecked());

    shown.muteButton()->toggle();  // what a reader's Toggle action does
    settle();
    EXPECT_EQ(slider->text(QAccessible::Value), "Muted");
    EXPECT_TRUE(accessible(shown.muteButton())->state().checked);
    EXPECT_EQ(shown.muteButton()->accessibleName(), "Unmute Music");
    run(2500ms);
    EXPECT_EQ(accessible(shown.levelDot())->text(QAccessible::Name), "Silent");

    click(panel().footerButton("Quit"));
    EXPECT_EQ(engineObjects(), 0u);
    EXPECT_NEAR(heard(440), 0.0, 0.1);
}

TEST_F(ShellTest, LockedGateDisablesControlsAndOffersSetup) {
    startShell();
    AppRowWidget& shown = row("com.apple.Music");
    for (QWidget* control : std::initializer_list<QWidget*>{shown.slider(), shown.muteButton(),
                                                            panel().pausedSwitch()})
        EXPECT_FALSE(control->isEnabled()) << control->metaObject()->className();
    ASSERT_EQ(panel().banners().size(), 1u);
    QTest::mouseClick(panel().banners()[0]->actionButton(), Qt::LeftButton);
    EXPECT_NE(shell->windows()->setup(), nullptr);
    QTest::mouseClick(panel().footerButton("Settings…"), Qt::LeftButton);
    EXPECT_NE(shell->windows()->settings(), nullptr);
}

// Silence from every engine is said with a way out, Pause; paused, the banner
// offers Resume and the switch follows.
TEST_F(ShellTest, BannersAndTheSwitchPauseAndResume) {
    storeLevels(0.5);
    startShell();
    run(1s);
    ASSERT_TRUE(model->captureProvenThisSession());
    hal->setCapturePermission(false);  // taps now hear zeros
    run(MixerModel::silenceNoticeAfter + 1s);
    ASSERT_EQ(panel().banners().size(), 1u);
    QTest::mouseClick(panel().banners()[0]->actionButton(), Qt::LeftButton);  // "Pause"
    run(600ms);  // the notice goes with the next tick
    EXPECT_TRUE(model->preferences->isPaused);
    EXPECT_TRUE(panel().pausedSwitch()->isChecked() && panel().pausedSwitch()->isEnabled());
    EXPECT_FALSE(row("com.apple.Music").slider()->isEnabled());
    ASSERT_EQ(panel().banners().size(), 1u);
    click(panel().banners()[0]->actionButton());  // "Resume"
    EXPECT_FALSE(model->preferences->isPaused);
    EXPECT_TRUE(panel().banners().empty());
    EXPECT_FALSE(panel().pausedSwitch()->isChecked());
    QTest::mouseClick(panel().pausedSwitch(), Qt::LeftButton);
    EXPECT_TRUE(model->preferences->isPaused);
}

TEST_F(ShellTest, RowsKeepTheirWidgetsSoADragIsNeverPulledBack) {
    storeValidSetup();
    startShell();
    AppRowWidget* shown = panel().row("com.apple.Music");
    shown->slider()->setSliderDown(true);  // the user holds the knob
    shown->slider()->setValue(300);
    settle();
    model->setPosition(0.8, musicRow());  // another source moves it meanwhile
    settle();
    EXPECT_EQ(shown->slider()->value(), 300);
    shown->slider()->setSliderDown(false);
    EXPECT_EQ(shown->slider()->value(), 800);

    hal->setPlaying(music, false);  // Music moves to "Other apps"
    run(200ms);
    EXPECT_EQ(panel().rowsInOrder(),
              (std::vector<AppRowWidget*>{panel().row("com.example.podcasts"), shown}));
}

TEST_F(ShellTest, ClosedPanelLeavesTheModelAlone) {
    start();
    auto panel = std::make_unique<MixerPanel>(model, AppIconNames{}, [] {});
    panel->show();
    settle();
    EXPECT_TRUE(model->isPanelVisible.get());
    panel->hide();
    EXPECT_FALSE(model->isPanelVisible.get());
    panel.reset();
    model->setPaused(true);  // a change the dropped panel must not hear of
    settle();
    EXPECT_FALSE(model->isPanelVisible.get());
}

}  // namespace
}  // namespace sonvel::uitest
