#include "platform/sim/SimulatedAudioSystem.hpp"

#include <algorithm>

#include "platform/sim/SimulatedAudioSystemState.hpp"

namespace sonvel::sim {

void SimulatedAudioSystem::notify(AudioObjectID object, AudioObjectPropertySelector selector,
                                  Deliveries* later) {
    for (const auto& listener : listeners_) {
        if (listener->object != object || listener->address.selector != selector) continue;
        DispatchQueue::Work work = listener->delivery();
        if (later) {
            later->emplace_back(listener->queue, std::move(work));
        } else {
            listener->queue->async(std::move(work));
        }
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
        listener->retire();
    }
}

OSStatus SimulatedAudioSystem::addPropertyListenerBlock(AudioObjectID object,
                                                        const AudioObjectPropertyAddress& address,
                                                        std::shared_ptr<DispatchQueue> queue,
                                                        ListenerBlock block) {
    const Verdict verdict = admit({Call::addPropertyListener, object, &address});
    if (verdict.refusal) return *verdict.refusal;
    if (!queue || !block) return hal::paramError;
    const std::lock_guard lock(mutex_);
    const bool exists = object == hal::systemObject || devices_.contains(object) ||
                        processes_.contains(object) || taps_.contains(object) ||
                        aggregates_.contains(object);
    if (!exists) return hal::badObjectError;
    listeners_.push_back(
        std::make_shared<Listener>(Listener{object, address, std::move(queue), std::move(block)}));
    return verdict.afterEffect;
}

OSStatus SimulatedAudioSystem::removePropertyListenerBlock(
    AudioObjectID object, const AudioObjectPropertyAddress& address,
    std::shared_ptr<DispatchQueue> queue, ListenerBlock block) {
    const Verdict verdict = admit({Call::removePropertyListener, object, &address});
    if (verdict.refusal) return *verdict.refusal;
    std::shared_ptr<Listener> removed;
    {
        const std::lock_guard lock(mutex_);
        const auto found = std::ranges::find_if(
            listeners_, [&](const auto& l) { return l->names(object, address, queue, block); });
        if (found == listeners_.end()) return hal::illegalOperationError;
        removed = *found;
        listeners_.erase(found);
    }
    // Waits for a call in progress; queued calls then find it dead.
    removed->retire();
    return verdict.afterEffect;
}

}  // namespace sonvel::sim
