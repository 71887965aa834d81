#include "core/Routing.hpp"

#include <algorithm>

namespace sonvel::Routing {

Resolution resolve(const AppPreference& preference, const OutputContext& defaultOutput,
                   const std::vector<OutputContext>& outputs) {
    if (!preference.outputDeviceUID || *preference.outputDeviceUID == defaultOutput.uid) {
        return {defaultOutput, std::nullopt};
    }
    const auto chosen =
        std::ranges::find(outputs, *preference.outputDeviceUID, &OutputContext::uid);
    if (chosen == outputs.end()) {
        return {defaultOutput, preference.outputDeviceName.value_or("The chosen output") +
                                   " is not connected — using Default Output."};
    }
    if (chosen->unsupportedReason) {
        return {defaultOutput, *chosen->unsupportedReason + " Using Default Output."};
    }
    return {*chosen, std::nullopt};
}

bool canRoute(const ControlGate& gate, const std::optional<GroupStatus>& status,
              const std::vector<OutputContext>& outputs) {
    if (!gate.isReady()) return false;
    if (status) {
        const auto* unavailable = status->as<GroupStatus::Unavailable>();
        if (unavailable && unavailable->reason.is<UnavailableReason::PlaysToOtherDevice>()) {
            return false;
        }
    }
    const auto usable =
        std::ranges::count_if(outputs, [](const OutputContext& o) { return !o.unsupportedReason; });
    return usable >= 2;
}

}  // namespace sonvel::Routing
