#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/DeviceFacts.hpp"
#include "core/OutputContext.hpp"

namespace sonvel::OutputCatalog {

// Identifier prefixes of the devices this application creates itself; such
// devices are never offered as outputs.
inline constexpr std::array<std::string_view, 2> ownDeviceUIDPrefixes = {
    "app.velmorra.sonvel.", "app.velmorra.quillaster."};

bool isOwnDevice(std::string_view uid);

// The devices a user may route to, default output first, the rest by name.
std::vector<OutputContext> selectable(const std::vector<DeviceFacts>& devices,
                                      const std::optional<std::string>& defaultUID,
                                      ProcessID ownPID);

}  // namespace sonvel::OutputCatalog
