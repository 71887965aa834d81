#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/OneOf.hpp"
#include "tap/CoreAudioError.hpp"

namespace sonvel {

namespace gain_tap_engine_error {
struct InvalidObjectID {
    std::string operation;
    bool operator==(const InvalidObjectID&) const = default;
};
struct UnsupportedTapFormat {
    std::uint32_t formatID = 0;
    std::uint32_t flags = 0;
    std::uint32_t bits = 0;
    bool operator==(const UnsupportedTapFormat&) const = default;
};
struct UnexpectedInputLayout {
    long tapChannels = 0;
    std::vector<long> aggregateInputBuffers;
    long deviceInputBuffers = 0;
    bool operator==(const UnexpectedInputLayout&) const = default;
};
struct UnmutedPlan {
    bool operator==(const UnmutedPlan&) const = default;
};
struct NoOutputDevice {
    bool operator==(const NoOutputDevice&) const = default;
};
struct MissingBundleID {
    bool operator==(const MissingBundleID&) const = default;
};
struct NoProcesses {
    bool operator==(const NoProcesses&) const = default;
};
struct NoOutputChannels {
    bool operator==(const NoOutputChannels&) const = default;
};
struct Stopped {
    bool operator==(const Stopped&) const = default;
};
}  // namespace gain_tap_engine_error

struct GainTapEngineError
    : OneOf<gain_tap_engine_error::InvalidObjectID, gain_tap_engine_error::UnsupportedTapFormat,
            gain_tap_engine_error::UnexpectedInputLayout, gain_tap_engine_error::UnmutedPlan,
            gain_tap_engine_error::NoOutputDevice, gain_tap_engine_error::MissingBundleID,
            gain_tap_engine_error::NoProcesses, gain_tap_engine_error::NoOutputChannels,
            gain_tap_engine_error::Stopped> {
    using InvalidObjectID = gain_tap_engine_error::InvalidObjectID;
    using UnsupportedTapFormat = gain_tap_engine_error::UnsupportedTapFormat;
    using UnexpectedInputLayout = gain_tap_engine_error::UnexpectedInputLayout;
    using UnmutedPlan = gain_tap_engine_error::UnmutedPlan;
    using NoOutputDevice = gain_tap_engine_error::NoOutputDevice;
    using MissingBundleID = gain_tap_engine_error::MissingBundleID;
    using NoProcesses = gain_tap_engine_error::NoProcesses;
    using NoOutputChannels = gain_tap_engine_error::NoOutputChannels;
    using Stopped = gain_tap_engine_error::Stopped;
    using OneOf::OneOf;

    [[nodiscard]] std::string description() const;

    bool operator==(const GainTapEngineError&) const = default;
};

// Why an engine or probe could not be built or started: its own refusal or a
// failed call to the audio hardware layer.
struct EngineError : OneOf<GainTapEngineError, CoreAudioError> {
    using OneOf::OneOf;
    // Any one refusal is an engine error as it stands.
    template <class Case>
    requires std::constructible_from<GainTapEngineError, Case> &&
        (!std::same_as<std::remove_cvref_t<Case>, GainTapEngineError>)
            EngineError(Case&& refusal)  // NOLINT(google-explicit-constructor)
        : OneOf(GainTapEngineError(std::forward<Case>(refusal))) {}

    [[nodiscard]] std::string description() const {
        return visit([](const auto& e) { return e.description(); });
    }

    bool operator==(const EngineError&) const = default;
};

}  // namespace sonvel
