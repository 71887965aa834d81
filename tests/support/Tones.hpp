#pragma once

// Tones played on the simulated audio system and the levels they are heard at.

#include <memory>
#include <span>

#include "platform/sim/SimulatedAudioSystem.hpp"
#include "platform/sim/SpeakerAnalysis.hpp"

namespace sonvel::testsupport {

// A full-scale tone with its slider at the midpoint, in dBFS: the taper is
// quadratic, so half the slider is a quarter of the amplitude.
inline constexpr double halfSliderDB = -12.04;

// The level of the tone at `frequency` in the left channel of stereo samples, in dBFS.
inline double toneDB(std::span<const float> samples, double frequency) {
    namespace analysis = sim::SpeakerAnalysis;
    return analysis::dB(analysis::toneAmplitude(samples, 2, 0, frequency, 48000));
}

// Speakers, and two applications playing a full-scale 440 Hz tone (a) and a
// 660 Hz one (b), on a simulated system stepped by hand.
struct TwoTones {
    explicit TwoTones(double bAmplitude = 1.0) {
        using sim::Signal;
        speakers = hal->addDevice({.uid = "spk", .name = "Speakers"});
        a = hal->addProcess({.pid = 10, .signal = {Signal::Kind::sine, 440, 1.0}, .playing = true});
        b = hal->addProcess(
            {.pid = 20, .signal = {Signal::Kind::sine, 660, bAmplitude}, .playing = true});
    }

    // The level at which a tone is heard over the next cycles, in dBFS.
    double heard(double frequency, int cycles = 40) {
        hal->step(1);  // let any ramp finish
        hal->clearSpeaker(speakers);
        hal->step(cycles);
        return toneDB(hal->speaker(speakers), frequency);
    }

    std::shared_ptr<sim::SimulatedAudioSystem> hal = std::make_shared<sim::SimulatedAudioSystem>();
    AudioObjectID speakers, a, b;
};

}  // namespace sonvel::testsupport
