#pragma once

#include <memory>
#include <mutex>
#include <span>

#include "tap/AudioHardware.hpp"

namespace sonvel {

// One property listener as a server behind the seam keeps it. Blocks run on
// their own queues; once a registration is retired none of its calls starts,
// and retiring waits for a call in progress. The lock is recursive so that a
// block may remove its own listener.
struct ListenerRegistration {
    struct State {
        std::recursive_mutex mutex;
        bool alive = true;
    };
    AudioObjectID object = 0;
    AudioObjectPropertyAddress address;
    std::shared_ptr<DispatchQueue> queue;
    ListenerBlock block;
    std::shared_ptr<State> state = std::make_shared<State>();

    [[nodiscard]] bool names(AudioObjectID o, const AudioObjectPropertyAddress& a,
                             const std::shared_ptr<DispatchQueue>& q,
                             const ListenerBlock& b) const {
        return object == o && address == a && queue == q && block == b;
    }

    // The work that calls the block, unless the registration was retired by
    // the time its queue runs it.
    [[nodiscard]] DispatchQueue::Work delivery() const {
        return [state = state, block = block, address = address] {
            const std::lock_guard guard(state->mutex);
            if (state->alive) (*block)(std::span(&address, 1));
        };
    }

    void retire() const {
        const std::lock_guard guard(state->mutex);
        state->alive = false;
    }
};

}  // namespace sonvel
