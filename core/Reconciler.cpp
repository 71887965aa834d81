#include "core/Reconciler.hpp"

#include <algorithm>

#include "core/Routing.hpp"

namespace sonvel::Reconciler {

namespace {

bool isActive(const AppGroup& group, const ReconcileInput& input) {
    if (group.isRunningOutput) return true;
    const auto last = input.lastActive.find(group.key);
    if (last == input.lastActive.end()) return false;
    const std::chrono::duration<double> since = input.now - last->second;
    return since.count() < input.idleGrace;
}

// One group's status, and the engine it needs if any.
GroupStatus decide(const AppGroup& group, const ReconcileInput& input,
                   std::vector<EngineSpec>& specs) {
    using Unavailable = GroupStatus::Unavailable;
    const auto found = input.preferences.find(group.key);
    if (found == input.preferences.end() || found->second.isDefault()) {
        if (input.gate.isReady()) return GroupStatus::Untouched{};
        return Unavailable{UnavailableReason::ControlsLocked{input.gate}};
    }
    const AppPreference& preference = found->second;
    if (!input.gate.isReady()) return Unavailable{UnavailableReason::ControlsLocked{input.gate}};
    if (!input.output) return Unavailable{UnavailableReason::NoOutputDevice{}};
    if (!group.outputDeviceIDs.empty() && !group.outputDeviceIDs.contains(input.output->deviceID)) {
        return Unavailable{UnavailableReason::PlaysToOtherDevice{}};
    }

    Routing::Resolution route = Routing::resolve(preference, *input.output, input.outputs);
    if (route.target.unsupportedReason) {
        return Unavailable{UnavailableReason::DeviceUnsupported{*route.target.unsupportedReason}};
    }
    if (route.fallbackReason && preference.isFullLevel()) {
        return GroupStatus::RouteFallback{*route.fallbackReason};
    }
    if (const auto failure = input.failures.find(group.key); failure != input.failures.end()) {
        return failure->second;
    }
    if (!isActive(group, input)) return GroupStatus::Idle{};

    EngineSpec spec{group.key, group.displayName,
                    EngineTopology{group.processObjectIDs, std::move(route.target.uid)},
                    preference.gain()};
    std::ranges::sort(spec.topology.processObjectIDs);
    specs.push_back(std::move(spec));
    if (route.fallbackReason) return GroupStatus::RouteFallback{std::move(*route.fallbackReason)};
    return GroupStatus::Active{};
}

}  // namespace

ReconcileResult reconcile(const ReconcileInput& input) {
    ReconcileResult result;
    for (const AppGroup& group : input.groups) {
        result.statuses.insert_or_assign(group.key, decide(group, input, result.specs));
    }
    return result;
}

}  // namespace sonvel::Reconciler
