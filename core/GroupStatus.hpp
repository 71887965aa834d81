#pragma once

#include <string>

#include "core/OneOf.hpp"
#include "core/UnavailableReason.hpp"

namespace sonvel {

namespace group_status {
struct RouteFallback {
    std::string reason;
    bool operator==(const RouteFallback&) const = default;
};
struct Unavailable {
    UnavailableReason reason;
    bool operator==(const Unavailable&) const = default;
};
struct Failed {
    std::string message;
    bool retrying = false;
    bool operator==(const Failed&) const = default;
};
struct Untouched {
    bool operator==(const Untouched&) const = default;
};
struct Active {
    bool operator==(const Active&) const = default;
};
struct Idle {
    bool operator==(const Idle&) const = default;
};
}  // namespace group_status

// The state of one group's row.
struct GroupStatus
    : OneOf<group_status::RouteFallback, group_status::Unavailable, group_status::Failed,
            group_status::Untouched, group_status::Active, group_status::Idle> {
    using RouteFallback = group_status::RouteFallback;
    using Unavailable = group_status::Unavailable;
    using Failed = group_status::Failed;
    using Untouched = group_status::Untouched;
    using Active = group_status::Active;
    using Idle = group_status::Idle;
    using OneOf::OneOf;

    bool operator==(const GroupStatus&) const = default;
};

}  // namespace sonvel
