#include "core/LiveTest.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "core/AppBrand.hpp"

namespace sonvel::LiveTest {

const std::vector<Step>& steps() {
    static const std::vector<Step> plan{
        {1.0f, 2, "Full volume (100%)"},
        {0.5f, 2, "Half level — clearly quieter (−6 dB)"},
        {0.25f, 2, "Quarter level — quieter again (−12 dB)"},
        {0.0f, 2, "SILENT — you must hear nothing from this app"},
        {1.0f, 2, "Full volume again"},
    };
    return plan;
}

namespace {

double level(double sumOfSquares, std::uint64_t samples) {
    if (samples == 0) return -120.0;
    const double meanSquare = sumOfSquares / static_cast<double>(samples);
    if (!(meanSquare > 0)) return -120.0;
    return std::max(20.0 * std::log10(std::sqrt(meanSquare)), -120.0);
}

std::string decibels(double value) {
    return value <= -120.0 ? "-inf" : fmt::format("{:.1f}", value);
}

}  // namespace

StepMeasurement::StepMeasurement(float gain_, const MeterSnapshot& snapshot)
    : gain(gain_),
      inputRMSDBFS(level(snapshot.inputSumOfSquares, snapshot.inputSamples)),
      outputRMSDBFS(level(snapshot.outputSumOfSquares, snapshot.outputSamples)),
      outputPeak(snapshot.outputPeak),
      inputNonZeroSamples(snapshot.inputNonZeroSamples),
      steadyFrames(snapshot.frames) {}

std::string StepMeasurement::summary() const {
    const std::string peak =
        outputPeak <= 0.0f ? "-inf" : decibels(20.0 * std::log10(static_cast<double>(outputPeak)));
    return fmt::format("gain {:.2f}: in {} dBFS, out {} dBFS (peak {}, {} steady frames)", gain,
                       decibels(inputRMSDBFS), decibels(outputRMSDBFS), peak, steadyFrames);
}

std::optional<std::size_t> stepIndex(double elapsedSeconds) {
    if (std::isnan(elapsedSeconds)) return std::nullopt;
    double end = 0;
    for (std::size_t i = 0; i < steps().size(); ++i) {
        end += static_cast<double>(steps()[i].seconds);
        if (elapsedSeconds < end) return i;
    }
    return std::nullopt;
}

std::vector<StepMeasurement> measurements(const SegmentedMeter& meter) {
    std::vector<StepMeasurement> result;
    for (std::size_t i = 0; i < steps().size(); ++i) {
        const float gain = steps()[i].gain;
        if (i < meter.segments().size()) {
            result.emplace_back(gain, meter.segments()[i]->takeSnapshot());
        } else {
            StepMeasurement empty;
            empty.gain = gain;
            result.push_back(empty);
        }
    }
    return result;
}

std::optional<std::string> automaticFailure(const std::vector<StepMeasurement>& measurements,
                                            const std::optional<std::string>& engineError) {
    if (engineError) return "The engine failed: " + *engineError;
    if (measurements.size() != steps().size()) return "The test did not complete.";
    const bool allSilent = std::ranges::all_of(
        measurements, [](const StepMeasurement& m) { return m.inputNonZeroSamples == 0; });
    if (allSilent) {
        return std::string(AppBrand::name) +
               " received only digital silence from the app (no permission, the app was not "
               "playing, or its audio cannot be captured).";
    }
    for (std::size_t i = 0; i < measurements.size(); ++i) {
        if (measurements[i].steadyFrames == 0) {
            return fmt::format("Step {} ({}%) produced no steady-state audio to measure.", i + 1,
                               static_cast<long>(measurements[i].gain * 100.0f));
        }
    }
    for (const StepMeasurement& m : measurements) {
        if (m.gain == 0.0f && (m.outputPeak > 0.0f || m.outputRMSDBFS > -120.0)) {
            const double peak =
                m.outputPeak > 0.0f
                    ? std::max(20.0 * std::log10(static_cast<double>(m.outputPeak)), -120.0)
                    : -120.0;
            return fmt::format("Output was not silent at 0% (steady-state peak {:.1f} dBFS).",
                               peak);
        }
    }
    return std::nullopt;
}

}  // namespace sonvel::LiveTest
