#include "core/SilenceWatchdog.hpp"

namespace sonvel {

SilenceWatchdog::Verdict SilenceWatchdog::evaluate(bool captureProvenThisSession,
                                                   std::uint64_t nonZeroSamplesSinceStart,
                                                   double secondsSinceStart,
                                                   bool targetRunningOutput) {
    if (captureProvenThisSession || nonZeroSamplesSinceStart > 0) return Verdict::healthy;
    if (secondsSinceStart >= threshold && targetRunningOutput) return Verdict::tripped;
    return Verdict::waiting;
}

std::optional<double> RecoveryPolicy::delay(long afterFailures) {
    if (afterFailures < 1 || afterFailures > static_cast<long>(delays.size())) return std::nullopt;
    return delays[static_cast<std::size_t>(afterFailures - 1)];
}

}  // namespace sonvel
