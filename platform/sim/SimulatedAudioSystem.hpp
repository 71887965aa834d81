#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/Signal.hpp"
#include "tap/AudioHardware.hpp"

namespace sonvel::sim {

// An in-process audio system behind the hardware seam: devices, processes that
// play signals, process taps, aggregate devices, IO procedures run by a clock
// per device, property listeners on their queues, injectable faults, and a
// speaker per device that tests measure.
//
// Each IO cycle of a device renders every process that plays to it (less the
// ones a tap mutes) into its speaker, runs the IO procedures of the started
// aggregates built on it with the tapped audio as input, and mixes what they
// write into the speaker too. In stepped mode a test advances the clocks with
// `step`; in real-time mode a thread per device paces cycles to its buffer
// period.
class SimulatedAudioSystem final : public AudioHardware {
  public:
    enum class ClockMode { stepped, realTime };

    struct DeviceSpec {
        std::string uid;
        std::string name;
        std::vector<std::uint32_t> outputStreams{2};  // channels per output buffer
        std::vector<std::uint32_t> inputStreams;      // channels per input buffer
        double sampleRate = 48000;
        std::uint32_t bufferFrames = 512;
        std::uint32_t outputLatency = 0;
        std::uint32_t inputLatency = 0;
        std::uint32_t outputSafetyOffset = 0;
        std::uint32_t inputSafetyOffset = 0;
        bool hidden = false;
        ProcessID hogModeOwner = -1;
    };

    struct ProcessSpec {
        ProcessID pid = 0;
        std::string bundleID;  // empty: the process reports none
        Signal signal;
        bool playing = false;
        bool runningInput = false;
        // Devices it plays to, by UID; empty: it follows the default output.
        std::vector<std::string> outputDeviceUIDs;
    };

    // Seam calls a fault can be attached to.
    enum class Call {
        getPropertyDataSize,
        getPropertyData,
        setPropertyData,
        createProcessTap,
        destroyProcessTap,
        createAggregateDevice,
        destroyAggregateDevice,
        createIOProcID,
        destroyIOProcID,
        deviceStart,
        deviceStop,
        addPropertyListener,
        removePropertyListener,
    };

    // Makes the `onCall`-th matching call fail with `status` (every matching
    // call from then on when `persistent`).
    struct Fault {
        std::optional<Call> call;  // none: any seam call
        OSStatus status = hal::unspecifiedError;
        std::optional<AudioObjectID> object;
        std::optional<AudioObjectPropertySelector> selector;
        int onCall = 1;
        bool persistent = false;
    };

    struct Accounting {
        std::size_t taps = 0;
        std::size_t aggregates = 0;
        std::size_t ioProcs = 0;
        std::size_t startedIOProcs = 0;
        std::size_t listeners = 0;

        [[nodiscard]] std::size_t total() const { return taps + aggregates + ioProcs + listeners; }
        bool operator==(const Accounting&) const = default;
    };

    explicit SimulatedAudioSystem(ClockMode mode = ClockMode::stepped);
    ~SimulatedAudioSystem() override;
    SimulatedAudioSystem(const SimulatedAudioSystem&) = delete;
    SimulatedAudioSystem& operator=(const SimulatedAudioSystem&) = delete;

    // The world. Changes notify the listeners of the properties they touch.
    AudioObjectID addDevice(DeviceSpec spec);
    // Unplugs a device: it dies (`livn`), leaves the device list and, if it
    // was the default output, the first remaining output device takes over.
    void removeDevice(AudioObjectID device);
    void setDefaultOutput(AudioObjectID device);
    void setHogModeOwner(AudioObjectID device, ProcessID owner);
    AudioObjectID addProcess(ProcessSpec spec);
    void removeProcess(AudioObjectID process);
    void setPlaying(AudioObjectID process, bool playing);
    void setSignal(AudioObjectID process, Signal signal);
    void setOutputDevices(AudioObjectID process, std::vector<std::string> deviceUIDs);
    // Without permission every tap delivers digital silence (and still mutes).
    void setCapturePermission(bool granted);
    // The format every new tap reports; Float32 stereo at 48 kHz by default.
    void setTapFormat(AudioStreamBasicDescription format);

    [[nodiscard]] AudioObjectID deviceID(const std::string& uid) const;
    [[nodiscard]] AudioObjectID processObject(ProcessID pid) const;
    [[nodiscard]] AudioObjectID defaultOutput() const;

    // Faults.
    void inject(Fault fault);
    void clearFaults();
    // Runs before every seam call, outside the simulator's lock, so a test can
    // change the world between two calls of one operation.
    void setCallHook(std::function<void(Call)> hook);
    // Wraps every IO block call (on the IO thread), for tests that watch what
    // the block does there, such as heap allocations.
    void setIOCallWrapper(std::function<void(const std::function<void()>&)> wrapper);
    void overload(AudioObjectID aggregate);
    void stopIOAbnormally(AudioObjectID aggregate);
    // The audio server restarts: every tap, aggregate and IO procedure is gone,
    // and so is every listener but those on the system object; `srst` fires.
    void restartServer();
    // While not running every seam call fails with 'stop'.
    void setServerRunning(bool running);

    // Clock. Stepped mode only: runs `cycles` IO cycles of every clocked device.
    void step(int cycles = 1);
    // Cycles a device has run.
    [[nodiscard]] std::uint64_t cycles(AudioObjectID device) const;

    // The speaker of a physical device: everything it played since the last
    // clear, interleaved over its output channels.
    [[nodiscard]] std::vector<float> speaker(AudioObjectID device) const;
    [[nodiscard]] std::size_t speakerChannels(AudioObjectID device) const;
    void clearSpeaker(AudioObjectID device);

    [[nodiscard]] Accounting accounting() const;

    // The seam.
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 std::span<const std::byte> qualifier,
                                 std::uint32_t& outSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::span<const std::byte> qualifier, std::uint32_t& ioSize,
                             void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::span<const std::byte> qualifier, std::uint32_t size,
                             const void* data) override;
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createAggregateDevice(const nlohmann::json& description,
                                   AudioObjectID& outDevice) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    OSStatus createIOProcIDWithBlock(AudioObjectID device, std::shared_ptr<DispatchQueue> queue,
                                     AudioDeviceIOBlock block,
                                     AudioDeviceIOProcID& outProcID) override;
    OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID proc) override;
    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID proc) override;
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID proc) override;
    OSStatus addPropertyListenerBlock(AudioObjectID object,
                                      const AudioObjectPropertyAddress& address,
                                      std::shared_ptr<DispatchQueue> queue,
                                      ListenerBlock block) override;
    OSStatus removePropertyListenerBlock(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address,
                                         std::shared_ptr<DispatchQueue> queue,
                                         ListenerBlock block) override;

  private:
    struct Device;
    struct Process;
    struct Tap;
    struct IOProc;
    struct Aggregate;
    struct Listener;
    struct Clock;
    struct Bytes;

    OSStatus admit(Call call, AudioObjectID object,
                   std::optional<AudioObjectPropertySelector> selector = std::nullopt);
    OSStatus readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          std::span<const std::byte> qualifier, Bytes& out) const;
    void notify(AudioObjectID object, AudioObjectPropertySelector selector);
    void dropListenersOn(AudioObjectID object);
    void startClock(AudioObjectID device);
    std::shared_ptr<Clock> takeClock(AudioObjectID device);
    void runCycle(Clock& clock);
    bool isMuted(AudioObjectID id, const Process& process) const;
    bool tapIncludes(const Tap& tap, AudioObjectID id, const Process& process) const;
    void followDefault(AudioObjectID previous);
    std::vector<AudioObjectID> deviceList() const;
    void waitForCycle(AudioObjectID device);

    ClockMode mode_;
    mutable std::mutex mutex_;
    AudioObjectID nextID_ = 100;
    AudioDeviceIOProcID nextProc_ = 1;
    std::map<AudioObjectID, Device> devices_;
    std::map<AudioObjectID, Process> processes_;
    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, Aggregate> aggregates_;
    std::vector<std::shared_ptr<Listener>> listeners_;
    std::map<AudioObjectID, std::shared_ptr<Clock>> clocks_;
    AudioObjectID defaultOutput_ = hal::unknownObject;
    bool capturePermission_ = true;
    bool serverRunning_ = true;
    AudioStreamBasicDescription tapFormat_;
    std::vector<Fault> faults_;
    std::vector<int> faultCounts_;
    std::function<void(Call)> callHook_;
    std::function<void(const std::function<void()>&)> ioCallWrapper_;
};

}  // namespace sonvel::sim
