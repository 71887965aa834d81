#pragma once

#include <string>

#include "core/OneOf.hpp"

namespace sonvel {

namespace permission_state {
struct Unknown {
    bool operator==(const Unknown&) const = default;
};
struct Probing {
    // True while the check waits because no other application plays.
    bool nothingPlaying = false;
    bool operator==(const Probing&) const = default;
};
struct Verified {
    bool operator==(const Verified&) const = default;
};
struct LikelyDenied {
    bool operator==(const LikelyDenied&) const = default;
};
struct Failed {
    std::string message;
    bool operator==(const Failed&) const = default;
};
}  // namespace permission_state

// Whether the capture permission has been shown to work.
struct PermissionState
    : OneOf<permission_state::Unknown, permission_state::Probing, permission_state::Verified,
            permission_state::LikelyDenied, permission_state::Failed> {
    using Unknown = permission_state::Unknown;
    using Probing = permission_state::Probing;
    using Verified = permission_state::Verified;
    using LikelyDenied = permission_state::LikelyDenied;
    using Failed = permission_state::Failed;
    using OneOf::OneOf;

    bool operator==(const PermissionState&) const = default;
};

}  // namespace sonvel
