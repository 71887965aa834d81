#pragma once

#include <cstddef>
#include <span>

namespace sonvel::sim::SpeakerAnalysis {

// Measurements of one channel of interleaved samples, as a test would make
// them with a meter and a tuned filter. Levels are dBFS with a -120 floor.
double rms(std::span<const float> interleaved, std::size_t channels, std::size_t channel);
double peak(std::span<const float> interleaved, std::size_t channels, std::size_t channel);
// Amplitude of one frequency (Goertzel over a Hann window): a sine of peak
// amplitude a reads a, whatever else plays at other frequencies.
double toneAmplitude(std::span<const float> interleaved, std::size_t channels, std::size_t channel,
                     double frequency, double sampleRate);
double dB(double amplitude);
// Largest difference between consecutive samples: what a click looks like.
double largestStep(std::span<const float> interleaved, std::size_t channels, std::size_t channel);

}  // namespace sonvel::sim::SpeakerAnalysis
