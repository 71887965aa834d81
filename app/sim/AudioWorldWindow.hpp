#pragma once

#include <QTimer>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/sim/SpeakerLevels.hpp"
#include "platform/sim/SimulatedWorld.hpp"

class QCheckBox;
class QGridLayout;
class QLabel;
class QProgressBar;
class QPushButton;

namespace sonvel {

// A window onto the simulated audio world Sonvel runs on: plug and unplug
// devices and choose the default, start and stop each process, grant or
// withdraw capture, restart the audio server, and see what every speaker
// plays with each application's level apart. Main thread only; the audio
// system's own threads are never waited for.
class AudioWorldWindow final : public QWidget {
    Q_OBJECT
  public:
    // The application a process belongs to, as the panel names it.
    using AppName = std::function<std::optional<std::string>(ProcessID)>;

    static constexpr std::chrono::milliseconds meterInterval{200};

    AudioWorldWindow(std::shared_ptr<sim::SimulatedAudioSystem> audio,
                     std::shared_ptr<const sim::SimulatedWorld> world, AppName appName,
                     bool capturePermission, QWidget* parent = nullptr);

    // Shows the window with the capture switch in view and focused: the
    // simulated system's stand-in for the privacy pane "Open System Settings"
    // names.
    void showCaptureSwitch();

    // Reads every speaker once, as the timer does while the window shows.
    void updateMeters();
    [[nodiscard]] std::optional<SpeakerLevels::Levels> levels(const std::string& uid) const;

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    struct DeviceRow {
        QLabel* name;
        QPushButton* makeDefault;
        QPushButton* plug;
        QProgressBar* meter;
        QLabel* levels;
    };
    void renderDevices();
    std::string nameOf(const sim::SimulatedAudioSystem::ProcessSpec& process) const;
    QWidget* processesBox(QWidget* parent);

    std::shared_ptr<sim::SimulatedAudioSystem> audio_;
    std::shared_ptr<const sim::SimulatedWorld> world_;
    AppName appName_;
    std::map<ProcessID, bool> playing_;
    std::map<std::string, DeviceRow> devices_;
    std::map<std::string, SpeakerLevels::Levels> levels_;
    QTimer meterTimer_;
};

}  // namespace sonvel
