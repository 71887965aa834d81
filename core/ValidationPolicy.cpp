#include "core/ValidationPolicy.hpp"

#include <utility>

#include "core/AppBrand.hpp"

namespace sonvel::ValidationPolicy {

ValidationStatus status(const std::optional<ValidationRecord>& record,
                        const ValidationPath& current) {
    if (!record) return ValidationStatus::Missing{};
    if (record->outcome == ValidationRecord::Outcome::failed) return ValidationStatus::Failed{};
    if (record->invalidatedReason) {
        return ValidationStatus::NeedsRevalidation{*record->invalidatedReason};
    }
    if (record->osBuild != current.osBuild) {
        return ValidationStatus::NeedsRevalidation{"macOS changed from build " + record->osBuild +
                                                   " to " + current.osBuild + "."};
    }
    if (record->path().engineRevision != current.engineRevision) {
        return ValidationStatus::NeedsRevalidation{std::string(AppBrand::name) +
                                                   "'s audio engine changed since the last test."};
    }
    return ValidationStatus::Valid{};
}

std::optional<ValidationRecord> invalidate(std::optional<ValidationRecord> record,
                                           std::string reason) {
    if (record && record->outcome == ValidationRecord::Outcome::passed &&
        !record->invalidatedReason) {
        record->invalidatedReason = std::move(reason);
    }
    return record;
}

}  // namespace sonvel::ValidationPolicy
