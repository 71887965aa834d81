#include "core/ValidationPolicy.hpp"

#include <string_view>
#include <utility>

#include "core/AppBrand.hpp"

namespace sonvel::ValidationPolicy {

namespace {

std::string replaced(std::string text, std::string_view placeholder, const std::string& value) {
    if (const auto at = text.find(placeholder); at != std::string::npos) {
        text.replace(at, placeholder.size(), value);
    }
    return text;
}

}  // namespace

ValidationStatus status(const std::optional<ValidationRecord>& record,
                        const ValidationPath& current, const BuildWording& words) {
    if (!record) return ValidationStatus::Missing{};
    if (record->outcome == ValidationRecord::Outcome::failed) return ValidationStatus::Failed{};
    if (record->invalidatedReason) {
        return ValidationStatus::NeedsRevalidation{*record->invalidatedReason};
    }
    if (record->osBuild != current.osBuild) {
        return ValidationStatus::NeedsRevalidation{
            replaced(replaced(words.changed, "{old}", record->osBuild), "{new}", current.osBuild)};
    }
    if (record->path().engineRevision != current.engineRevision) {
        return ValidationStatus::NeedsRevalidation{std::string(AppBrand::name) +
                                                   "'s audio engine changed since the last test."};
    }
    return ValidationStatus::Valid{};
}

// A passed test proved the audio path, which the earlier kind of build did
// not name; the current build is the best guess at what it was proved on, and
// locking the controls over a renaming would ask for a test nothing warrants.
std::optional<ValidationRecord> adopt(const std::optional<ValidationRecord>& record,
                                      const std::string& currentBuild, const BuildWording& words) {
    if (!record || words.isCurrentKind(record->osBuild) || !words.isCurrentKind(currentBuild)) {
        return std::nullopt;
    }
    ValidationRecord adopted = *record;
    adopted.osBuild = currentBuild;
    return adopted;
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
