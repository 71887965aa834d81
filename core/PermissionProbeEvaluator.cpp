#include "core/PermissionProbeEvaluator.hpp"

namespace sonvel::PermissionProbeEvaluator {

PermissionProbeVerdict evaluate(std::uint64_t nonZeroSamples, double elapsed,
                                double activeOutputSeconds) {
    if (nonZeroSamples > 0) return PermissionProbeVerdict::verified;
    if (activeOutputSeconds >= minimumListenSeconds) return PermissionProbeVerdict::likelyDenied;
    if (elapsed >= timeoutSeconds) return PermissionProbeVerdict::nothingPlaying;
    if (elapsed >= minimumListenSeconds && activeOutputSeconds == 0.0) {
        return PermissionProbeVerdict::nothingPlaying;
    }
    return PermissionProbeVerdict::keepWaiting;
}

}  // namespace sonvel::PermissionProbeEvaluator
