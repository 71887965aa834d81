#pragma once

#include <cstdint>

namespace sonvel::sim {

// What a simulated process plays: a pure function of the sample index, so a
// tap and the speaker see exactly the same samples of the same moment.
struct Signal {
    enum class Kind { silence, sine, noise };

    Kind kind = Kind::silence;
    double frequency = 440.0;  // sine only
    double level = 0.5;        // peak amplitude

    // One stereo sample (both channels alike for a sine, independent for noise).
    [[nodiscard]] float sample(std::int64_t index, double sampleRate, int channel,
                               std::uint64_t seed) const;

    bool operator==(const Signal&) const = default;
};

}  // namespace sonvel::sim
