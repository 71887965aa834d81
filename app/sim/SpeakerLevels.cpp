#include "app/sim/SpeakerLevels.hpp"

#include "platform/sim/SpeakerAnalysis.hpp"

namespace sonvel::SpeakerLevels {

namespace analysis = sim::SpeakerAnalysis;

namespace {
// A Hann window tells tones apart once it spans a few periods of their
// difference: 50 ms for the 110 Hz steps of the shipped world.
constexpr double shortestWindow = 0.05;
}  // namespace

Levels measure(std::span<const float> interleaved, std::size_t channels, double sampleRate,
               const std::vector<Tone>& tones) {
    Levels levels;
    if (channels == 0 || interleaved.size() < channels) return levels;
    levels.rmsDB = analysis::dB(analysis::rms(interleaved, channels, 0));
    levels.peakDB = analysis::dB(analysis::peak(interleaved, channels, 0));
    const double seconds = double(interleaved.size() / channels) / sampleRate;
    if (seconds < shortestWindow) return levels;
    for (const Tone& tone : tones) {
        levels.tones.push_back(
            {tone.name, analysis::dB(analysis::toneAmplitude(interleaved, channels, 0,
                                                             tone.frequency, sampleRate))});
    }
    return levels;
}

}  // namespace sonvel::SpeakerLevels
