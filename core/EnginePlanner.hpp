#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/EngineAction.hpp"
#include "core/EngineSpec.hpp"

namespace sonvel::EnginePlanner {

// What the host knows about one running engine.
struct Running {
    EngineTopology topology;
    float gain = 1.0f;

    bool operator==(const Running&) const = default;
};

// The cheapest ordered steps from the running engines to the desired ones:
// destroys (by key), then creates and rebuilds (in desired order), then gain
// changes. Teardown comes first so that a released tap is free before a new
// engine taps the same processes.
std::vector<EngineAction> actions(const std::map<std::string, Running>& running,
                                  const std::vector<EngineSpec>& desired);

// Replaces every running engine that is still wanted by a fresh one through a
// gapless hand-over, whatever its state: destroys, then hand-overs, then creates.
std::vector<EngineAction> resetActions(const std::set<std::string>& runningKeys,
                                       const std::vector<EngineSpec>& desired);

}  // namespace sonvel::EnginePlanner
