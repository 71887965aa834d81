#include "ui/SonvelApplication.hpp"

#include <QApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QScreen>
#include <QSystemTrayIcon>
#include <cstdio>

#include "Sonvel/AppVersion.hpp"
#include "platform/qt/QtUpdateChecker.hpp"
#include "ui/AppWindows.hpp"
#include "ui/AudioWorldWindow.hpp"
#include "ui/MixerPanel.hpp"
#include "ui/TrayController.hpp"

namespace sonvel {

namespace {
constexpr std::chrono::milliseconds reopenGuard{300};
constexpr std::chrono::seconds speakerDrainInterval{10};
}  // namespace

SonvelApplication::SonvelApplication(MixerModel::Environment environment,
                                     std::optional<SimulatedAudio> simulated, Options options,
                                     QObject* parent)
    : QObject(parent),
      environment_(std::move(environment)),
      simulated_(std::move(simulated)),
      options_(options) {
    // However the loop ends (a signal, the session closing), engines stop first.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        if (model_) model_->shutdown();
    });
    if (simulated_) {
        connect(&speakerDrain_, &QTimer::timeout, this, &SonvelApplication::drainSpeakers);
        speakerDrain_.start(speakerDrainInterval);
    }
}

// The simulated speakers keep what they played for measuring, up to a limit
// past which every IO cycle moves the whole kept minute of audio: a core's
// worth of work with five devices. Only the Audio World window measures them
// (and empties them as it reads), so while it is closed nobody needs it kept.
void SonvelApplication::drainSpeakers() {
    if (audioWorld_ && audioWorld_->isVisible()) return;
    for (const auto& device : simulated_->world->devices()) {
        const AudioObjectID id = simulated_->audio->deviceID(device.uid);
        if (id != hal::unknownObject) simulated_->audio->clearSpeaker(id);
    }
}

SonvelApplication::~SonvelApplication() {
    if (panel_) {
        panel_->removeEventFilter(this);
        delete panel_.data();
    }
    windows_.reset();
    audioWorld_.reset();
    delete tray_;
    if (model_) model_->shutdown();
}

void SonvelApplication::start() {
    if (model_) return;
    model_ = MixerModel::make(environment_);
    updates_ = new QtUpdateChecker(options_.updateFeed, std::string(AppVersion::current),
                                   QtUpdateChecker::defaultTimeout, this);
    windows_ =
        std::make_unique<AppWindows>(model_, wording(), updates_, [](const std::string& url) {
            QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
        });
    if (!options_.panelAsWindow && QSystemTrayIcon::isSystemTrayAvailable()) {
        TrayController::Actions actions{[this] { togglePanel(); }, [this] { quit(); }, {}};
        if (simulated_) actions.openAudioWorld = [this] { openAudioWorld(); };
        actions.openSetup = [this] { openSetup(); };
        actions.openSettings = [this] { openSettings(); };
        tray_ = new TrayController(model_, std::move(actions), this);
        return;
    }
    if (!options_.panelAsWindow) {
        std::fputs(
            "Sonvel: this desktop has no system tray, so the panel opens as a window; "
            "closing it quits.\n",
            stderr);
    }
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
    if (!simulated_) return std::nullopt;
    return simulated_->world->iconName(appPath);
}

MixerPanel* SonvelApplication::panel() const {
    return panel_.data();
}

// The simulated system's capture switch works as macOS's permission does, so
// its words stay; elsewhere no privacy pane exists to point at.
PlatformWording SonvelApplication::wording() const {
    return simulated_ ? PlatformWording::simulatedMacOS() : PlatformWording::linuxDesktop();
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
    const PlatformWording words = wording();
    panel->setPermissionDetails(words.needsPermissionDetail, words.permissionDeniedDetail);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->installEventFilter(this);
    if (tray_) {
        // A drop-down: it closes as soon as the user clicks elsewhere.
        panel->setWindowFlags(Qt::Popup);
        panel->adjustSize();
        const QRect icon = tray_->iconGeometry();
        QScreen* screen = QGuiApplication::screenAt(icon.center());
        if (!screen) screen = QGuiApplication::primaryScreen();
        panel->move(
            TrayController::panelPosition(icon, panel->sizeHint(), screen->availableGeometry()));
    } else {
        panel->setWindowTitle("Sonvel");
    }
    panel->show();
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
        if (event->type() == QEvent::Hide && tray_) {
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

AudioWorldWindow* SonvelApplication::openAudioWorld() {
    if (!simulated_) return nullptr;
    if (!audioWorld_) {
        audioWorld_ = std::make_unique<AudioWorldWindow>(
            simulated_->audio, simulated_->world,
            [this](ProcessID pid) -> std::optional<std::string> {
                if (!model_) return std::nullopt;
                for (const AppGroup& g : model_->groups.get()) {
                    if (std::ranges::count(g.pids, pid) > 0) return g.displayName;
                }
                return std::nullopt;
            },
            simulated_->capturePermission);
    }
    audioWorld_->show();
    audioWorld_->raise();
    return audioWorld_.get();
}

}  // namespace sonvel
