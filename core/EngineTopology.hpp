#pragma once

#include <string>
#include <vector>

#include "core/ProcessRecord.hpp"

namespace sonvel {

// What an engine is built around. Equal topologies can be retuned in place;
// any change needs a new engine. Producers keep the process list ascending so
// that equal sets of processes compare equal.
struct EngineTopology {
    std::vector<AudioObjectID> processObjectIDs;
    std::string deviceUID;

    bool operator==(const EngineTopology&) const = default;
};

}  // namespace sonvel
