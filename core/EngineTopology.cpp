#include "core/EngineTopology.hpp"

namespace sonvel {

namespace {

// Boost-style mixing, widened to 64 bits.
void combine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace

std::size_t EngineTopology::hash() const {
    std::size_t seed = 0;
    combine(seed, processObjectIDs.size());
    for (AudioObjectID id : processObjectIDs) combine(seed, std::hash<AudioObjectID>{}(id));
    combine(seed, std::hash<std::string>{}(deviceUID));
    return seed;
}

}  // namespace sonvel
