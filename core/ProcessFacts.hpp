#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/ProcessRecord.hpp"

namespace sonvel {

// The raw facts gathered about one audio process, before its owner is known.
struct ProcessFacts {
    AudioObjectID objectID = 0;
    ProcessID pid = 0;
    std::optional<std::string> bundleID;
    bool isRunningOutput = false;
    std::vector<AudioObjectID> outputDeviceIDs;
    // What the registry of running applications knows about this pid.
    std::optional<std::string> launchServicesBundlePath;
    std::optional<std::string> launchServicesName;
    bool launchServicesIsRegular = false;
    std::optional<std::string> executablePath;

    bool operator==(const ProcessFacts&) const = default;
};

// What is known about an application bundle on disk.
struct BundleFacts {
    std::optional<std::string> bundleID;
    std::string name;

    bool operator==(const BundleFacts&) const = default;
};

}  // namespace sonvel
