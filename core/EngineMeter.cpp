#include "core/EngineMeter.hpp"

#include <bit>
#include <cmath>

namespace sonvel {

namespace {

constexpr double microUnits = 1'000'000.0;
// 2^62: far above any real cycle (that would be 4.6e12 full-scale samples),
// far below the counter's wrap-around.
constexpr double largestContribution = 4611686018427387904.0;

std::uint64_t count(std::int64_t value) {
    return value > 0 ? static_cast<std::uint64_t>(value) : 0;
}

void raise(std::atomic<std::uint32_t>& word, float peak) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(peak);
    std::uint32_t current = word.load(std::memory_order_relaxed);
    while (current < bits &&
           !word.compare_exchange_weak(current, bits, std::memory_order_relaxed)) {
    }
}

}  // namespace

std::uint64_t EngineMeter::fixedPoint(double sumOfSquares) {
    const double scaled = sumOfSquares * microUnits;
    if (!std::isfinite(scaled) || !(scaled > 0.0)) return 0;
    if (scaled >= largestContribution) return static_cast<std::uint64_t>(largestContribution);
    return static_cast<std::uint64_t>(scaled);
}

void EngineMeter::record(const RenderStats& stats) {
    constexpr auto relaxed = std::memory_order_relaxed;
    callbacks_.fetch_add(1, relaxed);
    callbacksEver_.fetch_add(1, relaxed);
    frames_.fetch_add(count(stats.frames), relaxed);
    inputNonZero_.fetch_add(count(stats.inputNonZeroSamples), relaxed);
    inputNonZeroEver_.fetch_add(count(stats.inputNonZeroSamples), relaxed);
    lastInputHeard_.store(stats.inputNonZeroSamples > 0, relaxed);
    inputSamples_.fetch_add(count(stats.inputSampleCount), relaxed);
    outputSamples_.fetch_add(count(stats.outputSampleCount), relaxed);
    inputSquares_.fetch_add(fixedPoint(stats.inputSumOfSquares), relaxed);
    outputSquares_.fetch_add(fixedPoint(stats.outputSumOfSquares), relaxed);
    // Peaks are non-negative floats, which order like their bit patterns.
    // A peak that is not a number would stick above everything: it is left out.
    if (stats.inputPeak > 0.0f) raise(inputPeakBits_, stats.inputPeak);
    if (stats.outputPeak > 0.0f) raise(outputPeakBits_, stats.outputPeak);
}

MeterSnapshot EngineMeter::takeSnapshot() {
    constexpr auto relaxed = std::memory_order_relaxed;
    MeterSnapshot s;
    s.callbacks = callbacks_.exchange(0, relaxed);
    s.frames = frames_.exchange(0, relaxed);
    s.inputNonZeroSamples = inputNonZero_.exchange(0, relaxed);
    s.inputSamples = inputSamples_.exchange(0, relaxed);
    s.outputSamples = outputSamples_.exchange(0, relaxed);
    s.inputSumOfSquares = static_cast<double>(inputSquares_.exchange(0, relaxed)) / microUnits;
    s.outputSumOfSquares = static_cast<double>(outputSquares_.exchange(0, relaxed)) / microUnits;
    s.inputPeak = std::bit_cast<float>(inputPeakBits_.exchange(0, relaxed));
    s.outputPeak = std::bit_cast<float>(outputPeakBits_.exchange(0, relaxed));
    return s;
}

std::uint64_t EngineMeter::totalCallbacks() const {
    return callbacksEver_.load(std::memory_order_relaxed);
}

std::uint64_t EngineMeter::totalInputNonZeroSamples() const {
    return inputNonZeroEver_.load(std::memory_order_relaxed);
}

SegmentedMeter::SegmentedMeter(long segmentCount) : transitions_(std::make_shared<EngineMeter>()) {
    for (long i = 0; i < segmentCount; ++i) segments_.push_back(std::make_shared<EngineMeter>());
}

void SegmentedMeter::record(const RenderStats& stats, std::uint32_t segment, bool steady) {
    if (steady && segment < segments_.size()) {
        segments_[segment]->record(stats);
    } else {
        transitions_->record(stats);
    }
}

double MeterSnapshot::dB(double amplitude) {
    if (!(amplitude > 0.0)) return -120.0;
    return std::max(20.0 * std::log10(amplitude), -120.0);
}

namespace {

double rms(double sumOfSquares, std::uint64_t samples) {
    return samples == 0 ? 0.0 : std::sqrt(sumOfSquares / static_cast<double>(samples));
}

}  // namespace

double MeterSnapshot::inputRMS() const {
    return rms(inputSumOfSquares, inputSamples);
}
double MeterSnapshot::outputRMS() const {
    return rms(outputSumOfSquares, outputSamples);
}
double MeterSnapshot::inputRMSDBFS() const {
    return inputSamples == 0 ? -120.0 : dB(inputRMS());
}
double MeterSnapshot::outputRMSDBFS() const {
    return outputSamples == 0 ? -120.0 : dB(outputRMS());
}
double MeterSnapshot::inputPeakDBFS() const {
    return dB(inputPeak);
}
double MeterSnapshot::outputPeakDBFS() const {
    return dB(outputPeak);
}

}  // namespace sonvel
