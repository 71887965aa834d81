#include "core/Preferences.hpp"

#include <utility>

#include "core/Position.hpp"

namespace sonvel {

std::optional<AppPreference> Preferences::preference(const std::string& key) const {
    const auto found = apps.find(key);
    if (found == apps.end()) return std::nullopt;
    return found->second;
}

void Preferences::set(AppPreference preference, const std::string& key) {
    preference.position = sanitizedPosition(preference.position);
    if (preference.isDefault() && preference.unknownMembers.empty()) {
        apps.erase(key);
    } else {
        apps.insert_or_assign(key, std::move(preference));
    }
}

}  // namespace sonvel
