#pragma once

#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <functional>
#include <memory>

#include "Sonvel/StatusIcon.hpp"

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace sonvel {

class MixerModel;

// The status icon in the system tray: its variant follows the model, a click
// toggles the panel, and its context menu offers the footer's actions.
// Main thread only.
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
    };

    TrayController(std::shared_ptr<MixerModel> model, Actions actions, QObject* parent);
    ~TrayController() override;

    // Where the icon is on screen; empty when the tray does not say.
    [[nodiscard]] QRect iconGeometry() const;
    [[nodiscard]] StatusIcon::Variant variant() const { return variant_; }
    [[nodiscard]] QSystemTrayIcon* trayIcon() const { return tray_; }
    [[nodiscard]] QMenu* menu() const { return menu_.get(); }

    // Under the icon when it sits in the top half of the screen, over it
    // otherwise, kept on the screen; the top-right corner without an icon.
    static QPoint panelPosition(const QRect& icon, const QSize& panel, const QRect& screen);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void update();

    std::shared_ptr<MixerModel> model_;
    Actions actions_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* tray_;
    StatusIcon::Variant variant_ = StatusIcon::Variant::locked;
    bool drawn_ = false;
};

}  // namespace sonvel
