#include "platform/sim/Signal.hpp"

#include <cmath>
#include <numbers>

namespace sonvel::sim {

namespace {

// SplitMix64: a stateless hash, so noise needs no generator state.
std::uint64_t mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

}  // namespace

float Signal::sample(std::int64_t index, double sampleRate, int channel, std::uint64_t seed) const {
    switch (kind) {
        case Kind::silence:
            return 0.0f;
        case Kind::sine: {
            // Reduce the phase in whole cycles first so long runs keep their precision.
            const double cycles = frequency * static_cast<double>(index) / sampleRate;
            const double phase = cycles - std::floor(cycles);
            return static_cast<float>(level * std::sin(2.0 * std::numbers::pi * phase));
        }
        case Kind::noise: {
            const std::uint64_t h = mix(seed ^ mix(static_cast<std::uint64_t>(index) * 2 +
                                                   static_cast<std::uint64_t>(channel)));
            const double uniform = static_cast<double>(h >> 11) / 9007199254740992.0;  // [0, 1)
            return static_cast<float>(level * (uniform * 2.0 - 1.0));
        }
    }
    return 0.0f;
}

}  // namespace sonvel::sim
