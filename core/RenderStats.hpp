#pragma once

#include <cstdint>

namespace sonvel {

// One IO cycle's measurements.
struct RenderStats {
    std::int64_t frames = 0;
    float inputPeak = 0.0f;
    float outputPeak = 0.0f;
    double inputSumOfSquares = 0.0;
    double outputSumOfSquares = 0.0;
    std::int64_t inputNonZeroSamples = 0;
    std::int64_t inputSampleCount = 0;
    std::int64_t outputSampleCount = 0;

    bool operator==(const RenderStats&) const = default;
};

}  // namespace sonvel
