#pragma once

// The application shell over the real model, engine host and simulated audio
// system, every queue stepped in virtual time, its widgets on the offscreen
// platform.

#include <QAccessible>
#include <QTest>

#include "../Sonvel/ModelFixture.hpp"
#include "ui/AppRowWidget.hpp"
#include "ui/LevelSlider.hpp"
#include "ui/MixerPanel.hpp"
#include "ui/SonvelApplication.hpp"

namespace sonvel::uitest {

using namespace std::chrono_literals;

class ShellTest : public modeltest::MixerModelTest {
  protected:
    ~ShellTest() override {
        shell.reset();
        // Panels closed without an event loop wait here to be deleted.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void startShell(SonvelApplication::Options options = {.panelAsWindow = true}) {
        shell = std::make_unique<SonvelApplication>(environment(), options);
        shell->start();
        model = shell->model();
        settle();
    }

    // Opens the gate the way the setup will: the access check, then the live
    // test on Music, answered "it worked".
    void passSetup() {
        model->startPermissionCheck();
        run(3s);
        ASSERT_TRUE(model->permission->is<PermissionState::Verified>());
        model->startLiveTest("com.apple.Music");
        run(11s);
        ASSERT_TRUE(model->liveTest->is<LiveTestPhase::AwaitingAnswer>());
        model->answerLiveTest(true);
        settle();
        ASSERT_TRUE(model->gate().isReady()) << model->gate().title();
    }

    [[nodiscard]] MixerPanel& panel() const { return *shell->panel(); }
    [[nodiscard]] AppRowWidget& row(const std::string& key) const {
        AppRowWidget* r = panel().row(key);
        if (!r) throw std::runtime_error("no row for " + key);
        return *r;
    }

    std::unique_ptr<SonvelApplication> shell;
};

inline QAccessibleInterface* accessible(QObject* object) {
    return QAccessible::queryAccessibleInterface(object);
}

}  // namespace sonvel::uitest
