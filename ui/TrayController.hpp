#pragma once

#include <QColor>
#include <QImage>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "Sonvel/views/StatusIcon.hpp"

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace sonvel {

class MixerModel;

// The status icon in the system tray: its variant follows the model, a click
// toggles the panel, and its context menu offers the footer's actions. A tray
// host on D-Bus gets the themed symbolic icon to recolour; an XEmbed tray
// (which shows our pixels as they are) gets ink chosen against the pixels it
// draws behind the icon, at the size of its slot. Main thread only.
class TrayController final : public QObject {
    Q_OBJECT
  public:
    struct Actions {
        std::function<void()> togglePanel;
        std::function<void()> quit;
        // Absent when not running on the simulated audio system.
        std::function<void()> openAudioWorld;
        // Absent: the menu item is disabled and says why.
        std::function<void()> openSetup;
        std::function<void()> openSettings;
        // Absent: "Show Panel" toggles it.
        std::function<void()> showPanel;
    };

    TrayController(std::shared_ptr<MixerModel> model, Actions actions, QObject* parent);
    ~TrayController() override;

    // Where the icon is on screen; empty when the tray does not say.
    // Where the icon is; a StatusNotifier tray tells nobody, so there it is
    // the point the user last clicked it at.
    [[nodiscard]] QRect iconGeometry() const;
    [[nodiscard]] StatusIcon::Variant variant() const { return variant_; }
    [[nodiscard]] QSystemTrayIcon* trayIcon() const { return tray_; }
    [[nodiscard]] QMenu* menu() const { return menu_.get(); }
    // The ink the icon is drawn in.
    [[nodiscard]] QColor ink() const { return ink_; }

    // Whether a tray is there to take the icon: an XEmbed tray or a
    // StatusNotifier watcher with a host. Cheap enough to poll.
    static bool trayAvailable();

    // Under the icon when it sits in the top half of the screen, over it
    // otherwise, kept on the screen; the top-right corner without an icon.
    static QPoint panelPosition(const QRect& icon, const QSize& panel, const QRect& screen);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void update();
    void draw();
    // Follows the slot's geometry, which XEmbed trays give only once the icon
    // is embedded and may change when the panel is resized.
    void watchSlot();
    void pickInk();

    std::shared_ptr<MixerModel> model_;
    Actions actions_;
    std::unique_ptr<QMenu> menu_;
    QAction* pause_ = nullptr;
    QSystemTrayIcon* tray_;
    StatusIcon::Variant variant_ = StatusIcon::Variant::locked;
    bool drawn_ = false;
    bool themed_ = false;
    QColor ink_;
    QRect slot_;
    std::optional<QPoint> clickedAt_;
    // What the tray was last given at its slot's size, to tell our pixels
    // from the tray's in a capture.
    QImage shown_;
    QTimer slotWatch_;
    int samplesDue_ = 0;
    int ticks_ = 0;
};

}  // namespace sonvel
