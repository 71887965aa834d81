#pragma once

// The colour a window's text or symbol carries, by meaning; the widgets pick
// the desktop's colour for each. Pure, no platform.
namespace sonvel {

enum class Tone { primary, secondary, positive, warning, negative };

}  // namespace sonvel
