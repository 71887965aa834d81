#pragma once

#include <cstdint>

namespace sonvel {

// What a reader drained out of an engine meter since the previous snapshot.
struct MeterSnapshot {
    std::uint64_t callbacks = 0;
    std::uint64_t frames = 0;
    std::uint64_t inputNonZeroSamples = 0;
    std::uint64_t inputSamples = 0;
    std::uint64_t outputSamples = 0;
    double inputSumOfSquares = 0.0;
    double outputSumOfSquares = 0.0;
    float inputPeak = 0.0f;
    float outputPeak = 0.0f;

    static const MeterSnapshot empty;

    [[nodiscard]] double inputRMS() const;
    [[nodiscard]] double outputRMS() const;
    [[nodiscard]] double inputRMSDBFS() const;
    [[nodiscard]] double outputRMSDBFS() const;
    [[nodiscard]] double inputPeakDBFS() const;
    [[nodiscard]] double outputPeakDBFS() const;

    // Amplitude to dBFS, floored at -120 (also for silence and not-a-number).
    static double dB(double amplitude);

    bool operator==(const MeterSnapshot&) const = default;
};

inline const MeterSnapshot MeterSnapshot::empty{};

}  // namespace sonvel
