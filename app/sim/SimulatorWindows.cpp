#include "app/sim/SimulatorWindows.hpp"

#include <algorithm>
#include <chrono>

#include "app/sim/AudioWorldWindow.hpp"

namespace sonvel {

namespace {
constexpr std::chrono::seconds speakerDrainInterval{10};
}  // namespace

SimulatorWindows::SimulatorWindows(Simulation simulation,
                                   std::function<std::shared_ptr<MixerModel>()> model,
                                   QObject* parent)
    : QObject(parent), simulation_(std::move(simulation)), model_(std::move(model)) {
    connect(&speakerDrain_, &QTimer::timeout, this, &SimulatorWindows::drainSpeakers);
    speakerDrain_.start(speakerDrainInterval);
}

SimulatorWindows::~SimulatorWindows() = default;

// The simulated speakers keep what they played for measuring, up to a limit
// past which every IO cycle moves the whole kept minute of audio: a core's
// worth of work with five devices. Only the Audio World window measures them
// (and empties them as it reads), so while it is closed nobody needs it kept.
void SimulatorWindows::drainSpeakers() {
    if (window_ && window_->isVisible()) return;
    for (const auto& device : simulation_.world->devices()) {
        const AudioObjectID id = simulation_.audio->deviceID(device.uid);
        if (id != hal::unknownObject) simulation_.audio->clearSpeaker(id);
    }
}

AudioWorldWindow* SimulatorWindows::open(bool atCaptureSwitch) {
    if (!window_) {
        window_ = std::make_unique<AudioWorldWindow>(
            simulation_.audio, simulation_.world,
            [this](ProcessID pid) -> std::optional<std::string> {
                const auto model = model_ ? model_() : nullptr;
                if (!model) return std::nullopt;
                for (const AppGroup& g : model->groups.get()) {
                    if (std::ranges::count(g.pids, pid) > 0) return g.displayName;
                }
                return std::nullopt;
            },
            simulation_.capturePermission);
    }
    window_->show();
    window_->raise();
    if (atCaptureSwitch) window_->showCaptureSwitch();
    return window_.get();
}

}  // namespace sonvel
