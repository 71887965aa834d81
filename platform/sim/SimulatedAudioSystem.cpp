#include "platform/sim/SimulatedAudioSystem.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <set>

#include "core/AppCatalog.hpp"
#include "tap/CoreAudioError.hpp"

namespace sonvel::sim {

namespace sel = hal::selector;

struct SimulatedAudioSystem::Device {
    DeviceSpec spec;
    bool alive = true;
    std::vector<float> speaker;

    [[nodiscard]] std::size_t outputChannels() const {
        std::size_t n = 0;
        for (std::uint32_t c : spec.outputStreams) n += c;
        return n;
    }
};

struct SimulatedAudioSystem::Process {
    ProcessSpec spec;
};

struct SimulatedAudioSystem::Tap {
    TapDescription description;
    AudioStreamBasicDescription format;
};

struct SimulatedAudioSystem::IOProc {
    AudioDeviceIOBlock block;
    bool started = false;
    std::vector<std::uint32_t> streamIsOn;  // per input stream; empty: all on
};

struct SimulatedAudioSystem::Aggregate {
    std::string uid;
    std::string name;
    AudioObjectID mainDevice = hal::unknownObject;  // none: the aggregate clocks itself
    std::vector<AudioObjectID> taps;
    std::map<AudioDeviceIOProcID, IOProc> procs;
};

// A registered listener. Its state is shared with every dispatched call, so
// that removal can wait for a running call and stop queued ones.
struct SimulatedAudioSystem::Listener {
    struct State {
        std::recursive_mutex mutex;
        bool alive = true;
    };
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    std::shared_ptr<DispatchQueue> queue;
    ListenerBlock block;
    std::shared_ptr<State> state = std::make_shared<State>();
};

// One device's IO clock. `io` is held for a whole cycle, so stopping IO can
// wait for a cycle in flight.
struct SimulatedAudioSystem::Clock {
    AudioObjectID device;
    std::mutex io;
    std::atomic<std::uint64_t> cycles{0};
    std::int64_t sampleTime = 0;
    std::jthread thread;
};

struct SimulatedAudioSystem::Bytes {
    std::vector<std::byte> data;
    bool fixedSize = true;

    template <class T>
    static Bytes of(const T& value) {
        Bytes b;
        b.data.resize(sizeof(T));
        std::memcpy(b.data.data(), &value, sizeof(T));
        return b;
    }
    static Bytes text(const std::string& s) {
        Bytes b;
        b.fixedSize = false;
        b.data.resize(s.size());
        if (!s.empty()) std::memcpy(b.data.data(), s.data(), s.size());
        return b;
    }
    static Bytes ids(const std::vector<AudioObjectID>& list) {
        Bytes b;
        b.fixedSize = false;
        b.data.resize(list.size() * sizeof(AudioObjectID));
        if (!list.empty()) std::memcpy(b.data.data(), list.data(), b.data.size());
        return b;
    }
    static Bytes layout(const std::vector<std::uint32_t>& streams) {
        Bytes b;
        b.data.resize(8 + streams.size() * sizeof(AudioBuffer));
        const auto count = static_cast<std::uint32_t>(streams.size());
        std::memcpy(b.data.data(), &count, sizeof count);
        for (std::size_t i = 0; i < streams.size(); ++i) {
            const AudioBuffer buffer{streams[i], 0, nullptr};
            std::memcpy(b.data.data() + 8 + i * sizeof(AudioBuffer), &buffer, sizeof buffer);
        }
        return b;
    }
};

namespace {

AudioStreamBasicDescription float32Stereo(double rate) {
    AudioStreamBasicDescription f;
    f.sampleRate = rate;
    f.formatID = fourCC("lpcm");
    f.formatFlags = 1 | 8;  // float, packed
    f.bytesPerPacket = 8;
    f.framesPerPacket = 1;
    f.bytesPerFrame = 8;
    f.channelsPerFrame = 2;
    f.bitsPerChannel = 32;
    return f;
}

constexpr std::uint32_t tapChannels = 2;
constexpr double speakerSeconds = 60;

}  // namespace

SimulatedAudioSystem::SimulatedAudioSystem(ClockMode mode)
    : mode_(mode), tapFormat_(float32Stereo(48000)) {}

SimulatedAudioSystem::~SimulatedAudioSystem() {
    std::vector<std::shared_ptr<Clock>> clocks;
    {
        const std::lock_guard lock(mutex_);
        for (auto& [id, clock] : clocks_) clocks.push_back(clock);
        clocks_.clear();
        for (auto& listener : listeners_) listener->state->alive = false;
    }
    for (auto& clock : clocks) {
        clock->thread.request_stop();
        if (clock->thread.joinable()) clock->thread.join();
    }
}

// ---------------------------------------------------------------- the world

AudioObjectID SimulatedAudioSystem::addDevice(DeviceSpec spec) {
    AudioObjectID id;
    {
        const std::lock_guard lock(mutex_);
        id = nextID_++;
        devices_.emplace(id, Device{std::move(spec), true, {}});
        if (defaultOutput_ == hal::unknownObject && devices_.at(id).outputChannels() > 0 &&
            !devices_.at(id).spec.hidden) {
            defaultOutput_ = id;
        }
        notify(hal::systemObject, sel::devices);
    }
    startClock(id);
    return id;
}

void SimulatedAudioSystem::removeDevice(AudioObjectID device) {
    std::shared_ptr<Clock> clock;
    {
        const std::lock_guard lock(mutex_);
        auto found = devices_.find(device);
        if (found == devices_.end() || !found->second.alive) return;
        found->second.alive = false;
        notify(device, sel::isAlive);
        notify(hal::systemObject, sel::devices);
        if (defaultOutput_ == device) {
            defaultOutput_ = hal::unknownObject;
            for (auto& [id, d] : devices_) {
                if (d.alive && !d.spec.hidden && d.outputChannels() > 0) {
                    defaultOutput_ = id;
                    break;
                }
            }
            notify(hal::systemObject, sel::defaultOutputDevice);
            followDefault(device);
        }
        for (auto& [id, p] : processes_) {
            for (const std::string& uid : p.spec.outputDeviceUIDs) {
                if (uid == found->second.spec.uid) notify(id, sel::processDevices);
            }
        }
    }
    takeClock(device);
}

void SimulatedAudioSystem::setDefaultOutput(AudioObjectID device) {
    const std::lock_guard lock(mutex_);
    if (!devices_.contains(device) || defaultOutput_ == device) return;
    const AudioObjectID previous = defaultOutput_;
    defaultOutput_ = device;
    notify(hal::systemObject, sel::defaultOutputDevice);
    followDefault(previous);
}

// Processes that follow the default output now play elsewhere.
void SimulatedAudioSystem::followDefault(AudioObjectID /*previous*/) {
    for (auto& [id, p] : processes_) {
        if (p.spec.outputDeviceUIDs.empty()) notify(id, sel::processDevices);
    }
}

void SimulatedAudioSystem::setHogModeOwner(AudioObjectID device, ProcessID owner) {
    const std::lock_guard lock(mutex_);
    if (auto found = devices_.find(device); found != devices_.end()) {
        found->second.spec.hogModeOwner = owner;
        notify(device, sel::hogMode);
    }
}

AudioObjectID SimulatedAudioSystem::addProcess(ProcessSpec spec) {
    const std::lock_guard lock(mutex_);
    const AudioObjectID id = nextID_++;
    processes_.emplace(id, Process{std::move(spec)});
    notify(hal::systemObject, sel::processObjectList);
    return id;
}

void SimulatedAudioSystem::removeProcess(AudioObjectID process) {
    {
        const std::lock_guard lock(mutex_);
        if (processes_.erase(process) == 0) return;
        notify(hal::systemObject, sel::processObjectList);
    }
    dropListenersOn(process);
}

void SimulatedAudioSystem::setPlaying(AudioObjectID process, bool playing) {
    const std::lock_guard lock(mutex_);
    auto found = processes_.find(process);
    if (found == processes_.end() || found->second.spec.playing == playing) return;
    found->second.spec.playing = playing;
    notify(process, sel::processIsRunningOutput);
}

void SimulatedAudioSystem::setSignal(AudioObjectID process, Signal signal) {
    const std::lock_guard lock(mutex_);
    if (auto found = processes_.find(process); found != processes_.end()) {
        found->second.spec.signal = signal;
    }
}

void SimulatedAudioSystem::setOutputDevices(AudioObjectID process,
                                            std::vector<std::string> deviceUIDs) {
    const std::lock_guard lock(mutex_);
    if (auto found = processes_.find(process); found != processes_.end()) {
        found->second.spec.outputDeviceUIDs = std::move(deviceUIDs);
        notify(process, sel::processDevices);
    }
}

void SimulatedAudioSystem::setCapturePermission(bool granted) {
    const std::lock_guard lock(mutex_);
    capturePermission_ = granted;
}

void SimulatedAudioSystem::setTapFormat(AudioStreamBasicDescription format) {
    const std::lock_guard lock(mutex_);
    tapFormat_ = format;
}

AudioObjectID SimulatedAudioSystem::deviceID(const std::string& uid) const {
    const std::lock_guard lock(mutex_);
    for (const auto& [id, d] : devices_) {
        if (d.spec.uid == uid && d.alive) return id;
    }
    for (const auto& [id, a] : aggregates_) {
        if (a.uid == uid) return id;
    }
    return hal::unknownObject;
}

AudioObjectID SimulatedAudioSystem::processObject(ProcessID pid) const {
    const std::lock_guard lock(mutex_);
    for (const auto& [id, p] : processes_) {
        if (p.spec.pid == pid) return id;
    }
    return hal::unknownObject;
}

AudioObjectID SimulatedAudioSystem::defaultOutput() const {
    const std::lock_guard lock(mutex_);
    return defaultOutput_;
}

// ---------------------------------------------------------------- faults

void SimulatedAudioSystem::inject(Fault fault) {
    const std::lock_guard lock(mutex_);
    faults_.push_back(fault);
    faultCounts_.push_back(0);
}

void SimulatedAudioSystem::clearFaults() {
    const std::lock_guard lock(mutex_);
    faults_.clear();
    faultCounts_.clear();
}

void SimulatedAudioSystem::setCallHook(std::function<void(Call)> hook) {
    const std::lock_guard lock(mutex_);
    callHook_ = std::move(hook);
}

// Every seam call passes here first, without the lock held.
OSStatus SimulatedAudioSystem::admit(Call call, AudioObjectID object,
                                     std::optional<AudioObjectPropertySelector> selector) {
    std::function<void(Call)> hook;
    {
        const std::lock_guard lock(mutex_);
        hook = callHook_;
    }
    if (hook) hook(call);
    const std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < faults_.size(); ++i) {
        const Fault& f = faults_[i];
        if ((f.call && *f.call != call) || (f.object && *f.object != object) ||
            (f.selector && selector != f.selector)) {
            continue;
        }
        if (++faultCounts_[i] < f.onCall) continue;
        const OSStatus status = f.status;
        if (!f.persistent) {
            faults_.erase(faults_.begin() + std::ptrdiff_t(i));
            faultCounts_.erase(faultCounts_.begin() + std::ptrdiff_t(i));
        }
        return status;
    }
    return serverRunning_ ? hal::noError : hal::notRunningError;
}

void SimulatedAudioSystem::setIOCallWrapper(
    std::function<void(const std::function<void()>&)> wrapper) {
    const std::lock_guard lock(mutex_);
    ioCallWrapper_ = std::move(wrapper);
}

void SimulatedAudioSystem::overload(AudioObjectID aggregate) {
    const std::lock_guard lock(mutex_);
    if (aggregates_.contains(aggregate)) notify(aggregate, sel::processorOverload);
}

void SimulatedAudioSystem::stopIOAbnormally(AudioObjectID aggregate) {
    {
        const std::lock_guard lock(mutex_);
        auto found = aggregates_.find(aggregate);
        if (found == aggregates_.end()) return;
        for (auto& [id, proc] : found->second.procs) proc.started = false;
        notify(aggregate, sel::ioStoppedAbnormally);
    }
    waitForCycle(aggregate);
}

void SimulatedAudioSystem::restartServer() {
    std::vector<AudioObjectID> gone;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& [id, a] : aggregates_) gone.push_back(id);
        for (const auto& [id, t] : taps_) gone.push_back(id);
        aggregates_.clear();
        taps_.clear();
        serverRunning_ = true;
        notify(hal::systemObject, sel::devices);
        notify(hal::systemObject, sel::serviceRestarted);
    }
    for (AudioObjectID id : gone) takeClock(id);
    // The restarted server has forgotten every registration made with it; only
    // the system object's listeners are restored (that is how `srst` arrives).
    std::set<AudioObjectID> registered;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& listener : listeners_) {
            if (listener->object != hal::systemObject) registered.insert(listener->object);
        }
    }
    for (AudioObjectID id : registered) dropListenersOn(id);
    // Cycles in flight on the physical devices finish before this returns.
    std::vector<AudioObjectID> devices;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& [id, d] : devices_) devices.push_back(id);
    }
    for (AudioObjectID id : devices) waitForCycle(id);
}

void SimulatedAudioSystem::setServerRunning(bool running) {
    const std::lock_guard lock(mutex_);
    serverRunning_ = running;
}

// ---------------------------------------------------------------- listeners

// Called with the lock held: queues the call of every matching listener.
void SimulatedAudioSystem::notify(AudioObjectID object, AudioObjectPropertySelector selector) {
    for (const auto& listener : listeners_) {
        if (listener->object != object || listener->address.selector != selector) continue;
        listener->queue->async(
            [state = listener->state, block = listener->block, address = listener->address] {
                const std::lock_guard guard(state->mutex);
                if (state->alive) (*block)(std::span(&address, 1));
            });
    }
}

void SimulatedAudioSystem::dropListenersOn(AudioObjectID object) {
    std::vector<std::shared_ptr<Listener>> dropped;
    {
        const std::lock_guard lock(mutex_);
        const auto gone = std::stable_partition(listeners_.begin(), listeners_.end(),
                                                [&](const auto& l) { return l->object != object; });
        dropped.assign(gone, listeners_.end());
        listeners_.erase(gone, listeners_.end());
    }
    for (auto& listener : dropped) {
        const std::lock_guard guard(listener->state->mutex);
        listener->state->alive = false;
    }
}

OSStatus SimulatedAudioSystem::addPropertyListenerBlock(AudioObjectID object,
                                                        const AudioObjectPropertyAddress& address,
                                                        std::shared_ptr<DispatchQueue> queue,
                                                        ListenerBlock block) {
    if (const OSStatus s = admit(Call::addPropertyListener, object, address.selector)) return s;
    if (!queue || !block) return hal::paramError;
    const std::lock_guard lock(mutex_);
    const bool exists = object == hal::systemObject || devices_.contains(object) ||
                        processes_.contains(object) || taps_.contains(object) ||
                        aggregates_.contains(object);
    if (!exists) return hal::badObjectError;
    auto listener = std::make_shared<Listener>();
    listener->object = object;
    listener->address = address;
    listener->queue = std::move(queue);
    listener->block = std::move(block);
    listeners_.push_back(std::move(listener));
    return hal::noError;
}

OSStatus SimulatedAudioSystem::removePropertyListenerBlock(
    AudioObjectID object, const AudioObjectPropertyAddress& address,
    std::shared_ptr<DispatchQueue> queue, ListenerBlock block) {
    if (const OSStatus s = admit(Call::removePropertyListener, object, address.selector)) return s;
    std::shared_ptr<Listener> removed;
    {
        const std::lock_guard lock(mutex_);
        const auto found = std::ranges::find_if(listeners_, [&](const auto& l) {
            return l->object == object && l->address == address && l->queue == queue &&
                   l->block == block;
        });
        if (found == listeners_.end()) return hal::illegalOperationError;
        removed = *found;
        listeners_.erase(found);
    }
    // Waits for a call in progress; queued calls then find it dead.
    const std::lock_guard guard(removed->state->mutex);
    removed->state->alive = false;
    return hal::noError;
}

// ---------------------------------------------------------------- properties

std::vector<AudioObjectID> SimulatedAudioSystem::deviceList() const {
    std::vector<AudioObjectID> list;
    for (const auto& [id, d] : devices_) {
        if (d.alive) list.push_back(id);
    }
    for (const auto& [id, a] : aggregates_) list.push_back(id);
    std::ranges::sort(list);
    return list;
}

OSStatus SimulatedAudioSystem::readProperty(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            std::span<const std::byte> qualifier,
                                            Bytes& out) const {
    const AudioObjectPropertySelector s = address.selector;
    const bool input = address.scope == hal::inputScope;

    if (object == hal::systemObject) {
        switch (s) {
            case sel::processObjectList: {
                std::vector<AudioObjectID> ids;
                for (const auto& [id, p] : processes_) ids.push_back(id);
                out = Bytes::ids(ids);
                return hal::noError;
            }
            case sel::devices:
                out = Bytes::ids(deviceList());
                return hal::noError;
            case sel::defaultOutputDevice:
                out = Bytes::of(defaultOutput_);
                return hal::noError;
            case sel::translatePIDToProcessObject: {
                if (qualifier.size() != sizeof(ProcessID)) return hal::badPropertySizeError;
                ProcessID pid;
                std::memcpy(&pid, qualifier.data(), sizeof pid);
                AudioObjectID found = hal::unknownObject;
                for (const auto& [id, p] : processes_) {
                    if (p.spec.pid == pid) found = id;
                }
                out = Bytes::of(found);
                return hal::noError;
            }
            case sel::translateUIDToDevice: {
                const std::string uid(reinterpret_cast<const char*>(qualifier.data()),
                                      qualifier.size());
                AudioObjectID found = hal::unknownObject;
                for (const auto& [id, d] : devices_) {
                    if (d.alive && d.spec.uid == uid) found = id;
                }
                for (const auto& [id, a] : aggregates_) {
                    if (a.uid == uid) found = id;
                }
                out = Bytes::of(found);
                return hal::noError;
            }
            default:
                return hal::unknownPropertyError;
        }
    }

    if (const auto p = processes_.find(object); p != processes_.end()) {
        const ProcessSpec& spec = p->second.spec;
        switch (s) {
            case sel::processPID:
                out = Bytes::of(spec.pid);
                return hal::noError;
            case sel::processBundleID:
                out = Bytes::text(spec.bundleID);
                return hal::noError;
            case sel::processIsRunningOutput:
                out = Bytes::of(std::uint32_t(spec.playing));
                return hal::noError;
            case sel::processIsRunningInput:
                out = Bytes::of(std::uint32_t(spec.runningInput));
                return hal::noError;
            case sel::processDevices: {
                std::vector<AudioObjectID> ids;
                if (spec.outputDeviceUIDs.empty()) {
                    if (defaultOutput_ != hal::unknownObject) ids.push_back(defaultOutput_);
                } else {
                    for (const auto& [id, d] : devices_) {
                        if (d.alive && std::ranges::count(spec.outputDeviceUIDs, d.spec.uid)) {
                            ids.push_back(id);
                        }
                    }
                }
                out = Bytes::ids(ids);
                return hal::noError;
            }
            default:
                return hal::unknownPropertyError;
        }
    }

    if (const auto t = taps_.find(object); t != taps_.end()) {
        switch (s) {
            case sel::tapFormat:
                out = Bytes::of(t->second.format);
                return hal::noError;
            case sel::deviceUID:
                out = Bytes::text(t->second.description.uuid);
                return hal::noError;
            case sel::name:
                out = Bytes::text(t->second.description.name);
                return hal::noError;
            default:
                return hal::unknownPropertyError;
        }
    }

    // Devices and aggregates share their properties; an aggregate takes its
    // timing from its main device and adds the tap's buffers to its inputs.
    const Device* device = nullptr;
    const Aggregate* aggregate = nullptr;
    if (const auto d = devices_.find(object); d != devices_.end()) device = &d->second;
    if (const auto a = aggregates_.find(object); a != aggregates_.end()) {
        aggregate = &a->second;
        if (const auto m = devices_.find(aggregate->mainDevice); m != devices_.end())
            device = &m->second;
    }
    if (!device && !aggregate) return hal::badObjectError;

    switch (s) {
        case sel::deviceUID:
            out = Bytes::text(aggregate ? aggregate->uid : device->spec.uid);
            return hal::noError;
        case sel::name:
            out = Bytes::text(aggregate ? aggregate->name : device->spec.name);
            return hal::noError;
        case sel::streamConfiguration: {
            std::vector<std::uint32_t> streams;
            if (device) streams = input ? device->spec.inputStreams : device->spec.outputStreams;
            if (aggregate && input)
                streams.insert(streams.end(), aggregate->taps.size(), tapChannels);
            out = Bytes::layout(streams);
            return hal::noError;
        }
        case sel::nominalSampleRate:
            out = Bytes::of(device ? device->spec.sampleRate : tapFormat_.sampleRate);
            return hal::noError;
        case sel::bufferFrameSize:
            out = Bytes::of(device ? device->spec.bufferFrames : std::uint32_t{512});
            return hal::noError;
        case sel::latency:
            out =
                Bytes::of(device ? (input ? device->spec.inputLatency : device->spec.outputLatency)
                                 : std::uint32_t{0});
            return hal::noError;
        case sel::safetyOffset:
            out = Bytes::of(
                device ? (input ? device->spec.inputSafetyOffset : device->spec.outputSafetyOffset)
                       : std::uint32_t{0});
            return hal::noError;
        case sel::isHidden:
            out = Bytes::of(std::uint32_t(!aggregate && device->spec.hidden));
            return hal::noError;
        case sel::hogMode:
            out = Bytes::of(aggregate ? ProcessID{-1} : device->spec.hogModeOwner);
            return hal::noError;
        case sel::isAlive:
            out = Bytes::of(std::uint32_t(aggregate ? true : device->alive));
            return hal::noError;
        default:
            return hal::unknownPropertyError;
    }
}

OSStatus SimulatedAudioSystem::getPropertyDataSize(AudioObjectID object,
                                                   const AudioObjectPropertyAddress& address,
                                                   std::span<const std::byte> qualifier,
                                                   std::uint32_t& outSize) {
    if (const OSStatus s = admit(Call::getPropertyDataSize, object, address.selector)) return s;
    const std::lock_guard lock(mutex_);
    if (address.selector == sel::ioProcStreamUsage) {
        const auto a = aggregates_.find(object);
        if (a == aggregates_.end()) {
            return devices_.contains(object) ? hal::unknownPropertyError : hal::badObjectError;
        }
        Bytes layout;
        readProperty(object, {sel::streamConfiguration, hal::inputScope, 0}, {}, layout);
        std::uint32_t streams = 0;
        std::memcpy(&streams, layout.data.data(), sizeof streams);
        outSize = 12 + 4 * streams;
        return hal::noError;
    }
    Bytes bytes;
    if (const OSStatus s = readProperty(object, address, qualifier, bytes)) return s;
    outSize = static_cast<std::uint32_t>(bytes.data.size());
    return hal::noError;
}

OSStatus SimulatedAudioSystem::getPropertyData(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               std::span<const std::byte> qualifier,
                                               std::uint32_t& ioSize, void* outData) {
    if (const OSStatus s = admit(Call::getPropertyData, object, address.selector)) return s;
    if (!outData) return hal::paramError;
    const std::lock_guard lock(mutex_);
    if (address.selector == sel::ioProcStreamUsage) {
        // The caller names its IO procedure in the first 8 bytes of the data.
        const auto a = aggregates_.find(object);
        if (a == aggregates_.end()) return hal::unknownPropertyError;
        if (ioSize < 12) return hal::badPropertySizeError;
        AudioDeviceIOProcID procID = 0;
        std::memcpy(&procID, outData, sizeof procID);
        const auto proc = a->second.procs.find(procID);
        if (proc == a->second.procs.end()) return hal::illegalOperationError;
        Bytes layout;
        readProperty(object, {sel::streamConfiguration, hal::inputScope, 0}, {}, layout);
        std::uint32_t streams = 0;
        std::memcpy(&streams, layout.data.data(), sizeof streams);
        if (ioSize < 12 + 4 * streams) return hal::badPropertySizeError;
        auto* bytes = static_cast<std::byte*>(outData);
        std::memcpy(bytes + 8, &streams, sizeof streams);
        for (std::uint32_t i = 0; i < streams; ++i) {
            const std::uint32_t on =
                proc->second.streamIsOn.empty() ? 1 : proc->second.streamIsOn[i];
            std::memcpy(bytes + 12 + 4 * i, &on, sizeof on);
        }
        ioSize = 12 + 4 * streams;
        return hal::noError;
    }
    Bytes bytes;
    if (const OSStatus s = readProperty(object, address, qualifier, bytes)) return s;
    if (bytes.fixedSize && ioSize < bytes.data.size()) return hal::badPropertySizeError;
    const std::size_t n = std::min<std::size_t>(ioSize, bytes.data.size());
    if (n > 0) std::memcpy(outData, bytes.data.data(), n);
    ioSize = static_cast<std::uint32_t>(n);
    return hal::noError;
}

OSStatus SimulatedAudioSystem::setPropertyData(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               std::span<const std::byte> /*qualifier*/,
                                               std::uint32_t size, const void* data) {
    if (const OSStatus s = admit(Call::setPropertyData, object, address.selector)) return s;
    const std::lock_guard lock(mutex_);
    const auto a = aggregates_.find(object);
    if (a == aggregates_.end()) {
        return devices_.contains(object) || processes_.contains(object) || taps_.contains(object) ||
                       object == hal::systemObject
                   ? hal::unsupportedOperationError
                   : hal::badObjectError;
    }
    if (address.selector != sel::ioProcStreamUsage || address.scope != hal::inputScope) {
        return hal::unsupportedOperationError;
    }
    if (!data || size < 12) return hal::badPropertySizeError;
    const auto* bytes = static_cast<const std::byte*>(data);
    AudioDeviceIOProcID procID = 0;
    std::uint32_t streams = 0;
    std::memcpy(&procID, bytes, sizeof procID);
    std::memcpy(&streams, bytes + 8, sizeof streams);
    const auto proc = a->second.procs.find(procID);
    if (proc == a->second.procs.end()) return hal::illegalOperationError;
    Bytes layout;
    readProperty(object, {sel::streamConfiguration, hal::inputScope, 0}, {}, layout);
    std::uint32_t expected = 0;
    std::memcpy(&expected, layout.data.data(), sizeof expected);
    if (streams != expected || size < 12 + 4 * streams) return hal::badPropertySizeError;
    proc->second.streamIsOn.assign(streams, 0);
    if (streams > 0) std::memcpy(proc->second.streamIsOn.data(), bytes + 12, 4 * streams);
    return hal::noError;
}

// ---------------------------------------------------------------- taps and aggregates

OSStatus SimulatedAudioSystem::createProcessTap(const TapDescription& description,
                                                AudioObjectID& outTap) {
    if (const OSStatus s = admit(Call::createProcessTap, hal::systemObject)) return s;
    const std::lock_guard lock(mutex_);
    if (description.uuid.empty()) return hal::paramError;
    for (const auto& [id, t] : taps_) {
        if (t.description.uuid == description.uuid) return hal::illegalOperationError;
    }
    for (AudioObjectID p : description.processes) {
        if (!processes_.contains(p)) return hal::badObjectError;
    }
    if (description.kind == TapDescription::Kind::stereoMixdownOfProcesses &&
        description.processes.empty() && description.bundleIDs.empty()) {
        return hal::paramError;
    }
    if (description.muteBehavior < TapDescription::unmuted ||
        description.muteBehavior > TapDescription::mutedWhenTapped) {
        return hal::paramError;
    }
    outTap = nextID_++;
    taps_.emplace(outTap, Tap{description, tapFormat_});
    return hal::noError;
}

OSStatus SimulatedAudioSystem::destroyProcessTap(AudioObjectID tap) {
    if (const OSStatus s = admit(Call::destroyProcessTap, tap)) return s;
    {
        const std::lock_guard lock(mutex_);
        if (!taps_.contains(tap)) return hal::badObjectError;
        for (const auto& [id, a] : aggregates_) {
            if (std::ranges::count(a.taps, tap)) return hal::illegalOperationError;  // still in use
        }
        taps_.erase(tap);
    }
    dropListenersOn(tap);
    return hal::noError;
}

OSStatus SimulatedAudioSystem::createAggregateDevice(const nlohmann::json& description,
                                                     AudioObjectID& outDevice) {
    if (const OSStatus s = admit(Call::createAggregateDevice, hal::systemObject)) return s;
    AudioObjectID id;
    bool clocksItself;
    {
        const std::lock_guard lock(mutex_);
        const auto text = [&](const char* key) -> std::optional<std::string> {
            const auto v = description.find(key);
            if (v == description.end() || !v->is_string()) return std::nullopt;
            return v->get<std::string>();
        };
        const auto uid = text("uid");
        if (!description.is_object() || !uid || uid->empty()) return hal::paramError;
        for (const auto& [key, flag] :
             {std::pair{"private", 0}, {"stacked", 0}, {"tapautostart", 0}}) {
            (void)flag;
            if (description.contains(key) && !description.at(key).is_boolean())
                return hal::paramError;
        }
        for (const auto& [did, d] : devices_) {
            if (d.alive && d.spec.uid == *uid) return hal::illegalOperationError;
        }
        for (const auto& [aid, a] : aggregates_) {
            if (a.uid == *uid) return hal::illegalOperationError;
        }
        const auto deviceByUID = [&](const std::string& u) {
            for (const auto& [did, d] : devices_) {
                if (d.alive && d.spec.uid == u) return did;
            }
            return hal::unknownObject;
        };
        Aggregate aggregate;
        aggregate.uid = *uid;
        aggregate.name = text("name").value_or("");
        std::vector<AudioObjectID> subdevices;
        if (const auto list = description.find("subdevices"); list != description.end()) {
            if (!list->is_array()) return hal::paramError;
            for (const auto& entry : *list) {
                if (!entry.is_object() || !entry.contains("uid") || !entry["uid"].is_string())
                    return hal::paramError;
                const AudioObjectID sub = deviceByUID(entry["uid"].get<std::string>());
                if (sub == hal::unknownObject) return hal::badDeviceError;
                subdevices.push_back(sub);
            }
        }
        if (const auto master = text("master")) {
            aggregate.mainDevice = deviceByUID(*master);
            if (aggregate.mainDevice == hal::unknownObject) return hal::badDeviceError;
        } else if (!subdevices.empty()) {
            aggregate.mainDevice = subdevices.front();
        }
        if (const auto list = description.find("taps"); list != description.end()) {
            if (!list->is_array()) return hal::paramError;
            for (const auto& entry : *list) {
                if (!entry.is_object() || !entry.contains("uid") || !entry["uid"].is_string())
                    return hal::paramError;
                const std::string tapUUID = entry["uid"].get<std::string>();
                const auto tap = std::ranges::find_if(
                    taps_, [&](const auto& t) { return t.second.description.uuid == tapUUID; });
                if (tap == taps_.end()) return hal::badObjectError;
                aggregate.taps.push_back(tap->first);
            }
        }
        id = nextID_++;
        clocksItself = aggregate.mainDevice == hal::unknownObject;
        aggregates_.emplace(id, std::move(aggregate));
        notify(hal::systemObject, sel::devices);
    }
    if (clocksItself) startClock(id);
    outDevice = id;
    return hal::noError;
}

OSStatus SimulatedAudioSystem::destroyAggregateDevice(AudioObjectID device) {
    if (const OSStatus s = admit(Call::destroyAggregateDevice, device)) return s;
    AudioObjectID clockDevice;
    {
        const std::lock_guard lock(mutex_);
        const auto found = aggregates_.find(device);
        if (found == aggregates_.end()) return hal::badObjectError;
        clockDevice =
            found->second.mainDevice == hal::unknownObject ? device : found->second.mainDevice;
        aggregates_.erase(found);
        notify(hal::systemObject, sel::devices);
    }
    if (clockDevice == device) {
        takeClock(device);
    } else {
        waitForCycle(clockDevice);
    }
    dropListenersOn(device);
    return hal::noError;
}

// ---------------------------------------------------------------- IO procedures

OSStatus SimulatedAudioSystem::createIOProcIDWithBlock(AudioObjectID device,
                                                       std::shared_ptr<DispatchQueue> queue,
                                                       AudioDeviceIOBlock block,
                                                       AudioDeviceIOProcID& outProcID) {
    if (const OSStatus s = admit(Call::createIOProcID, device)) return s;
    // Only the IO thread runs blocks here; no caller asks for a queue.
    if (queue) return hal::unsupportedOperationError;
    if (!block) return hal::paramError;
    const std::lock_guard lock(mutex_);
    const auto a = aggregates_.find(device);
    if (a == aggregates_.end()) {
        return devices_.contains(device) ? hal::unsupportedOperationError : hal::badObjectError;
    }
    outProcID = nextProc_++;
    a->second.procs.emplace(outProcID, IOProc{std::move(block), false, {}});
    return hal::noError;
}

OSStatus SimulatedAudioSystem::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID proc) {
    if (const OSStatus s = admit(Call::destroyIOProcID, device)) return s;
    {
        const std::lock_guard lock(mutex_);
        const auto a = aggregates_.find(device);
        if (a == aggregates_.end()) return hal::badObjectError;
        if (a->second.procs.erase(proc) == 0) return hal::illegalOperationError;
    }
    waitForCycle(device);
    return hal::noError;
}

OSStatus SimulatedAudioSystem::deviceStart(AudioObjectID device, AudioDeviceIOProcID proc) {
    if (const OSStatus s = admit(Call::deviceStart, device)) return s;
    const std::lock_guard lock(mutex_);
    const auto a = aggregates_.find(device);
    if (a == aggregates_.end()) return hal::badObjectError;
    const auto p = a->second.procs.find(proc);
    if (p == a->second.procs.end()) return hal::illegalOperationError;
    if (a->second.mainDevice != hal::unknownObject && !devices_.at(a->second.mainDevice).alive) {
        return hal::badDeviceError;
    }
    p->second.started = true;
    return hal::noError;
}

OSStatus SimulatedAudioSystem::deviceStop(AudioObjectID device, AudioDeviceIOProcID proc) {
    if (const OSStatus s = admit(Call::deviceStop, device)) return s;
    {
        const std::lock_guard lock(mutex_);
        const auto a = aggregates_.find(device);
        if (a == aggregates_.end()) return hal::badObjectError;
        const auto p = a->second.procs.find(proc);
        if (p == a->second.procs.end()) return hal::illegalOperationError;
        p->second.started = false;
    }
    waitForCycle(device);
    return hal::noError;
}

// ---------------------------------------------------------------- clocks

void SimulatedAudioSystem::startClock(AudioObjectID device) {
    auto clock = std::make_shared<Clock>();
    clock->device = device;
    {
        const std::lock_guard lock(mutex_);
        clocks_[device] = clock;
    }
    if (mode_ != ClockMode::realTime) return;
    double period;
    {
        const std::lock_guard lock(mutex_);
        const auto d = devices_.find(device);
        period = d != devices_.end() ? d->second.spec.bufferFrames / d->second.spec.sampleRate
                                     : 512.0 / tapFormat_.sampleRate;
    }
    clock->thread = std::jthread([this, clock = clock.get(), period](std::stop_token stop) {
        std::mutex m;
        std::condition_variable_any wake;
        const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(period));
        auto next = std::chrono::steady_clock::now();
        while (!stop.stop_requested()) {
            runCycle(*clock);
            next += interval;
            std::unique_lock lock(m);
            wake.wait_until(lock, stop, next, [] { return false; });
        }
    });
}

std::shared_ptr<SimulatedAudioSystem::Clock> SimulatedAudioSystem::takeClock(AudioObjectID device) {
    std::shared_ptr<Clock> clock;
    {
        const std::lock_guard lock(mutex_);
        const auto found = clocks_.find(device);
        if (found == clocks_.end()) return nullptr;
        clock = found->second;
        clocks_.erase(found);
    }
    clock->thread.request_stop();
    if (clock->thread.joinable()) clock->thread.join();
    // A stepped cycle in flight on another thread finishes first.
    const std::lock_guard io(clock->io);
    return clock;
}

// The device clocking an aggregate: its main device, or itself.
void SimulatedAudioSystem::waitForCycle(AudioObjectID device) {
    std::shared_ptr<Clock> clock;
    {
        const std::lock_guard lock(mutex_);
        AudioObjectID clocked = device;
        if (const auto a = aggregates_.find(device);
            a != aggregates_.end() && a->second.mainDevice != hal::unknownObject) {
            clocked = a->second.mainDevice;
        }
        if (const auto found = clocks_.find(clocked); found != clocks_.end()) clock = found->second;
    }
    if (clock) const std::lock_guard io(clock->io);
}

void SimulatedAudioSystem::step(int cycles) {
    for (int i = 0; i < cycles; ++i) {
        std::vector<std::shared_ptr<Clock>> clocks;
        {
            const std::lock_guard lock(mutex_);
            for (const auto& [id, clock] : clocks_) clocks.push_back(clock);
        }
        for (const auto& clock : clocks) runCycle(*clock);
    }
}

std::uint64_t SimulatedAudioSystem::cycles(AudioObjectID device) const {
    const std::lock_guard lock(mutex_);
    const auto found = clocks_.find(device);
    return found == clocks_.end() ? 0 : found->second->cycles.load();
}

bool SimulatedAudioSystem::tapIncludes(const Tap& tap, AudioObjectID id,
                                       const Process& process) const {
    const TapDescription& d = tap.description;
    const bool listed = std::ranges::count(d.processes, id) > 0;
    if (d.kind == TapDescription::Kind::stereoGlobalTapButExcludeProcesses) return !listed;
    if (listed) return true;
    return !process.spec.bundleID.empty() &&
           std::ranges::count(d.bundleIDs, process.spec.bundleID) > 0;
}

bool SimulatedAudioSystem::isMuted(AudioObjectID id, const Process& process) const {
    for (const auto& [tapID, tap] : taps_) {
        if (!tapIncludes(tap, id, process)) continue;
        if (tap.description.muteBehavior == TapDescription::muted) return true;
        if (tap.description.muteBehavior != TapDescription::mutedWhenTapped) continue;
        for (const auto& [aggregateID, a] : aggregates_) {
            if (!std::ranges::count(a.taps, tapID)) continue;
            for (const auto& [procID, proc] : a.procs) {
                if (proc.started) return true;
            }
        }
    }
    return false;
}

void SimulatedAudioSystem::runCycle(Clock& clock) {
    const std::lock_guard io(clock.io);

    // One IO procedure's call this cycle, with buffers it owns.
    struct PendingCall {
        AudioDeviceIOBlock block;
        std::vector<std::vector<float>> storage;
        std::vector<AudioBuffer> inputs;
        std::vector<AudioBuffer> outputs;
        std::size_t outputStorage = 0;  // index of the first output buffer's storage
    };
    std::vector<PendingCall> calls;
    std::vector<float> mix;
    std::size_t frames = 0;
    std::size_t outChannels = 0;
    const Device* speakerDevice = nullptr;
    std::vector<std::uint32_t> outputStreams;
    {
        const std::lock_guard lock(mutex_);
        if (!serverRunning_) return;
        double rate = tapFormat_.sampleRate;
        frames = 512;
        const auto d = devices_.find(clock.device);
        if (d != devices_.end()) {
            if (!d->second.alive) return;
            speakerDevice = &d->second;
            rate = d->second.spec.sampleRate;
            frames = d->second.spec.bufferFrames;
            outChannels = d->second.outputChannels();
            outputStreams = d->second.spec.outputStreams;
        }
        const std::int64_t t0 = clock.sampleTime;

        // What each playing process sends this cycle, stereo interleaved.
        std::map<AudioObjectID, std::vector<float>> rendered;
        for (const auto& [id, p] : processes_) {
            if (!p.spec.playing) continue;
            auto& out = rendered[id];
            out.resize(frames * 2);
            for (std::size_t i = 0; i < frames; ++i) {
                for (int c = 0; c < 2; ++c) {
                    out[i * 2 + std::size_t(c)] =
                        p.spec.signal.sample(t0 + std::int64_t(i), rate, c, id);
                }
            }
        }

        if (speakerDevice) {
            mix.assign(frames * outChannels, 0.0f);
            for (const auto& [id, p] : processes_) {
                if (!rendered.contains(id) || isMuted(id, p)) continue;
                bool playsHere = false;
                if (p.spec.outputDeviceUIDs.empty()) {
                    playsHere = defaultOutput_ == clock.device;
                } else {
                    playsHere =
                        std::ranges::count(p.spec.outputDeviceUIDs, speakerDevice->spec.uid) > 0;
                }
                if (!playsHere || outChannels == 0) continue;
                const auto& s = rendered.at(id);
                for (std::size_t i = 0; i < frames; ++i) {
                    if (outChannels == 1) {
                        mix[i] += (s[i * 2] + s[i * 2 + 1]) * 0.5f;
                    } else {
                        mix[i * outChannels] += s[i * 2];
                        mix[i * outChannels + 1] += s[i * 2 + 1];
                    }
                }
            }
        }

        for (const auto& [aggregateID, a] : aggregates_) {
            const AudioObjectID clocked =
                a.mainDevice == hal::unknownObject ? aggregateID : a.mainDevice;
            if (clocked != clock.device) continue;
            for (const auto& [procID, proc] : a.procs) {
                if (!proc.started) continue;
                PendingCall call;
                call.block = proc.block;
                std::vector<std::uint32_t> inStreams;
                if (speakerDevice) inStreams = speakerDevice->spec.inputStreams;
                const std::size_t deviceInputs = inStreams.size();
                inStreams.insert(inStreams.end(), a.taps.size(), tapChannels);
                call.storage.reserve(inStreams.size() + outputStreams.size());
                for (std::size_t s = 0; s < inStreams.size(); ++s) {
                    std::vector<float> samples(frames * inStreams[s], 0.0f);
                    if (s >= deviceInputs && capturePermission_) {
                        const Tap& tap = taps_.at(a.taps[s - deviceInputs]);
                        for (const auto& [pid, p] : processes_) {
                            if (!rendered.contains(pid) || !tapIncludes(tap, pid, p)) continue;
                            const auto& r = rendered.at(pid);
                            for (std::size_t k = 0; k < samples.size(); ++k) samples[k] += r[k];
                        }
                    }
                    call.storage.push_back(std::move(samples));
                    const bool on = proc.streamIsOn.empty() || proc.streamIsOn[s] != 0;
                    call.inputs.push_back({inStreams[s],
                                           static_cast<std::uint32_t>(frames * inStreams[s] * 4),
                                           on ? call.storage.back().data() : nullptr});
                }
                call.outputStorage = call.storage.size();
                for (std::uint32_t channels : outputStreams) {
                    call.storage.emplace_back(frames * channels, 0.0f);
                    call.outputs.push_back({channels,
                                            static_cast<std::uint32_t>(frames * channels * 4),
                                            call.storage.back().data()});
                }
                calls.push_back(std::move(call));
            }
        }
    }

    std::function<void(const std::function<void()>&)> wrapper;
    {
        const std::lock_guard lock(mutex_);
        wrapper = ioCallWrapper_;
    }
    for (PendingCall& call : calls) {
        const AudioBufferList input{call.inputs};
        const AudioBufferList output{call.outputs};
        const AudioBufferList* in = call.inputs.empty() ? nullptr : &input;
        if (wrapper) {
            wrapper([&] { call.block(in, output); });
        } else {
            call.block(in, output);
        }
    }

    const std::lock_guard lock(mutex_);
    if (speakerDevice) {
        // The device may have been removed while the blocks ran.
        const auto d = devices_.find(clock.device);
        if (d != devices_.end() && d->second.alive) {
            for (const PendingCall& call : calls) {
                std::size_t firstChannel = 0;
                for (std::size_t b = 0; b < call.outputs.size(); ++b) {
                    const auto& samples = call.storage[call.outputStorage + b];
                    const std::size_t channels = call.outputs[b].channelCount;
                    for (std::size_t i = 0; i < frames; ++i) {
                        for (std::size_t c = 0; c < channels; ++c) {
                            mix[i * outChannels + firstChannel + c] += samples[i * channels + c];
                        }
                    }
                    firstChannel += channels;
                }
            }
            auto& speaker = d->second.speaker;
            speaker.insert(speaker.end(), mix.begin(), mix.end());
            const auto cap =
                static_cast<std::size_t>(speakerSeconds * d->second.spec.sampleRate) * outChannels;
            if (speaker.size() > cap)
                speaker.erase(speaker.begin(), speaker.end() - std::ptrdiff_t(cap));
        }
    }
    clock.sampleTime += std::int64_t(frames);
    clock.cycles.fetch_add(1);
}

// ---------------------------------------------------------------- measurement

std::vector<float> SimulatedAudioSystem::speaker(AudioObjectID device) const {
    const std::lock_guard lock(mutex_);
    const auto d = devices_.find(device);
    return d == devices_.end() ? std::vector<float>{} : d->second.speaker;
}

std::size_t SimulatedAudioSystem::speakerChannels(AudioObjectID device) const {
    const std::lock_guard lock(mutex_);
    const auto d = devices_.find(device);
    return d == devices_.end() ? 0 : d->second.outputChannels();
}

void SimulatedAudioSystem::clearSpeaker(AudioObjectID device) {
    const std::lock_guard lock(mutex_);
    if (const auto d = devices_.find(device); d != devices_.end()) d->second.speaker.clear();
}

SimulatedAudioSystem::Accounting SimulatedAudioSystem::accounting() const {
    const std::lock_guard lock(mutex_);
    Accounting a;
    a.taps = taps_.size();
    a.aggregates = aggregates_.size();
    for (const auto& [id, aggregate] : aggregates_) {
        a.ioProcs += aggregate.procs.size();
        for (const auto& [procID, proc] : aggregate.procs) a.startedIOProcs += proc.started;
    }
    a.listeners = listeners_.size();
    return a;
}

}  // namespace sonvel::sim
