#pragma once

#include <optional>
#include <string>

#include "core/ProcessRecord.hpp"

namespace sonvel {

// An output device as the policy sees it.
struct OutputContext {
    AudioObjectID deviceID = 0;
    std::string uid;
    std::string name;
    // Present when the device cannot be used now: the sentence to show.
    std::optional<std::string> unsupportedReason;

    bool operator==(const OutputContext&) const = default;
};

}  // namespace sonvel
