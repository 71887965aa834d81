#pragma once

#include <cstddef>
#include <functional>
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

    [[nodiscard]] std::size_t hash() const;

    bool operator==(const EngineTopology&) const = default;
};

}  // namespace sonvel

template <>
struct std::hash<sonvel::EngineTopology> {
    std::size_t operator()(const sonvel::EngineTopology& topology) const noexcept {
        return topology.hash();
    }
};
