#include "platform/sim/SimulatedAudioSystem.hpp"

#include <algorithm>

#include "platform/sim/SimulatedAudioSystemState.hpp"

namespace sonvel::sim {

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

}  // namespace sonvel::sim
