// The settings window over the real model and simulated audio system: the
// resets, launch at login, the update check and the diagnostics page.

#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>

#include "ShellFixture.hpp"
#include "platform/qt/QtUpdateChecker.hpp"
#include "support/FeedServer.hpp"
#include "ui/AppWindows.hpp"
#include "ui/DiagnosticsTab.hpp"
#include "ui/SettingsWindow.hpp"
#include "ui/ToneStyle.hpp"

namespace sonvel::uitest {
namespace {

using testsupport::FeedServer;

// A login item the system refuses to register.
struct RefusingLoginItem final : LoginItem {
    std::expected<void, std::string> setEnabled(bool) override {
        return std::unexpected("The autostart folder cannot be written to.");
    }
    bool isEnabled() const override { return false; }
};

class SettingsWindowTest : public ShellTest {
  protected:
    ~SettingsWindowTest() override { windows.reset(); }

    SettingsWindow& openSettings(QtUpdateChecker* updates = nullptr) {
        windows =
            std::make_unique<AppWindows>(model, PlatformWording::simulatedMacOS(), updates,
                                         [this](const std::string& url) { opened.push_back(url); });
        return *windows->openSettings();
    }
    // The General tab over a feed of its own, its check asked for.
    GeneralSettingsTab& checkFeed(const QByteArray& feed) {
        windows.reset();  // its tab listens to the checker replaced here
        server.emplace(FeedServer::http("200 OK", feed));
        checker.emplace(server->url(), "0.1.0");
        GeneralSettingsTab& general = *openSettings(&*checker).general();
        QTest::mouseClick(general.checkForUpdates(), Qt::LeftButton);
        return general;
    }
    // A little past the check's end, for the tab to show the outcome.
    testsupport::LoopRun waitForTheCheck() {
        return testsupport::runLoopUntil([&] { return !checker->state().checking; }, 100ms);
    }

    std::optional<FeedServer> server;
    std::optional<QtUpdateChecker> checker;
    std::unique_ptr<AppWindows> windows;
    std::vector<std::string> opened;
};

TEST_F(SettingsWindowTest, ResetSetupWaitsForConfirmation) {
    storeValidSetup();
    startShell();
    GeneralSettingsTab& general = *openSettings().general();
    for (const bool confirm : {false, true}) {
        QTest::mouseClick(general.button("Reset Setup…"), Qt::LeftButton);
        QMessageBox* dialog = general.resetSetupDialog();
        ASSERT_NE(dialog, nullptr);
        settle();
        EXPECT_TRUE(model->gate().isReady()) << "nothing happens before an answer";
        QAbstractButton* answer = dialog->button(QMessageBox::Cancel);
        for (QAbstractButton* b : dialog->buttons())
            if (confirm && dialog->buttonRole(b) == QMessageBox::DestructiveRole) answer = b;
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer->text() == "Reset Setup", confirm);
        QTest::mouseClick(answer, Qt::LeftButton);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        settle();
        EXPECT_EQ(general.resetSetupDialog(), nullptr);
        EXPECT_EQ(model->gate().isReady(), !confirm);
    }
    EXPECT_EQ(general.volumeControls()->text().toStdString(), model->gate().title());
}

TEST_F(SettingsWindowTest, AFailedLaunchAtLoginChangeShowsWhyAndTheRealState) {
    loginItem = std::make_shared<RefusingLoginItem>();
    start();
    GeneralSettingsTab& general = *openSettings().general();
    EXPECT_FALSE(general.launchAtLoginError()->isVisibleTo(&general));

    // On the box itself: the rest of the row's width is no click target.
    const QPoint box(6, general.launchAtLogin()->height() / 2);
    QTest::mouseClick(general.launchAtLogin(), Qt::LeftButton, {}, box);
    EXPECT_FALSE(general.launchAtLogin()->isChecked());  // what the system says
    EXPECT_TRUE(general.launchAtLoginError()->isVisibleTo(&general));
    EXPECT_EQ(general.launchAtLoginError()->text(), "The autostart folder cannot be written to.");
    EXPECT_EQ(general.launchAtLoginError()->palette().color(QPalette::WindowText),
              ToneStyle::colour(Tone::warning, general.palette()));
    QTest::mouseClick(general.launchAtLogin(), Qt::LeftButton, {}, box);  // the same refusal again
    EXPECT_FALSE(general.launchAtLogin()->isChecked());
}

TEST_F(SettingsWindowTest, CheckForUpdatesTellsWhatTheFeedOffersAndOpensOnlyWebPages) {
    startShell();
    const QPushButton* unconfigured = openSettings().general()->checkForUpdates();
    EXPECT_FALSE(unconfigured->isEnabled());  // no feed configured
    EXPECT_FALSE(unconfigured->toolTip().isEmpty());
    const QString offer = "Version 9.9 of Sonvel is available. You have version 0.1.0.";
    GeneralSettingsTab& general = checkFeed(FeedServer::feedOffering("9.9"));
    EXPECT_FALSE(general.checkForUpdates()->isEnabled());
    EXPECT_EQ(general.updateLine()->text(), "Checking for updates…");
    waitForTheCheck();
    EXPECT_EQ(general.updateLine()->text(), offer);
    EXPECT_TRUE(general.checkForUpdates()->isEnabled());

    // Whatever a feed's links say, only a web page is ever offered or opened, for
    // each of the three kinds of link an item has.
    for (const auto& [element, button] :
         {std::pair{"<link>%1</link>", &GeneralSettingsTab::download},
          {"<enclosure url=\"%1\"/>", &GeneralSettingsTab::download},
          {"<sparkle:releaseNotesLink>%1</sparkle:releaseNotesLink>",
           &GeneralSettingsTab::releaseNotes}}) {
        for (const std::string url :
             {"javascript:alert(1)", "file:///etc/passwd", "data:text/html;base64,PGI+eDwvYj4=",
              "example.org/notes", "https:///notes", "http:notes", "HTTPS://example.org/notes"}) {
            GeneralSettingsTab& tab = checkFeed(FeedServer::feedOffering(
                "9.9", QString(element).arg(QString::fromStdString(url)).toUtf8()));
            waitForTheCheck();
            opened.clear();
            QTest::mouseClick((tab.*button)(), Qt::LeftButton);  // ignored while hidden
            const bool web = url.starts_with("HTTPS");
            EXPECT_EQ((tab.*button)()->isVisibleTo(&tab), web) << url;
            EXPECT_EQ(opened, web ? std::vector{url} : std::vector<std::string>{}) << url;
        }
    }

    // 4 MB of notes are read, shown and drawn without the window ever freezing.
    SONVEL_SKIP_MAIN_THREAD_BOUND();
    GeneralSettingsTab& shown = checkFeed(FeedServer::feedOffering(
        "9.9", "<description><![CDATA[" +
                   QByteArray("<p>Quieter &amp; faster.</p>").repeated(142'000) +
                   "]]></description>"));
    EXPECT_LT(waitForTheCheck().largestGap, testsupport::mainThreadBound);
    EXPECT_EQ(shown.updateLine()->text(), offer);
}

TEST_F(SettingsWindowTest, DiagnosticsFollowTheEnginesAndTheMinute) {
    storeValidSetup();
    startShell();
    SettingsWindow& window = openSettings();
    DiagnosticsTab& diagnostics = *window.diagnostics();
    EXPECT_EQ(diagnostics.value("Permission"), "verified");

    model->setPosition(0.5, modeltest::MixerModelTest::musicRow());
    run(1s);
    EXPECT_EQ(diagnostics.value("Active engines"), "1");
    EXPECT_EQ(diagnostics.value("Received audio", "com.apple.Music"), "yes");
    EXPECT_EQ(diagnostics.value("Device inputs disabled", "com.apple.Music"), "n/a");
    EXPECT_EQ(diagnostics.value("Processor overloads", "com.apple.Music"), "0");

    // An overload changes no published state, so only the minute's rebuild shows it.
    const auto aggregates = hal->liveObjects().aggregates;
    ASSERT_EQ(aggregates.size(), 1u);
    hal->overload(aggregates.front().id);
    engineListeners->runUntilIdle();
    EXPECT_EQ(diagnostics.value("Processor overloads", "com.apple.Music"), "0");
    QMetaObject::invokeMethod(diagnostics.minuteTimer(), "timeout");
    EXPECT_EQ(diagnostics.value("Processor overloads", "com.apple.Music"), "1");
    EXPECT_LE(diagnostics.minuteTimer()->interval(), 60'000);

    window.tabs()->setCurrentWidget(&diagnostics);
    snapshot(window, "settings-diagnostics");
    window.tabs()->setCurrentIndex(0);
    model->resetSonvelAudio();  // for the General tab's line saying when
    settle();
    snapshot(window, "settings-general");
}

}  // namespace
}  // namespace sonvel::uitest
