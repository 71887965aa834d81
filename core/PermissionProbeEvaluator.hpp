#pragma once

#include <cstdint>

namespace sonvel {

enum class PermissionProbeVerdict { verified, keepWaiting, nothingPlaying, likelyDenied };

// Whether the evidence an access check has gathered settles the question.
namespace PermissionProbeEvaluator {

inline constexpr double minimumListenSeconds = 3.0;
inline constexpr double timeoutSeconds = 15.0;

// Comparisons with NaN are false, so a NaN argument never concludes by itself.
PermissionProbeVerdict evaluate(std::uint64_t nonZeroSamples, double elapsed,
                                double activeOutputSeconds);

}  // namespace PermissionProbeEvaluator

}  // namespace sonvel
