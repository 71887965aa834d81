#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/EngineMeter.hpp"
#include "core/GainControl.hpp"

namespace sonvel {

// Lets a replacement engine take an application over from the engine it
// replaces on its own IO thread, in the first cycle that brings it the
// application's sound while the old engine hears none. Where a server moves
// a stream from one tap to the next rather than copying it, that cycle is
// the move itself: the new engine plays it at once at its level, and no
// cycle is lost to a poll from another thread. Where both taps hear the
// application, the old engine keeps hearing it, nothing happens here, and
// the hand-over crossfades as before.
class EngineTakeover {
  public:
    EngineTakeover(std::shared_ptr<GainControl> old, std::shared_ptr<const EngineMeter> oldMeter,
                   float gain);

    // The new engine's IO thread, before it renders a cycle. Real-time safe.
    // True when the cycle is to be played at the new gain from its first frame.
    bool cycle(bool inputHasSound, GainControl& own);
    // Any other thread: swaps the gains now unless the IO thread already did.
    void complete(GainControl& own);
    [[nodiscard]] bool done() const { return !pending_.load(std::memory_order_acquire); }

  private:
    bool swap(GainControl& own);

    std::shared_ptr<GainControl> old_;
    std::shared_ptr<const EngineMeter> oldMeter_;
    float gain_;
    std::uint64_t oldHeard_;  // IO thread only, after construction
    std::atomic<bool> pending_{true};
};

}  // namespace sonvel
