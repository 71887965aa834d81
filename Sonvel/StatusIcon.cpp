#include "Sonvel/StatusIcon.hpp"

#include <algorithm>

namespace sonvel::StatusIcon {

namespace {

constexpr std::array faderX{4.0, 9.0, 14.0};
constexpr std::array activeKnobs{11.5, 6.0, 9.0};
// Every fader pulled down: nothing is being set.
constexpr double loweredKnob = 4.5;
constexpr double trackBottom = 2.5;
constexpr double trackTop = 15.5;
constexpr double knobGap = 2.6;
constexpr double knobWidth = 4.8;
constexpr double knobHeight = 3.0;

Fader fader(double x, double knob) {
    return {{{x, trackBottom}, {x, std::max(knob - knobGap, trackBottom)}},
            {{x, std::min(knob + knobGap, trackTop)}, {x, trackTop}},
            {x - knobWidth / 2, knob - knobHeight / 2, knobWidth, knobHeight}};
}

}  // namespace

Variant variant(const Preferences& preferences, const ControlGate& gate) {
    if (preferences.isPaused) return Variant::paused;
    return gate.isReady() ? Variant::active : Variant::locked;
}

std::string accessibleDescription(Variant variant) {
    switch (variant) {
        case Variant::active:
            return "Sonvel";
        case Variant::paused:
            return "Sonvel, paused";
        case Variant::locked:
            return "Sonvel, setup needed";
    }
    return "Sonvel";
}

Geometry geometry(Variant variant) {
    Geometry g;
    for (std::size_t i = 0; i < g.faders.size(); ++i) {
        g.faders[i] = fader(faderX[i], variant == Variant::active ? activeKnobs[i] : loweredKnob);
    }
    if (variant == Variant::paused) g.slash = Slash{{{2.0, 16.5}, {16.0, 1.5}}};
    if (variant == Variant::locked) g.badge = Badge{{10.6, 10.6, 7.4, 7.4}, {12.4, 12.4, 4.6, 4.6}};
    return g;
}

}  // namespace sonvel::StatusIcon
