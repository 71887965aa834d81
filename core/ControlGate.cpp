#include "core/ControlGate.hpp"

#include <fmt/format.h>

#include "core/AppBrand.hpp"
#include "core/ValidationPolicy.hpp"

namespace sonvel {

std::string ControlGate::title() const {
    return visit(Overloaded{
        [](const Ready&) -> std::string { return "Ready"; },
        [](const NeedsPermission&) -> std::string {
            return "Volume controls unavailable — permission not verified";
        },
        [](const PermissionDenied&) -> std::string {
            return "Volume controls unavailable — no audio access";
        },
        [](const NeedsLiveValidation&) -> std::string {
            return "Volume controls unavailable — live audio test not done";
        },
        [](const ValidationFailed&) -> std::string {
            return "Volume controls unavailable — live audio test failed";
        },
        [](const NeedsRevalidation&) -> std::string {
            return "Volume controls unavailable — live audio test needs to be repeated";
        },
        [](const Paused&) -> std::string { return fmt::format("{} is paused", AppBrand::name); },
    });
}

std::string ControlGate::detail() const {
    return visit(Overloaded{
        [](const Ready&) -> std::string { return "Changes apply immediately."; },
        [](const NeedsPermission&) -> std::string {
            return fmt::format(
                "Allow “System Audio Recording Only” for {} and confirm it with sound playing.",
                AppBrand::name);
        },
        [](const PermissionDenied&) -> std::string {
            return fmt::format(
                "{0} only received silence. Turn on {0} in System Settings › Privacy & Security › "
                "Screen & System Audio Recording › System Audio Recording Only, then relaunch.",
                AppBrand::name);
        },
        [](const NeedsLiveValidation&) -> std::string {
            return "Run the 10-second live test once so you can confirm by ear that per-app "
                   "volume really works on this Mac.";
        },
        [](const ValidationFailed&) -> std::string {
            return "You reported that the live test did not behave correctly. Per-app volume "
                   "stays off. You can re-run the test.";
        },
        [](const NeedsRevalidation& gate) -> std::string {
            return gate.reason + " Run the 10-second live test again.";
        },
        [](const Paused&) -> std::string {
            return "All apps play at their normal volume. Resume to apply your levels.";
        },
    });
}

ControlGate ControlGate::evaluate(const PermissionState& permission,
                                  const std::optional<ValidationRecord>& validation,
                                  const ValidationPath& currentPath, bool isPaused) {
    if (permission.is<PermissionState::LikelyDenied>()) return PermissionDenied{};
    if (!permission.is<PermissionState::Verified>()) return NeedsPermission{};

    const ValidationStatus status = ValidationPolicy::status(validation, currentPath);
    if (status.is<ValidationStatus::Missing>()) return NeedsLiveValidation{};
    if (status.is<ValidationStatus::Failed>()) return ValidationFailed{};
    if (const auto* stale = status.as<ValidationStatus::NeedsRevalidation>()) {
        return NeedsRevalidation{stale->reason};
    }
    if (isPaused) return Paused{};
    return Ready{};
}

}  // namespace sonvel
