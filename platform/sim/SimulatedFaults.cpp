#include "platform/sim/SimulatedAudioSystem.hpp"

#include <set>

#include "platform/sim/SimulatedAudioSystemState.hpp"

namespace sonvel::sim {

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

}  // namespace sonvel::sim
