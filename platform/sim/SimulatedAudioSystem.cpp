#include "platform/sim/SimulatedAudioSystem.hpp"

#include "platform/sim/SimulatedAudioSystemState.hpp"

namespace sonvel::sim {

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
    retireClocks(clocks);
}

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
    processes_.emplace(id, Process{std::move(spec), id});
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

void SimulatedAudioSystem::setCapturePermission(AudioObjectID process, bool granted) {
    const std::lock_guard lock(mutex_);
    if (auto found = processes_.find(process); found != processes_.end()) {
        found->second.captureAllowed = granted;
    }
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

}  // namespace sonvel::sim
