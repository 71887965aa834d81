#include "ui/TrayController.hpp"

#include <QApplication>
#include <QEvent>
#include <QMenu>
#include <QPalette>
#include <QSystemTrayIcon>
#include <algorithm>

#include "Sonvel/MixerModel.hpp"
#include "Sonvel/PanelState.hpp"
#include "ui/ModelBridge.hpp"
#include "ui/StatusIconPainter.hpp"

namespace sonvel {

TrayController::TrayController(std::shared_ptr<MixerModel> model, Actions actions, QObject* parent)
    : QObject(parent),
      model_(std::move(model)),
      actions_(std::move(actions)),
      menu_(std::make_unique<QMenu>()),
      tray_(new QSystemTrayIcon(this)) {
    menu_->setToolTipsVisible(true);
    QAction* setup = menu_->addAction("Setup…");
    if (actions_.openSetup) {
        connect(setup, &QAction::triggered, this, [this] { actions_.openSetup(); });
    } else {
        setup->setEnabled(false);
        setup->setToolTip(PanelView::setupUnavailable);
    }
    QAction* reset = menu_->addAction("Reset Audio");
    reset->setToolTip("Rebuild only Sonvel's own audio taps. System settings are not changed.");
    connect(reset, &QAction::triggered, this, [this] { model_->resetSonvelAudio(); });
    QAction* settings = menu_->addAction("Settings");
    if (actions_.openSettings) {
        connect(settings, &QAction::triggered, this, [this] { actions_.openSettings(); });
    } else {
        settings->setEnabled(false);
        settings->setToolTip(PanelView::settingsUnavailable);
    }
    if (actions_.openAudioWorld) {
        menu_->addSeparator();
        connect(menu_->addAction("Audio World…"), &QAction::triggered, this,
                [this] { actions_.openAudioWorld(); });
    }
    menu_->addSeparator();
    QAction* quit = menu_->addAction("Quit");
    quit->setShortcut(QKeySequence("Ctrl+Q"));
    connect(quit, &QAction::triggered, this, [this] { actions_.quit(); });
    tray_->setContextMenu(menu_.get());

    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) actions_.togglePanel();
            });
    connect(new ModelBridge(*model_, this), &ModelBridge::changed, this, &TrayController::update);
    // A desktop switching to a dark or light style changes the ink.
    qApp->installEventFilter(this);
    update();
    tray_->show();
}

TrayController::~TrayController() {
    tray_->hide();
}

void TrayController::update() {
    const StatusIcon::Variant now = StatusIcon::variant(model_->preferences, model_->gate());
    if (drawn_ && now == variant_) return;
    variant_ = now;
    drawn_ = true;
    tray_->setIcon(
        StatusIconPainter::icon(now, QApplication::palette().color(QPalette::WindowText)));
    tray_->setToolTip(QString::fromStdString(StatusIcon::accessibleDescription(now)));
}

bool TrayController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) {
        drawn_ = false;
        update();
    }
    return QObject::eventFilter(watched, event);
}

QRect TrayController::iconGeometry() const {
    return tray_->geometry();
}

QPoint TrayController::panelPosition(const QRect& icon, const QSize& panel, const QRect& screen) {
    QPoint at;
    if (icon.isEmpty()) {
        at = QPoint(screen.right() + 1 - panel.width(), screen.top());
    } else {
        at.setX(icon.center().x() - panel.width() / 2);
        at.setY(icon.center().y() < screen.center().y() ? icon.bottom() + 1
                                                        : icon.top() - panel.height());
    }
    at.setX(std::clamp(at.x(), screen.left(),
                       std::max(screen.left(), screen.right() + 1 - panel.width())));
    at.setY(std::clamp(at.y(), screen.top(),
                       std::max(screen.top(), screen.bottom() + 1 - panel.height())));
    return at;
}

}  // namespace sonvel
