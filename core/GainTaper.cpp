#include "core/GainTaper.hpp"

#include <fmt/format.h>

#include <cmath>

namespace sonvel::GainTaper {

double clampedPosition(double position) {
    if (std::isnan(position)) return 1.0;
    if (position <= 0.0) return 0.0;
    if (position > 1.0) return 1.0;
    return position;
}

float gain(double position) {
    const double p = clampedPosition(position);
    return static_cast<float>(p * p);
}

double position(float gain) {
    if (std::isnan(gain) || gain <= 0.0f) return 0.0;
    if (gain > 1.0f) return 1.0;
    return std::sqrt(static_cast<double>(gain));
}

double decibels(double position) {
    const float g = gain(position);
    if (!(g > 0.0f)) return -120.0;
    return 20.0 * std::log10(static_cast<double>(g));
}

std::string percentText(double position) {
    const double p = clampedPosition(position);
    return fmt::format("{}%", static_cast<int>(std::round(p * 100.0)));
}

}  // namespace sonvel::GainTaper
