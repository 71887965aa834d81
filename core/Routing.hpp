#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/AppPreference.hpp"
#include "core/ControlGate.hpp"
#include "core/GroupStatus.hpp"
#include "core/OutputContext.hpp"

namespace sonvel::Routing {

// The device a group's engine plays to, and why it is not the chosen one.
struct Resolution {
    OutputContext target;
    std::optional<std::string> fallbackReason;

    bool operator==(const Resolution&) const = default;
};

Resolution resolve(const AppPreference& preference, const OutputContext& defaultOutput,
                   const std::vector<OutputContext>& outputs);

// Whether a row may offer an output choice at all.
bool canRoute(const ControlGate& gate, const std::optional<GroupStatus>& status,
              const std::vector<OutputContext>& outputs);

}  // namespace sonvel::Routing
