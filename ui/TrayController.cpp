#include "ui/TrayController.hpp"

#include <QtGui/qguiapplication_platform.h>
#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QEvent>
#include <QMenu>
#include <QPalette>
#include <QScreen>
#include <QSystemTrayIcon>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#if SONVEL_HAVE_XCB
#include <xcb/xcb.h>
#endif

#include "Sonvel/MixerModel.hpp"
#include "Sonvel/views/PanelState.hpp"
#include "ui/ModelBridge.hpp"
#include "ui/StatusIconPainter.hpp"

namespace sonvel {

namespace {

constexpr std::chrono::milliseconds slotWatchInterval{500};
// A tray may paint its background a moment after it embeds the icon.
constexpr int samplesAfterChange = 3;
// And its theme may change under us: a 22-pixel capture now and then is cheap.
constexpr int resampleEveryTicks = 20;

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

// The test Qt makes before it uses its D-Bus tray rather than XEmbed.
bool statusNotifierHost() {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() ||
        !bus.interface()->isServiceRegistered(watcherService)) {
        return false;
    }
    QDBusInterface host(watcherService, QStringLiteral("/StatusNotifierWatcher"), watcherService,
                        bus);
    // Asked from the interface's thread: a watcher that hangs costs a
    // moment, not a frozen panel.
    host.setTimeout(250);
    return host.property("IsStatusNotifierHostRegistered").toBool();
}

// An XEmbed tray owns the screen's tray selection.
bool xembedTray() {
#if SONVEL_HAVE_XCB
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    // The offscreen platform answers as X11 too, without a connection.
    if (xcb_connection_t* c = x11 ? x11->connection() : nullptr) {
        int display = 0;
        int screen = 0;
        char* host = nullptr;
        if (!xcb_parse_display(nullptr, &host, &display, &screen)) screen = 0;
        std::free(host);
        const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 0, std::uint16_t(name.size()), name.constData()), nullptr);
        if (!atom) return false;
        xcb_get_selection_owner_reply_t* owner =
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr);
        const bool owned = owner && owner->owner != XCB_WINDOW_NONE;
        std::free(owner);
        std::free(atom);
        return owned;
    }
#endif
    return false;
}

// What the screen shows at `area`. On X11 that is the framebuffer as the
// server holds it: Qt's own capture copies with the children included, which
// for an icon the tray composites itself gives our pixels over the bar,
// where the tray may in fact show them over black.
QImage shownOnScreen(QScreen& screen, const QRect& area) {
#if SONVEL_HAVE_XCB
    if (auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>()) {
        xcb_connection_t* c = x11->connection();
        const QRect pixels(area.topLeft() * screen.devicePixelRatio(),
                           area.size() * screen.devicePixelRatio());
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        xcb_get_image_reply_t* reply = xcb_get_image_reply(
            c,
            xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, std::int16_t(pixels.x()),
                          std::int16_t(pixels.y()), std::uint16_t(pixels.width()),
                          std::uint16_t(pixels.height()), ~0u),
            nullptr);
        QImage image;
        // Depth 24 in 32-bit pixels is the layout of Qt's RGB32.
        if (reply && reply->depth == 24 &&
            xcb_get_image_data_length(reply) == pixels.width() * pixels.height() * 4) {
            image = QImage(xcb_get_image_data(reply), pixels.width(), pixels.height(),
                           QImage::Format_RGB32)
                        .copy();
        }
        std::free(reply);
        if (!image.isNull()) return image;
    }
#endif
    const QPoint at = area.topLeft() - screen.geometry().topLeft();
    return screen.grabWindow(0, at.x(), at.y(), area.width(), area.height()).toImage();
}

}  // namespace

TrayController::TrayController(std::shared_ptr<MixerModel> model, Actions actions, QObject* parent)
    : QObject(parent),
      model_(std::move(model)),
      actions_(std::move(actions)),
      menu_(std::make_unique<QMenu>()),
      tray_(new QSystemTrayIcon(this)) {
    menu_->setToolTipsVisible(true);
    connect(menu_->addAction("Show Panel"), &QAction::triggered, this, [this] {
        if (actions_.showPanel) {
            actions_.showPanel();
        } else {
            actions_.togglePanel();
        }
    });
    pause_ = menu_->addAction("Pause");
    connect(pause_, &QAction::triggered, this,
            [this] { model_->setPaused(!model_->preferences->isPaused); });
    menu_->addSeparator();
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
    QAction* settings = menu_->addAction("Settings…");
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
                if (reason != QSystemTrayIcon::Trigger) return;
                clickedAt_ = QCursor::pos();
                actions_.togglePanel();
            });
    connect(new ModelBridge(*model_, this), &ModelBridge::changed, this, &TrayController::update);
    // A desktop switching to a dark or light style changes the ink.
    qApp->installEventFilter(this);
    themed_ = statusNotifierHost();
    ink_ = QApplication::palette().color(QPalette::WindowText);
    connect(&slotWatch_, &QTimer::timeout, this, &TrayController::watchSlot);
    slotWatch_.start(slotWatchInterval);
    update();
    tray_->show();
}

TrayController::~TrayController() {
    tray_->hide();
}

void TrayController::update() {
    const Preferences& preferences = model_->preferences;
    pause_->setText(preferences.isPaused ? "Resume" : "Pause");
    const StatusIcon::Variant now = StatusIcon::variant(preferences, model_->gate());
    const QString tip = QString::fromStdString(StatusIcon::tooltip(
        now, StatusIcon::turnedDown(preferences, model_->groups, model_->statuses)));
    // A D-Bus tray announces every change to its host.
    if (tray_->toolTip() != tip) tray_->setToolTip(tip);
    if (drawn_ && now == variant_) return;
    variant_ = now;
    draw();
}

void TrayController::draw() {
    drawn_ = true;
    if (themed_) {
        if (auto themed = StatusIconPainter::themedIcon(variant_, ink_)) {
            tray_->setIcon(*themed);
            return;
        }
    }
    const int side = std::min(slot_.width(), slot_.height());
    shown_ = slot_.isEmpty() ? QImage() : StatusIconPainter::renderFilling(variant_, side, ink_);
    tray_->setIcon(StatusIconPainter::trayIcon(variant_, ink_, slot_.size()));
}

void TrayController::watchSlot() {
    const QRect geometry = tray_->geometry();
    if (geometry != slot_) {
        slot_ = geometry;
        // Only an XEmbed tray has a place on screen to give.
        if (!slot_.isEmpty()) themed_ = false;
        samplesDue_ = samplesAfterChange;
        draw();
    }
    if (slot_.isEmpty()) return;
    if (samplesDue_ > 0 || ++ticks_ % resampleEveryTicks == 0) {
        samplesDue_ = std::max(0, samplesDue_ - 1);
        pickInk();
    }
}

void TrayController::pickInk() {
    std::optional<QColor> ink;
    if (slot_.isEmpty()) {
        ink = QApplication::palette().color(QPalette::WindowText);
    } else if (QScreen* screen = QGuiApplication::screenAt(slot_.center())) {
        const QImage grab = shownOnScreen(*screen, slot_);
        if (const auto background = StatusIconPainter::backgroundBehind(grab, shown_))
            ink = StatusIconPainter::inkAgainst(*background);
    }
    // A capture that fails keeps the ink the last one chose.
    if (!ink || (drawn_ && *ink == ink_)) return;
    ink_ = *ink;
    draw();
}

bool TrayController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) {
        samplesDue_ = samplesAfterChange;
        pickInk();
    }
    return QObject::eventFilter(watched, event);
}

// Qt 6.4 looks once, on the first question about trays, whether its icons
// are to speak D-Bus or XEmbed: asked before any tray is up, it settles on
// XEmbed for good, and a StatusNotifier host that comes later never sees the
// icon. So Qt is asked only once some tray is there; from then on it answers.
bool TrayController::trayAvailable() {
    static bool qtAsked = false;
    if (!qtAsked && !statusNotifierHost() && !xembedTray()) return false;
    qtAsked = true;
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QRect TrayController::iconGeometry() const {
    const QRect geometry = tray_->geometry();
    if (geometry.isEmpty() && clickedAt_) return {*clickedAt_, QSize(1, 1)};
    return geometry;
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
