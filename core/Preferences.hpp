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
    // Top-level members this version does not know (a JSON object's text, or
    // empty), written back as they were read.
    std::string unknownMembers;

    [[nodiscard]] std::optional<AppPreference> preference(const std::string& key) const;
    // Stores the entry, or removes the key's entry when the preference leaves
    // the group alone and carries nothing of a newer version's.
    void set(AppPreference preference, const std::string& key);

    bool operator==(const Preferences&) const = default;
};

}  // namespace sonvel
