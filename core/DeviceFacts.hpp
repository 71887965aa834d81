#pragma once

#include <optional>
#include <string>

#include "core/ProcessRecord.hpp"

namespace sonvel {

// What the audio layer reports about one device.
struct DeviceFacts {
    AudioObjectID deviceID = 0;
    std::string uid;
    // The uid when the name cannot be read.
    std::string name;
    long outputChannels = 0;
    bool isHidden = false;
    // Who holds the device exclusively, if anybody.
    std::optional<ProcessID> hogModeOwner;

    bool operator==(const DeviceFacts&) const = default;
};

}  // namespace sonvel
