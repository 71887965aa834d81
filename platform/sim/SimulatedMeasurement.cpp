#include "platform/sim/SimulatedAudioSystem.hpp"

#include "platform/sim/SimulatedAudioSystemState.hpp"

namespace sonvel::sim {

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

SimulatedAudioSystem::LiveObjects SimulatedAudioSystem::liveObjects() const {
    const std::lock_guard lock(mutex_);
    LiveObjects live;
    for (const auto& [id, tap] : taps_) live.taps.push_back({id, tap.description});
    for (const auto& [id, a] : aggregates_) {
        const auto main = devices_.find(a.mainDevice);
        live.aggregates.push_back(
            {id, a.uid, a.name, main == devices_.end() ? "" : main->second.spec.uid, a.taps});
        for (const auto& [procID, proc] : a.procs)
            live.ioProcs.push_back({id, procID, proc.started});
    }
    for (const auto& l : listeners_)
        live.listeners.push_back({l->object, l->address, l->queue->label()});
    return live;
}
}  // namespace sonvel::sim
