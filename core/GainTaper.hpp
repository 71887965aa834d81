#pragma once

#include <string>

namespace sonvel::GainTaper {

// The one place where a slider position (0 to 1) becomes a gain or a label.
// The taper is quadratic in amplitude: 0.5 gives 0.25.

// Every position is first made sane by `sanitizedPosition` (core/Position.hpp).
float gain(double position);
// Inverse of `gain`, under the same rule: a gain that is not a number is full level.
double position(float gain);
// Linear in the position: 0.5 reads "50%".
std::string percentText(double position);

}  // namespace sonvel::GainTaper
