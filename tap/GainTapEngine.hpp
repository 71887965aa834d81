#pragma once

#include <atomic>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/EngineHandover.hpp"
#include "core/EngineMeter.hpp"
#include "core/GainControl.hpp"
#include "core/GainRenderer.hpp"
#include "tap/AudioHardware.hpp"
#include "tap/AudioSystem.hpp"
#include "tap/CleanupStack.hpp"
#include "tap/GainTapEngineError.hpp"
#include "tap/TapPlan.hpp"

namespace sonvel {

// What building an engine measured.
struct GainTapSetupInfo {
    double tapSampleRate = 0;
    long tapChannels = 0;
    std::uint32_t tapFormatFlags = 0;
    std::string outputDeviceName;
    std::string outputDeviceUID;
    std::vector<long> aggregateInputBuffers;
    std::vector<long> aggregateOutputBuffers;
    long firstTapBuffer = 0;
    bool deviceInputsDisabled = false;
    double sampleRate = 0;
    std::uint32_t bufferFrames = 0;
    std::uint32_t outputLatencyFrames = 0;
    std::uint32_t outputSafetyOffsetFrames = 0;
    std::uint32_t inputLatencyFrames = 0;
    std::uint32_t inputSafetyOffsetFrames = 0;

    [[nodiscard]] double estimatedLatencyMilliseconds() const;

    bool operator==(const GainTapSetupInfo&) const = default;
};

struct EngineCounters {
    std::atomic<long> overloads{0};
    std::atomic<long> faults{0};
};

// One running volume control: a private tap that mutes an application, a
// private aggregate device joining it with an output device, and an IO
// procedure that plays the tapped audio again at the wanted gain. Building
// does everything but start IO; stopping or dropping the engine releases every
// object it created, newest first.
class GainTapEngine {
  public:
    struct Configuration {
        std::string name;
        std::vector<AudioObjectID> processObjectIDs;
        std::optional<std::vector<std::string>> bundleIDs;
        TapPlan::Muting muting = TapPlan::Muting::whileTapped;
        bool disableDeviceInputs = false;
        OutputDeviceInfo outputDevice;
        long measurementSegments = 0;
        // Where the engine's listeners and `onFault` run; none: a serial queue
        // of the engine's own. Tests pass a stepped queue.
        std::shared_ptr<DispatchQueue> listenerQueue;
    };
    // An output that went away is not a broken engine: the host moves the
    // application to another output at once instead of retrying later.
    enum class FaultKind { ioStopped, outputGone };
    // Called at most once, on the engine's listener queue, with a sentence.
    using OnFault = std::function<void(FaultKind kind, const std::string& message)>;

    static constexpr const char* listenerQueueLabel = "app.velmorra.sonvel.engine.listener";

    static std::expected<std::shared_ptr<GainTapEngine>, EngineError> make(
        std::shared_ptr<AudioHardware> hal, Configuration configuration, float initialGain,
        OnFault onFault);
    ~GainTapEngine();
    GainTapEngine(const GainTapEngine&) = delete;
    GainTapEngine& operator=(const GainTapEngine&) = delete;

    std::expected<void, EngineError> start();
    // Before start: this engine replaces `old` and takes its application over
    // at `gain` (see EngineTakeover). Returns the shared hand-over state.
    std::shared_ptr<EngineTakeover> takeOver(const GainTapEngine& old, float gain);
    std::vector<CleanupStack::Failure> stop();
    // For after an audio-server restart: the objects are gone, so nothing is
    // destroyed; the engine just forgets them.
    void abandon();
    // Whether the engine's aggregate device still exists on the audio server
    // it is talking to now. After a restart only engines built on the new
    // server are alive; the others' objects went with the old one.
    [[nodiscard]] bool isAlive() const;

    [[nodiscard]] const Configuration& configuration() const { return configuration_; }
    [[nodiscard]] GainControl& control() const { return *control_; }
    [[nodiscard]] EngineMeter& meter() const { return *meter_; }
    // The meter alone, so a reader never keeps the engine's objects alive.
    [[nodiscard]] const std::shared_ptr<EngineMeter>& sharedMeter() const { return meter_; }
    [[nodiscard]] const std::shared_ptr<SegmentedMeter>& segments() const { return segments_; }
    [[nodiscard]] const std::optional<GainTapSetupInfo>& setup() const { return setup_; }
    [[nodiscard]] bool isRunning() const { return isRunning_; }
    [[nodiscard]] long overloadCount() const;
    [[nodiscard]] long faultCount() const;
    [[nodiscard]] AudioObjectID aggregateID() const { return aggregateID_; }
    // Where the engine's listeners and `onFault` run.
    [[nodiscard]] const std::shared_ptr<DispatchQueue>& listenerQueue() const {
        return listenerQueue_;
    }

  private:
    struct Shared;
    GainTapEngine(std::shared_ptr<AudioHardware> hal, Configuration configuration,
                  float initialGain, OnFault onFault);
    std::expected<void, EngineError> build();

    std::shared_ptr<AudioHardware> hal_;
    Configuration configuration_;
    std::shared_ptr<GainControl> control_;
    std::shared_ptr<EngineMeter> meter_;
    std::shared_ptr<SegmentedMeter> segments_;
    std::shared_ptr<GainRenderer> renderer_;
    std::optional<GainTapSetupInfo> setup_;
    bool isRunning_ = false;
    CleanupStack cleanup_;
    std::shared_ptr<Shared> shared_;
    AudioObjectID aggregateID_ = 0;
    std::string aggregateUID_;
    std::optional<AudioDeviceIOProcID> procID_;
    std::shared_ptr<DispatchQueue> listenerQueue_;
};

// Lets the hand-over replace one gain tap engine by another.
class GainTapHandoverEngine final : public HandoverEngine {
  public:
    explicit GainTapHandoverEngine(std::shared_ptr<GainTapEngine> engine)
        : engine_(std::move(engine)) {}

    GainControl& control() override { return engine_->control(); }
    const EngineMeter& meter() const override { return engine_->meter(); }
    std::shared_ptr<EngineTakeover> takeOver(HandoverEngine& old, float gain) override {
        const auto* other = dynamic_cast<GainTapHandoverEngine*>(&old);
        return other ? engine_->takeOver(*other->engine_, gain) : nullptr;
    }
    std::expected<void, std::string> startIO() override;
    void stopIO() override { (void)engine_->stop(); }

    [[nodiscard]] const std::shared_ptr<GainTapEngine>& engine() const { return engine_; }

  private:
    std::shared_ptr<GainTapEngine> engine_;
};

}  // namespace sonvel
