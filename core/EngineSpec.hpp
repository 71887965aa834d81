#pragma once

#include <string>

#include "core/EngineTopology.hpp"

namespace sonvel {

// One engine that must run; at most one per group key.
struct EngineSpec {
    std::string key;
    std::string displayName;
    EngineTopology topology;
    float gain = 1.0f;

    bool operator==(const EngineSpec&) const = default;
};

}  // namespace sonvel
