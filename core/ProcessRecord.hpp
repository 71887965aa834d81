#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sonvel {

using AudioObjectID = std::uint32_t;
using ProcessID = std::int32_t;

// One audio process after its owning application has been worked out.
struct ProcessRecord {
    AudioObjectID objectID = 0;
    ProcessID pid = 0;
    std::optional<std::string> bundleID;
    std::optional<std::string> appBundleID;
    std::optional<std::string> appName;
    std::optional<std::string> appPath;
    bool isUserApp = false;
    bool isRunningOutput = false;
    std::vector<AudioObjectID> outputDeviceIDs;

    bool operator==(const ProcessRecord&) const = default;
};

}  // namespace sonvel
