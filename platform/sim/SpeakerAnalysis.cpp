#include "platform/sim/SpeakerAnalysis.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sonvel::sim::SpeakerAnalysis {

namespace {

std::size_t frames(std::span<const float> interleaved, std::size_t channels) {
    return channels == 0 ? 0 : interleaved.size() / channels;
}

}  // namespace

double rms(std::span<const float> interleaved, std::size_t channels, std::size_t channel) {
    const std::size_t n = frames(interleaved, channels);
    if (n == 0) return 0.0;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = interleaved[i * channels + channel];
        sum += x * x;
    }
    return std::sqrt(sum / static_cast<double>(n));
}

double peak(std::span<const float> interleaved, std::size_t channels, std::size_t channel) {
    double result = 0.0;
    for (std::size_t i = 0; i < frames(interleaved, channels); ++i) {
        result =
            std::max(result, std::fabs(static_cast<double>(interleaved[i * channels + channel])));
    }
    return result;
}

double toneAmplitude(std::span<const float> interleaved, std::size_t channels, std::size_t channel,
                     double frequency, double sampleRate) {
    const std::size_t n = frames(interleaved, channels);
    if (n < 2) return 0.0;
    const double omega = 2.0 * std::numbers::pi * frequency / sampleRate;
    const double coefficient = 2.0 * std::cos(omega);
    double s1 = 0.0, s2 = 0.0, windowSum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                              static_cast<double>(n - 1));
        windowSum += w;
        const double s0 = w * interleaved[i * channels + channel] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double real = s1 - s2 * std::cos(omega);
    const double imaginary = s2 * std::sin(omega);
    return 2.0 * std::sqrt(real * real + imaginary * imaginary) / windowSum;
}

double dB(double amplitude) {
    if (!(amplitude > 0.0)) return -120.0;
    return std::max(20.0 * std::log10(amplitude), -120.0);
}

double largestStep(std::span<const float> interleaved, std::size_t channels, std::size_t channel) {
    double result = 0.0;
    for (std::size_t i = 1; i < frames(interleaved, channels); ++i) {
        result =
            std::max(result, std::fabs(static_cast<double>(interleaved[i * channels + channel]) -
                                       interleaved[(i - 1) * channels + channel]));
    }
    return result;
}

}  // namespace sonvel::sim::SpeakerAnalysis
