#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/AppGroup.hpp"
#include "core/AppPreference.hpp"
#include "core/ControlGate.hpp"
#include "core/EngineSpec.hpp"
#include "core/GroupStatus.hpp"
#include "core/OutputContext.hpp"

namespace sonvel {

struct ReconcileInput {
    std::vector<AppGroup> groups;  // in display order
    std::map<std::string, AppPreference> preferences;
    ControlGate gate = ControlGate::NeedsPermission{};
    std::optional<OutputContext> output;  // the default output
    std::vector<OutputContext> outputs;   // the selectable outputs
    std::map<std::string, std::chrono::steady_clock::time_point> lastActive;
    std::chrono::steady_clock::time_point now;
    double idleGrace = 30.0;  // seconds
    std::map<std::string, GroupStatus> failures;

    bool operator==(const ReconcileInput&) const = default;
};

struct ReconcileResult {
    std::vector<EngineSpec> specs;  // in the order of the groups
    std::map<std::string, GroupStatus> statuses;

    bool operator==(const ReconcileResult&) const = default;
};

// Decides, for every group, whether an engine must run and what its row shows.
// An application is touched only when the user asked for something other than
// the unchanged level on the default output, control is allowed, it plays (or
// just stopped), and it has not just failed.
namespace Reconciler {

ReconcileResult reconcile(const ReconcileInput& input);

}  // namespace Reconciler

}  // namespace sonvel
