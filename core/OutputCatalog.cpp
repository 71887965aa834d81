#include "core/OutputCatalog.hpp"

#include <algorithm>

#include "core/NameOrder.hpp"

namespace sonvel::OutputCatalog {

bool isOwnDevice(std::string_view uid) {
    return std::ranges::any_of(ownDeviceUIDPrefixes,
                               [&](std::string_view prefix) { return uid.starts_with(prefix); });
}

std::vector<OutputContext> selectable(const std::vector<DeviceFacts>& devices,
                                      const std::optional<std::string>& defaultUID,
                                      ProcessID ownPID) {
    std::vector<OutputContext> result;
    for (const DeviceFacts& device : devices) {
        if (device.isHidden || device.outputChannels <= 0 || isOwnDevice(device.uid)) continue;
        OutputContext output{device.deviceID, device.uid, device.name, std::nullopt};
        if (device.hogModeOwner && *device.hogModeOwner != ownPID) {
            output.unsupportedReason = "Another app has exclusive access to " + device.name + ".";
        }
        result.push_back(std::move(output));
    }
    // The default output first.
    NameOrder::stableSort(
        result, [&](const OutputContext& o) { return defaultUID && o.uid == *defaultUID ? 0 : 1; },
        [](const OutputContext& o) -> const std::string& { return o.name; });
    return result;
}

}  // namespace sonvel::OutputCatalog
