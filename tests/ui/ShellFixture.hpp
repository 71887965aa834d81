#pragma once

// The application shell over the real model, engine host and simulated audio
// system, every queue stepped in virtual time, its widgets on the offscreen
// platform.

#include <QAccessible>
#include <QDir>
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

    // Pictures of a window for the README, only when asked for.
    static void snapshot(QWidget& window, const char* name) {
        const QString dir = qEnvironmentVariable("SONVEL_SCREENSHOTS");
        if (dir.isEmpty()) return;
        QDir().mkpath(dir);
        QCoreApplication::processEvents();  // the layouts catch up with what changed
        window.adjustSize();
        EXPECT_TRUE(window.grab().save(dir + "/" + name + ".png")) << name;
    }

    // A click, then whatever it started runs its course.
    void click(QWidget* target) {
        QTest::mouseClick(target, Qt::LeftButton);
        settle();
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
