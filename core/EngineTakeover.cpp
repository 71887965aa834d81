#include "core/EngineTakeover.hpp"

#include <utility>

namespace sonvel {

EngineTakeover::EngineTakeover(std::shared_ptr<GainControl> old,
                               std::shared_ptr<const EngineMeter> oldMeter, float gain)
    : old_(std::move(old)),
      oldMeter_(std::move(oldMeter)),
      gain_(gain),
      oldHeard_(oldMeter_->totalInputNonZeroSamples()) {}

bool EngineTakeover::swap(GainControl& own) {
    if (!pending_.exchange(false, std::memory_order_acq_rel)) return false;
    own.set(gain_);
    old_->set(0.0f);
    return true;
}

bool EngineTakeover::cycle(bool inputHasSound, GainControl& own) {
    if (done()) return false;
    const std::uint64_t heard = oldMeter_->totalInputNonZeroSamples();
    // Either the old engine heard nothing since our last cycle, or its own
    // latest cycle was empty. The second tells a move one cycle sooner: once
    // the application has left it, the old engine waits for nothing and runs
    // first in the cycle, while ours waits for the application, so our last
    // look at its count can predate the cycle it still heard.
    const bool oldHearsNothing = heard == oldHeard_ || !oldMeter_->lastInputHeard();
    oldHeard_ = heard;
    return inputHasSound && oldHearsNothing && swap(own);
}

void EngineTakeover::complete(GainControl& own) {
    (void)swap(own);
}

}  // namespace sonvel
