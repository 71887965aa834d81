#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "core/AppPreference.hpp"
#include "core/ValidationRecord.hpp"

namespace sonvel {

// Everything remembered between launches.
struct Preferences {
    static constexpr std::int64_t currentVersion = 1;

    std::int64_t version = currentVersion;
    // Only entries that change something are kept.
    std::map<std::string, AppPreference> apps;
    bool isPaused = false;
    bool showIdleApps = true;
    std::optional<std::chrono::system_clock::time_point> permissionVerifiedAt;
    std::optional<ValidationRecord> validation;

    [[nodiscard]] std::optional<AppPreference> preference(const std::string& key) const;
    // Stores the entry, or removes the key's entry when the preference leaves
    // the group alone.
    void set(AppPreference preference, const std::string& key);

    bool operator==(const Preferences&) const = default;
};

}  // namespace sonvel
