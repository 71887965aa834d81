#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

// What the Audio World window's meters show for one device's speaker: the
// overall level and, since each application of a world plays its own tone,
// each application's level apart from the rest. No Qt; any thread.
namespace sonvel::SpeakerLevels {

struct Tone {
    std::string name;  // the application playing it
    double frequency = 0;
};

struct Reading {
    std::string name;
    double dB = -120;
};

struct Levels {
    double rmsDB = -120;         // left channel, dBFS
    double peakDB = -120;        // left channel, dBFS
    std::vector<Reading> tones;  // in the order asked for
};

// Under this a tone is not playing on this speaker; a Hann window lets
// a neighbouring tone leak to about here over the shortest window measured.
inline constexpr double audibleDB = -60.0;

// Too little audio to tell tones 110 Hz apart gives only the overall level.
Levels measure(std::span<const float> interleaved, std::size_t channels, double sampleRate,
               const std::vector<Tone>& tones);

}  // namespace sonvel::SpeakerLevels
