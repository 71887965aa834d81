#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace sonvel {

// Guards against a muting tap that delivers only digital silence: the
// application would go quiet although the user set a level.
namespace SilenceWatchdog {

enum class Verdict { healthy, waiting, tripped };

inline constexpr double threshold = 3.0;

// Silence from an application that is not playing proves nothing, so such a
// target never trips the watchdog.
Verdict evaluate(bool captureProvenThisSession, std::uint64_t nonZeroSamplesSinceStart,
                 double secondsSinceStart, bool targetRunningOutput);

}  // namespace SilenceWatchdog

// How long to wait before building a failed engine again.
namespace RecoveryPolicy {

inline constexpr std::array<double, 5> delays = {0.5, 1.0, 2.0, 5.0, 10.0};

// None once automatic retries are over (or for a count below one).
std::optional<double> delay(long afterFailures);

}  // namespace RecoveryPolicy

}  // namespace sonvel
