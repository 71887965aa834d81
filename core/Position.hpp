#pragma once

#include <cmath>

namespace sonvel {

// The one rule for a slider position that is not a plain number in [0, 1],
// applied wherever a position is stored, read, written or turned into a gain.
// Not-a-number counts as full level: a corrupt value must never silence an
// application, and full level (unmuted, unrouted) is what keeps an engine from
// starting at all. An infinity still says which way it points, so it clamps
// like any other value out of range: +inf to 1, −inf to 0 (silent).
inline double sanitizedPosition(double position) {
    if (std::isnan(position)) return 1.0;
    if (position <= 0.0) return 0.0;
    if (position > 1.0) return 1.0;
    return position;
}

}  // namespace sonvel
