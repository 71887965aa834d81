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

// How the platform names the build a live test applies to. The core knows no
// platform, so the application passes its own words in; the defaults name none.
struct BuildWording {
    // Why a change of build asks for the test again; "{old}" and "{new}" stand
    // for the two builds.
    std::string changed = "The system changed from build {old} to {new}.";
    // Every build the platform records now begins with this. A record whose
    // build does not was written when the platform named another thing its
    // build, so comparing the two says nothing; empty: every build compares.
    std::string prefix;

    [[nodiscard]] bool isCurrentKind(const std::string& build) const {
        return build.starts_with(prefix);
    }
    bool operator==(const BuildWording&) const = default;
};

// Whether a stored live test still applies.
namespace ValidationPolicy {

ValidationStatus status(const std::optional<ValidationRecord>& record,
                        const ValidationPath& current, const BuildWording& words);

// A record whose build is of an earlier kind, carried over to the current
// build; none when there is nothing to carry over (no record, a record of the
// current kind, or a current build that is not of that kind either).
std::optional<ValidationRecord> adopt(const std::optional<ValidationRecord>& record,
                                      const std::string& currentBuild, const BuildWording& words);

// Marks a passed record invalid; the first reason given is the one kept.
std::optional<ValidationRecord> invalidate(std::optional<ValidationRecord> record,
                                           std::string reason);

}  // namespace ValidationPolicy

}  // namespace sonvel
