#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <memory>
#include <optional>

#include "Sonvel/MixerModel.hpp"
#include "Sonvel/PlatformWording.hpp"
#include "Sonvel/views/UpdateFeed.hpp"

namespace sonvel {

class MixerPanel;
class TrayController;
class AppWindows;

// The application shell: owns the one model, starts it when asked (once the
// event loop runs) and shuts it down on quit, so every application has its
// normal volume back before the process ends. Shows the status icon and drops
// the panel from it, or, without a system tray, shows the panel as a window
// whose closing quits. Main thread only.
class SonvelApplication final : public QObject {
    Q_OBJECT
  public:
    struct Options {
        // A window even where a tray exists.
        bool panelAsWindow = false;
        // What "Check for Updates…" asks; none leaves it disabled.
        std::shared_ptr<UpdateChecker> updates;
        // The audio system's own window, where it has one (the simulated
        // system's Audio World); with `true`, at its capture switch, which
        // stands in for a privacy pane.
        std::function<void(bool atCaptureSwitch)> openAudioWorld;
    };

    SonvelApplication(MixerModel::Environment environment, Options options,
                      QObject* parent = nullptr);
    ~SonvelApplication() override;

    void start();
    // Shuts the model down, then leaves the event loop.
    void quit();

    [[nodiscard]] const std::shared_ptr<MixerModel>& model() const { return model_; }
    [[nodiscard]] bool usesTray() const { return tray_ != nullptr; }
    [[nodiscard]] TrayController* tray() const { return tray_; }
    [[nodiscard]] MixerPanel* panel() const;
    void openPanel();
    void closePanel();
    void togglePanel();
    // Opens the setup or settings window, or brings the open one forward.
    void openSetup();
    void openSettings();
    [[nodiscard]] AppWindows* windows() const { return windows_.get(); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void placePanel();
    std::optional<std::string> iconName(const std::string& appPath) const;
    void followTray(bool available);

    MixerModel::Environment environment_;
    Options options_;
    std::shared_ptr<MixerModel> model_;
    TrayController* tray_ = nullptr;
    QPointer<MixerPanel> panel_;
    const QObject* watchedPanel_ = nullptr;
    bool quitting_ = false;
    std::unique_ptr<AppWindows> windows_;
    // A click on the icon while the panel is open first closes the panel (it
    // loses focus), then arrives as a toggle: it must not open it again.
    std::chrono::steady_clock::time_point panelClosedAt_{};
};

}  // namespace sonvel
