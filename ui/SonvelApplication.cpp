#include "ui/SonvelApplication.hpp"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QDesktopServices>
#include <QEvent>
#include <QScreen>
#include <QShortcut>
#include <cstdio>

#include "Sonvel/AppVersion.hpp"
#include "ui/AppWindows.hpp"
#include "ui/MixerPanel.hpp"
#include "ui/TrayController.hpp"

namespace sonvel {

namespace {
constexpr std::chrono::milliseconds reopenGuard{300};
constexpr std::chrono::seconds trayWatchInterval{1};
}  // namespace

SonvelApplication::SonvelApplication(MixerModel::Environment environment, Options options,
                                     QObject* parent)
    : QObject(parent), environment_(std::move(environment)), options_(std::move(options)) {
    // However the loop ends (a signal, the session closing), engines stop first.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        if (model_) model_->shutdown();
    });
}

SonvelApplication::~SonvelApplication() {
    if (panel_) {
        panel_->removeEventFilter(this);
        delete panel_.data();
    }
    windows_.reset();
    delete tray_;
    if (model_) model_->shutdown();
}

void SonvelApplication::start() {
    if (model_) return;
    model_ = MixerModel::make(environment_);
    windows_ = std::make_unique<AppWindows>(
        model_, model_->wording(), options_.updates.get(), [](const std::string& url) {
            QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
        });
    if (options_.openAudioWorld) {
        windows_->setOpenSystemSettings([this] { options_.openAudioWorld(true); });
    }
    if (options_.panelAsWindow) {
        openPanel();
        return;
    }
    if (TrayController::trayAvailable()) {
        followTray(true);
    } else {
        std::fputs(
            "Sonvel: this desktop has no system tray, so the panel opens as a window; "
            "closing it quits.\n",
            stderr);
        openPanel();
    }
    // At login the tray often comes up after the applications, and a panel
    // restarting takes it away for a while. Qt says neither on X11, and
    // asking is one round trip to the X server. A StatusNotifier watcher
    // coming or going is told at once.
    auto* watch = new QTimer(this);
    const auto look = [this] {
        const bool available = TrayController::trayAvailable();
        if (quitting_ || available == (tray_ != nullptr)) return;
        std::fputs(available ? "Sonvel: a system tray appeared; the panel moves into it.\n"
                             : "Sonvel: the system tray is gone, so the panel opens as a "
                               "window; closing it quits.\n",
                   stderr);
        followTray(available);
    };
    connect(watch, &QTimer::timeout, this, look);
    watch->start(trayWatchInterval);
    auto* watcher = new QDBusServiceWatcher(QStringLiteral("org.kde.StatusNotifierWatcher"),
                                            QDBusConnection::sessionBus(),
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, look);
}

// Into the tray, closing the panel's window: with the tray in place that
// closing no longer quits. Out of it, the panel comes back as that window.
void SonvelApplication::followTray(bool available) {
    if (available) {
        TrayController::Actions actions{[this] { togglePanel(); }, [this] { quit(); }, {}};
        if (options_.openAudioWorld)
            actions.openAudioWorld = [this] { options_.openAudioWorld(false); };
        actions.openSetup = [this] { openSetup(); };
        actions.openSettings = [this] { openSettings(); };
        actions.showPanel = [this] { openPanel(); };
        tray_ = new TrayController(model_, std::move(actions), this);
        if (panel_) panel_->close();
        // That closing was no click on the icon, and must not hold back one.
        panelClosedAt_ = {};
        return;
    }
    closePanel();
    delete std::exchange(tray_, nullptr);
    openPanel();
}

void SonvelApplication::quit() {
    // Leaving the loop closes every window, and closing the panel's window
    // asks to quit again.
    if (std::exchange(quitting_, true)) return;
    if (model_) model_->shutdown();
    QCoreApplication::quit();
}

std::optional<std::string> SonvelApplication::iconName(const std::string& appPath) const {
    return environment_.system ? environment_.system->iconName(appPath) : std::nullopt;
}

MixerPanel* SonvelApplication::panel() const {
    return panel_.data();
}

void SonvelApplication::openPanel() {
    if (!model_) return;
    if (panel_) {
        panel_->raise();
        panel_->activateWindow();
        return;
    }
    auto* panel = new MixerPanel(
        model_, [this](const std::string& path) { return iconName(path); }, [this] { quit(); });
    panel_ = panel;
    watchedPanel_ = panel;
    connect(panel, &QObject::destroyed, this, [this](QObject* gone) {
        if (gone == watchedPanel_) watchedPanel_ = nullptr;
    });
    panel->setWindowOpeners([this] { openSetup(); }, [this] { openSettings(); });
    const PlatformWording& words = model_->wording();
    panel->setPermissionDetails(words.needsPermissionDetail, words.permissionDeniedDetail);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->installEventFilter(this);
    if (tray_) {
        // A drop-down that closes when the user goes elsewhere. Not a Qt
        // popup: those are left out of the application's accessible
        // children, where a screen reader looks for it. Wayland lets no
        // client place a window or keep it above the others, so there it is
        // a small titled window wherever the compositor puts it.
        if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
            panel->setWindowFlags(Qt::Tool);
            panel->setWindowTitle("Sonvel");
        } else {
            panel->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        }
        connect(new QShortcut(QKeySequence(Qt::Key_Escape), panel), &QShortcut::activated, panel,
                &QWidget::close);
        placePanel();
    } else {
        panel->setWindowTitle("Sonvel");
    }
    panel->show();
    if (tray_) {
        panel->raise();
        panel->activateWindow();
    }
}

// Again whenever the panel's height changes while open (a banner, a row
// coming or going), from the size it has rather than the size it hints.
void SonvelApplication::placePanel() {
    if (!panel_ || !tray_) return;
    const QRect icon = tray_->iconGeometry();
    QScreen* screen = QGuiApplication::screenAt(icon.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    const QRect room = screen->availableGeometry();
    panel_->setAvailableHeight(room.height());
    panel_->move(TrayController::panelPosition(icon, panel_->size(), room));
}

void SonvelApplication::openSetup() {
    if (windows_) windows_->openSetup();
}

void SonvelApplication::openSettings() {
    if (windows_) windows_->openSettings();
}

void SonvelApplication::closePanel() {
    if (panel_ && tray_) panel_->close();
}

void SonvelApplication::togglePanel() {
    if (panel_) {
        closePanel();
        return;
    }
    if (environment_.clock->uptime() - panelClosedAt_ < reopenGuard) return;
    openPanel();
}

// Compares `watched` with the panel as a plain object: events also arrive
// while the panel is being destroyed, when it is no longer a MixerPanel.
bool SonvelApplication::eventFilter(QObject* watched, QEvent* event) {
    if (watched == watchedPanel_) {
        if (event->type() == QEvent::WindowDeactivate && tray_) {
            static_cast<QWidget*>(watched)->close();
        } else if (event->type() == QEvent::Resize && tray_) {
            placePanel();
        } else if (event->type() == QEvent::Hide && tray_) {
            // Dropped on closing: the next opening builds a new panel.
            panelClosedAt_ = environment_.clock->uptime();
            watched->removeEventFilter(this);
            watched->deleteLater();
            watchedPanel_ = nullptr;
            panel_ = nullptr;
        } else if (event->type() == QEvent::Close && !tray_) {
            quit();
        }
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace sonvel
