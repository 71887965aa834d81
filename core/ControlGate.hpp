#pragma once

#include <optional>
#include <string>

#include "core/OneOf.hpp"
#include "core/PermissionState.hpp"
#include "core/ValidationPolicy.hpp"
#include "core/ValidationRecord.hpp"

namespace sonvel {

namespace control_gate {
struct Ready {
    bool operator==(const Ready&) const = default;
};
struct NeedsPermission {
    bool operator==(const NeedsPermission&) const = default;
};
struct PermissionDenied {
    bool operator==(const PermissionDenied&) const = default;
};
struct NeedsLiveValidation {
    bool operator==(const NeedsLiveValidation&) const = default;
};
struct ValidationFailed {
    bool operator==(const ValidationFailed&) const = default;
};
struct NeedsRevalidation {
    std::string reason;
    bool operator==(const NeedsRevalidation&) const = default;
};
struct Paused {
    bool operator==(const Paused&) const = default;
};
}  // namespace control_gate

// The gate's sentences that name the operating system or its settings. The
// core knows no platform, so the application passes its own words in
// (Sonvel/PlatformWording); the defaults name none.
struct GateWording {
    // The detail while capture is not yet proven, and after only silence came.
    std::string needsPermission = "Check with sound playing that Sonvel can hear other apps.";
    std::string permissionDenied =
        "Sonvel only received silence. Make sure it may read other apps’ sound, then relaunch.";
    // Where the live test proves per-app volume ("…really works on this Mac.").
    std::string computer = "this computer";
    BuildWording build;

    bool operator==(const GateWording&) const = default;
};

// Whether volume controls are available right now, and if not, why. Derived
// from the permission, the stored live test and the pause switch; never stored.
// It carries the words it is told in, which take no part in comparing gates.
struct ControlGate
    : OneOf<control_gate::Ready, control_gate::NeedsPermission, control_gate::PermissionDenied,
            control_gate::NeedsLiveValidation, control_gate::ValidationFailed,
            control_gate::NeedsRevalidation, control_gate::Paused> {
    using Ready = control_gate::Ready;
    using NeedsPermission = control_gate::NeedsPermission;
    using PermissionDenied = control_gate::PermissionDenied;
    using NeedsLiveValidation = control_gate::NeedsLiveValidation;
    using ValidationFailed = control_gate::ValidationFailed;
    using NeedsRevalidation = control_gate::NeedsRevalidation;
    using Paused = control_gate::Paused;
    using OneOf::OneOf;

    [[nodiscard]] bool isReady() const { return is<Ready>(); }
    [[nodiscard]] std::string title() const;
    [[nodiscard]] std::string detail() const;

    static ControlGate evaluate(const PermissionState& permission,
                                const std::optional<ValidationRecord>& validation,
                                const ValidationPath& currentPath, bool isPaused,
                                const GateWording& words);

    GateWording words;

    bool operator==(const ControlGate& other) const { return value == other.value; }
};

}  // namespace sonvel
