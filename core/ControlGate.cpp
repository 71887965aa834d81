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
        [this](const NeedsPermission&) -> std::string { return words.needsPermission; },
        [this](const PermissionDenied&) -> std::string { return words.permissionDenied; },
        [this](const NeedsLiveValidation&) -> std::string {
            return "Run the 10-second live test once so you can confirm by ear that per-app "
                   "volume really works on " +
                   words.computer + ".";
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

namespace {

ControlGate state(const PermissionState& permission,
                  const std::optional<ValidationRecord>& validation,
                  const ValidationPath& currentPath, bool isPaused, const BuildWording& words) {
    using G = ControlGate;
    if (permission.is<PermissionState::LikelyDenied>()) return G::PermissionDenied{};
    if (!permission.is<PermissionState::Verified>()) return G::NeedsPermission{};

    const ValidationStatus status = ValidationPolicy::status(validation, currentPath, words);
    if (status.is<ValidationStatus::Missing>()) return G::NeedsLiveValidation{};
    if (status.is<ValidationStatus::Failed>()) return G::ValidationFailed{};
    if (const auto* stale = status.as<ValidationStatus::NeedsRevalidation>()) {
        return G::NeedsRevalidation{stale->reason};
    }
    if (isPaused) return G::Paused{};
    return G::Ready{};
}

}  // namespace

ControlGate ControlGate::evaluate(const PermissionState& permission,
                                  const std::optional<ValidationRecord>& validation,
                                  const ValidationPath& currentPath, bool isPaused,
                                  const GateWording& words) {
    ControlGate gate = state(permission, validation, currentPath, isPaused, words.build);
    gate.words = words;
    return gate;
}

}  // namespace sonvel
