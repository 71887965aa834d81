#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

#include "Sonvel/MixerModel.hpp"
#include "platform/sim/SimulatedAudioSystem.hpp"
#include "platform/sim/SimulatedWorld.hpp"

namespace sonvel {

class AudioWorldWindow;

// What only the simulated audio system has beside the shell: its Audio World
// window (devices, processes, the capture switch that stands in for the
// privacy pane, a meter per speaker) and the upkeep of its speakers. Main
// thread only.
class SimulatorWindows final : public QObject {
  public:
    struct Simulation {
        std::shared_ptr<sim::SimulatedAudioSystem> audio;
        std::shared_ptr<const sim::SimulatedWorld> world;
        bool capturePermission = true;
    };

    // `model` gives the shell's model once it runs (none before): the window
    // names each process's tone after its application.
    SimulatorWindows(Simulation simulation, std::function<std::shared_ptr<MixerModel>()> model,
                     QObject* parent = nullptr);
    ~SimulatorWindows() override;

    // Opens the Audio World window, or brings it forward; at its capture
    // switch when asked.
    AudioWorldWindow* open(bool atCaptureSwitch = false);

  private:
    void drainSpeakers();

    Simulation simulation_;
    std::function<std::shared_ptr<MixerModel>()> model_;
    std::unique_ptr<AudioWorldWindow> window_;
    QTimer speakerDrain_;
};

}  // namespace sonvel
