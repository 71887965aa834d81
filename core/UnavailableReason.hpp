#pragma once

#include <string>

#include "core/ControlGate.hpp"
#include "core/OneOf.hpp"

namespace sonvel {

namespace unavailable_reason {
struct ControlsLocked {
    ControlGate gate;
    bool operator==(const ControlsLocked&) const = default;
};
struct DeviceUnsupported {
    std::string reason;
    bool operator==(const DeviceUnsupported&) const = default;
};
struct PlaysToOtherDevice {
    bool operator==(const PlaysToOtherDevice&) const = default;
};
struct NoOutputDevice {
    bool operator==(const NoOutputDevice&) const = default;
};
}  // namespace unavailable_reason

// Why a group cannot be controlled.
struct UnavailableReason
    : OneOf<unavailable_reason::ControlsLocked, unavailable_reason::DeviceUnsupported,
            unavailable_reason::PlaysToOtherDevice, unavailable_reason::NoOutputDevice> {
    using ControlsLocked = unavailable_reason::ControlsLocked;
    using DeviceUnsupported = unavailable_reason::DeviceUnsupported;
    using PlaysToOtherDevice = unavailable_reason::PlaysToOtherDevice;
    using NoOutputDevice = unavailable_reason::NoOutputDevice;
    using OneOf::OneOf;

    bool operator==(const UnavailableReason&) const = default;
};

}  // namespace sonvel
