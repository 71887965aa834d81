#pragma once

#include <optional>
#include <string>

#include "core/OneOf.hpp"
#include "core/ValidationRecord.hpp"

namespace sonvel {

namespace validation_status {
struct NeedsRevalidation {
    std::string reason;
    bool operator==(const NeedsRevalidation&) const = default;
};
struct Missing {
    bool operator==(const Missing&) const = default;
};
struct Valid {
    bool operator==(const Valid&) const = default;
};
struct Failed {
    bool operator==(const Failed&) const = default;
};
}  // namespace validation_status

struct ValidationStatus : OneOf<validation_status::NeedsRevalidation, validation_status::Missing,
                                validation_status::Valid, validation_status::Failed> {
    using NeedsRevalidation = validation_status::NeedsRevalidation;
    using Missing = validation_status::Missing;
    using Valid = validation_status::Valid;
    using Failed = validation_status::Failed;
    using OneOf::OneOf;

    bool operator==(const ValidationStatus&) const = default;
};

// Whether a stored live test still applies.
namespace ValidationPolicy {

ValidationStatus status(const std::optional<ValidationRecord>& record,
                        const ValidationPath& current);

// Marks a passed record invalid; the first reason given is the one kept.
std::optional<ValidationRecord> invalidate(std::optional<ValidationRecord> record,
                                           std::string reason);

}  // namespace ValidationPolicy

}  // namespace sonvel
