#pragma once

#include <optional>
#include <string>

namespace sonvel {

// What the user set for one group. Constructing one normalises the input. The
// fields stay public, so every derived property reads the position through
// `sanitizedPosition` (core/Position.hpp) rather than trusting it.
struct AppPreference {
    double position = 1.0;
    bool muted = false;
    std::string displayName;
    std::optional<std::string> outputDeviceUID;
    std::optional<std::string> outputDeviceName;
    // Members of the stored entry this version does not know (a JSON object's
    // text, or empty), written back as they were read: a newer Sonvel's
    // settings survive a run of this one.
    std::string unknownMembers;

    AppPreference() = default;
    AppPreference(double position, bool muted, std::string displayName,
                  std::optional<std::string> outputDeviceUID = std::nullopt,
                  std::optional<std::string> outputDeviceName = std::nullopt);

    // Leaves the group alone: full level, not muted, following the default output.
    [[nodiscard]] bool isDefault() const;
    [[nodiscard]] bool isFullLevel() const;
    // Quadratic taper of the sanitised position; 0 when muted.
    [[nodiscard]] float gain() const;

    bool operator==(const AppPreference&) const = default;
};

}  // namespace sonvel
