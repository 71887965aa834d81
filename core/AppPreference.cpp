#include "core/AppPreference.hpp"

#include <utility>

#include "core/GainTaper.hpp"
#include "core/Position.hpp"

namespace sonvel {

AppPreference::AppPreference(double position_, bool muted_, std::string displayName_,
                             std::optional<std::string> outputDeviceUID_,
                             std::optional<std::string> outputDeviceName_)
    : position(sanitizedPosition(position_)),
      muted(muted_),
      displayName(std::move(displayName_)),
      outputDeviceUID(std::move(outputDeviceUID_)),
      outputDeviceName(outputDeviceUID ? std::move(outputDeviceName_) : std::nullopt) {}

bool AppPreference::isDefault() const {
    return isFullLevel() && !outputDeviceUID;
}

bool AppPreference::isFullLevel() const {
    return sanitizedPosition(position) >= 1.0 && !muted;
}

float AppPreference::gain() const {
    return muted ? 0.0f : GainTaper::gain(position);
}

}  // namespace sonvel
