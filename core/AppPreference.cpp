#include "core/AppPreference.hpp"

#include <cmath>
#include <utility>

namespace sonvel {

double AppPreference::clampedPosition(double position) {
    // A position that is not a number can only come from corruption; the
    // application then keeps its normal level rather than being silenced.
    if (std::isnan(position)) return 1.0;
    if (position <= 0.0) return 0.0;
    if (position > 1.0) return 1.0;
    return position;
}

AppPreference::AppPreference(double position_, bool muted_, std::string displayName_,
                             std::optional<std::string> outputDeviceUID_,
                             std::optional<std::string> outputDeviceName_)
    : position(clampedPosition(position_)),
      muted(muted_),
      displayName(std::move(displayName_)),
      outputDeviceUID(std::move(outputDeviceUID_)),
      outputDeviceName(outputDeviceUID ? std::move(outputDeviceName_) : std::nullopt) {}

bool AppPreference::isDefault() const {
    return isFullLevel() && !outputDeviceUID;
}

bool AppPreference::isFullLevel() const {
    return position >= 1.0 && !muted;
}

float AppPreference::gain() const {
    if (muted) return 0.0f;
    const double p = clampedPosition(position);
    return static_cast<float>(p * p);
}

}  // namespace sonvel
