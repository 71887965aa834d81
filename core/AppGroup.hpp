#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/ProcessRecord.hpp"

namespace sonvel {

// One application as the user sees it. `key` is its identity everywhere:
// preferences, statuses, engines, failures and rows.
struct AppGroup {
    std::string key;
    std::string displayName;
    std::optional<std::string> appPath;
    std::vector<AudioObjectID> processObjectIDs;
    std::vector<ProcessID> pids;
    bool isRunningOutput = false;
    std::set<AudioObjectID> outputDeviceIDs;
    bool isShared = false;

    [[nodiscard]] const std::string& id() const { return key; }

    bool operator==(const AppGroup&) const = default;
};

}  // namespace sonvel
