#include "core/GainTaper.hpp"

#include <fmt/format.h>

#include <cmath>

#include "core/Position.hpp"

namespace sonvel::GainTaper {

float gain(double position) {
    const double p = sanitizedPosition(position);
    return static_cast<float>(p * p);
}

double position(float gain) {
    return std::sqrt(sanitizedPosition(static_cast<double>(gain)));
}

std::string percentText(double position) {
    const double p = sanitizedPosition(position);
    return fmt::format("{}%", static_cast<int>(std::round(p * 100.0)));
}

}  // namespace sonvel::GainTaper
