#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/EngineMeter.hpp"

namespace sonvel::LiveTest {

struct Step {
    float gain = 1.0f;
    long seconds = 2;
    std::string instruction;

    bool operator==(const Step&) const = default;
};

// The ten-second plan: linear gains applied straight to the test engine.
const std::vector<Step>& steps();
inline constexpr long totalSeconds = 10;

// What one step measured while its gain was steady.
struct StepMeasurement {
    float gain = 0.0f;
    double inputRMSDBFS = -120.0;
    double outputRMSDBFS = -120.0;
    float outputPeak = 0.0f;
    std::uint64_t inputNonZeroSamples = 0;
    std::uint64_t steadyFrames = 0;

    StepMeasurement() = default;
    StepMeasurement(float gain, const MeterSnapshot& snapshot);

    // One line for the stored validation record.
    [[nodiscard]] std::string summary() const;

    bool operator==(const StepMeasurement&) const = default;
};

// The step running at a moment of the test; none once it is over.
std::optional<std::size_t> stepIndex(double elapsedSeconds);

// One measurement per step, draining each step's segment meter; steps the
// meter has no segment for read as silent and unmeasured.
std::vector<StepMeasurement> measurements(const SegmentedMeter& meter);

// Failures that need no ear; none leaves the verdict to the listener.
std::optional<std::string> automaticFailure(const std::vector<StepMeasurement>& measurements,
                                            const std::optional<std::string>& engineError);

}  // namespace sonvel::LiveTest
