#pragma once

#include <string>

namespace sonvel::GainTaper {

// The one place where a slider position (0 to 1) becomes a gain, a decibel
// figure or a label. The taper is quadratic in amplitude: 0.5 gives 0.25.

// 0 at or below 0, 1 above 1; not-a-number counts as full level, so a corrupt
// position never silences an application.
double clampedPosition(double position);

float gain(double position);
// Inverse of `gain`; a gain that is not a number counts as silence.
double position(float gain);
// -120 for silence, otherwise 20·log10(gain) with no further floor.
double decibels(double position);
// Linear in the position: 0.5 reads "50%".
std::string percentText(double position);

}  // namespace sonvel::GainTaper
