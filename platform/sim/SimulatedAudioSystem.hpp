#pragma once

#include <atomic>
#include <chrono>
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
#include "tap/ListenerRegistration.hpp"
#include "tap/PropertyBytes.hpp"

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

    // What a fault does to the call it fires on.
    enum class Effect {
        fail,             // fails with `status` and changes nothing
        zeroObject,       // create calls only: succeeds, creates nothing, hands back ID 0
        shortRead,        // getPropertyData only: succeeds with fewer bytes than the value has
        failAfterEffect,  // does what was asked (and writes the out ID), then reports `status`
        proceed,          // only the delay
    };

    // Fires on the `onCall`-th matching call (and every matching call from
    // then on when `persistent`). Every aim given must match: the call, the
    // object it names, the property selector and scope, the IO procedure it
    // names (destroy, start, stop), and one application's tap or aggregate:
    // its tap covers `tappedProcess` (a process object ID), and its tap's or
    // aggregate's description name contains `nameContains`. An application
    // aim matches the create calls of those objects and every call on them.
    struct Fault {
        std::optional<Call> call;  // none: any seam call
        OSStatus status = hal::unspecifiedError;
        std::optional<AudioObjectID> object;
        std::optional<AudioObjectPropertySelector> selector;
        int onCall = 1;
        bool persistent = false;
        std::optional<AudioObjectPropertyScope> scope;
        std::optional<AudioDeviceIOProcID> proc;
        std::optional<AudioObjectID> tappedProcess;
        std::string nameContains;  // empty: no name aim
        Effect effect = Effect::fail;
        std::uint32_t readBytes = 0;  // shortRead: at most this many bytes arrive
        // The call blocks this long first: see setDelayHandler.
        std::chrono::nanoseconds delay{0};
    };

    // Disturbs IO cycles of started IO procedures that match its aims (as a
    // Fault's), from the `onCycle`-th matching one for `cycles` of them:
    // - overload: the procedure runs late; what it wrote misses the cycle (the
    //   device plays without it) and the aggregate notifies `over`;
    // - dropInput: every input buffer of the cycle is zeros;
    // - skip: the procedure is not called.
    struct CycleFault {
        enum class Kind { overload, dropInput, skip };
        Kind kind = Kind::skip;
        std::optional<AudioObjectID> aggregate;
        std::optional<AudioDeviceIOProcID> proc;
        std::optional<AudioObjectID> tappedProcess;
        std::string nameContains;  // empty: no name aim
        int onCycle = 1;
        int cycles = 1;
    };

    using FaultID = std::uint64_t;

    // A physical device changing format while it runs. Aggregates clocked by
    // it follow at once: their IO keeps running at the new rate and with the
    // new buffer layout, as a real server's do, and both the device and each
    // such aggregate notify `nsrt` and/or `slay`. A layout change restarts
    // the device's speaker.
    struct FormatChange {
        std::optional<double> sampleRate;
        std::optional<std::vector<std::uint32_t>> outputStreams;
        std::optional<std::vector<std::uint32_t>> inputStreams;
    };

    struct RestartOptions {
        // Every process and device gets a fresh object ID, as a real server
        // may hand out; the default output follows.
        bool renumber = false;
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

    // Every object a client created or registered that is still alive.
    struct LiveObjects {
        struct Tap {
            AudioObjectID id;
            TapDescription description;
        };
        struct Aggregate {
            AudioObjectID id;
            std::string uid;
            std::string name;
            std::string outputDeviceUID;  // its main device; empty when it clocks itself
            std::vector<AudioObjectID> taps;
        };
        struct IOProc {
            AudioObjectID device;
            AudioDeviceIOProcID id;
            bool started;
        };
        struct Listener {
            AudioObjectID object;
            AudioObjectPropertyAddress address;
            std::string queue;  // its label
        };
        std::vector<Tap> taps;
        std::vector<Aggregate> aggregates;
        std::vector<IOProc> ioProcs;
        std::vector<Listener> listeners;
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
    // One process withheld from capture (as protected content is): taps
    // deliver silence for it alone, and still mute it. Follows the process
    // across a renumbering restart.
    void setCapturePermission(AudioObjectID process, bool granted);
    // The format every new tap reports; Float32 stereo at 48 kHz by default.
    void setTapFormat(AudioStreamBasicDescription format);

    [[nodiscard]] AudioObjectID deviceID(const std::string& uid) const;
    [[nodiscard]] AudioObjectID processObject(ProcessID pid) const;
    [[nodiscard]] AudioObjectID defaultOutput() const;

    // Faults. `lift` takes one fault away, whether or not it has fired yet;
    // it says whether the fault was still there.
    FaultID inject(Fault fault);
    FaultID injectCycleFault(CycleFault fault);
    bool lift(FaultID fault);
    void clearFaults();
    // Runs before every seam call, outside the simulator's lock, so a test can
    // change the world between two calls of one operation.
    void setCallHook(std::function<void(Call)> hook);
    // Where a fault's delay goes, on the calling thread and outside the lock.
    // Without a handler a real-time system sleeps for it and a stepped one
    // does not wait at all, so stepped runs stay deterministic; a test that
    // wants the delay to take virtual time (or to block until it says so)
    // handles it here.
    void setDelayHandler(std::function<void(Call, std::chrono::nanoseconds)> handler);
    // Wraps every IO block call (on the IO thread), for tests that watch what
    // the block does there, such as heap allocations.
    void setIOCallWrapper(std::function<void(const std::function<void()>&)> wrapper);
    void overload(AudioObjectID aggregate);
    void stopIOAbnormally(AudioObjectID aggregate);
    void changeFormat(AudioObjectID device, FormatChange change);
    // The audio server restarts. It first forgets every tap, aggregate, IO
    // procedure (their IO has stopped when this returns) and every listener
    // but those on the system object, and only then notifies `dev#` (with
    // `prs#` and `dOut` when it renumbered) and `srst`: a client that
    // registers again on hearing of it keeps its registrations.
    void restartServer() { restartServer(RestartOptions{}); }
    void restartServer(RestartOptions options);
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
    [[nodiscard]] LiveObjects liveObjects() const;

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
    using Listener = ListenerRegistration;
    struct Clock;
    using Bytes = PropertyBytes;
    struct LiveFault;
    struct LiveCycleFault;

    // One seam call as faults see it.
    struct Request {
        Call call;
        AudioObjectID object = hal::systemObject;
        const AudioObjectPropertyAddress* address = nullptr;
        std::optional<AudioDeviceIOProcID> proc;
        const TapDescription* tap = nullptr;        // createProcessTap
        const nlohmann::json* aggregate = nullptr;  // createAggregateDevice
    };
    // What the faults decided about one call.
    struct Verdict {
        std::optional<OSStatus> refusal;  // the call fails at once with this
        bool zeroObject = false;
        std::optional<std::uint32_t> readBytes;
        OSStatus afterEffect = hal::noError;  // what the call reports once it did its work
    };
    // The tap descriptions and names an application aim compares.
    struct Subject {
        std::vector<const TapDescription*> taps;
        std::vector<std::string> names;
    };

    // What the cycle faults do to one IO procedure's cycle.
    struct CycleDisturbance {
        bool late = false;
        bool inputDropped = false;
        bool skipped = false;
    };

    Verdict admit(const Request& request);
    CycleDisturbance disturbance(AudioObjectID aggregate, AudioDeviceIOProcID proc);
    [[nodiscard]] Subject subjectOf(const Request& request) const;
    [[nodiscard]] bool aimsAt(const std::optional<AudioObjectID>& tappedProcess,
                              const std::string& nameContains, const Subject& subject) const;
    OSStatus readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          std::span<const std::byte> qualifier, Bytes& out) const;
    using Deliveries = std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchQueue::Work>>;
    // Called with the lock held: queues the call of every matching listener,
    // or leaves it in `later` for the caller to queue once it let go of it.
    void notify(AudioObjectID object, AudioObjectPropertySelector selector,
                Deliveries* later = nullptr);
    void dropListenersOn(AudioObjectID object);
    void startClock(AudioObjectID device);
    std::shared_ptr<Clock> takeClock(AudioObjectID device);
    static void retireClock(Clock& clock);
    static void retireClocks(const std::vector<std::shared_ptr<Clock>>& clocks);
    // Runs one cycle and says how long it lasts, in seconds.
    double runCycle(Clock& clock);
    bool isMuted(AudioObjectID id, const Process& process) const;
    bool tapIncludes(const TapDescription& tap, AudioObjectID id, const Process* process) const;
    void followDefault(AudioObjectID previous);
    std::vector<AudioObjectID> deviceList() const;
    void waitForCycle(AudioObjectID device);
    // A start refuses an aggregate whose clock device is gone; a stop returns
    // only once no cycle still runs the procedure.
    OSStatus setStarted(AudioObjectID device, AudioDeviceIOProcID proc, bool start);
    void renumber();

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
    FaultID nextFault_ = 1;
    std::vector<LiveFault> faults_;
    std::vector<LiveCycleFault> cycleFaults_;
    std::function<void(Call)> callHook_;
    std::function<void(Call, std::chrono::nanoseconds)> delayHandler_;
    std::function<void(const std::function<void()>&)> ioCallWrapper_;
};

}  // namespace sonvel::sim
