#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sonvel {

// The operating-system build and engine revision a live test applies to.
struct ValidationPath {
    static constexpr std::int64_t currentEngineRevision = 1;

    std::string osBuild;
    std::int64_t engineRevision = currentEngineRevision;

    bool operator==(const ValidationPath&) const = default;
};

// The stored result of the live test.
struct ValidationRecord {
    enum class Outcome { passed, failed };

    Outcome outcome = Outcome::failed;
    std::string osBuild;
    std::chrono::system_clock::time_point date;
    std::string outputDeviceName;
    std::string appName;
    std::vector<std::string> measurements;
    std::string note;
    // Absent in records written before revisions were recorded; counts as 1.
    std::optional<std::int64_t> engineRevision;
    std::optional<std::string> invalidatedReason;

    [[nodiscard]] ValidationPath path() const { return {osBuild, engineRevision.value_or(1)}; }

    bool operator==(const ValidationRecord&) const = default;
};

}  // namespace sonvel
