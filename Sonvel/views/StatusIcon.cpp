#include "Sonvel/views/StatusIcon.hpp"

#include <algorithm>
#include <cmath>

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

std::size_t turnedDown(const Preferences& preferences, const std::vector<AppGroup>& groups,
                       const std::map<std::string, GroupStatus>& statuses) {
    return std::size_t(std::ranges::count_if(groups, [&](const AppGroup& group) {
        const auto preference = preferences.preference(group.key);
        if (!preference || preference->isFullLevel()) return false;
        const auto status = statuses.find(group.key);
        return status != statuses.end() && !status->second.is<GroupStatus::Unavailable>() &&
               !status->second.is<GroupStatus::Failed>();
    }));
}

std::string tooltip(Variant variant, std::size_t turnedDown) {
    switch (variant) {
        case Variant::active:
            if (turnedDown == 0) return "Sonvel";
            return "Sonvel — " + std::to_string(turnedDown) +
                   (turnedDown == 1 ? " application" : " applications") + " turned down";
        case Variant::paused:
            return "Sonvel — Paused";
        case Variant::locked:
            return "Sonvel — Setup needed";
    }
    return "Sonvel";
}

std::string accessibleDescription(Variant variant) {
    return tooltip(variant, 0);
}

std::string themeName(Variant variant) {
    switch (variant) {
        case Variant::active:
            return "app.velmorra.Sonvel-active-symbolic";
        case Variant::paused:
            return "app.velmorra.Sonvel-paused-symbolic";
        case Variant::locked:
            return "app.velmorra.Sonvel-locked-symbolic";
    }
    return "app.velmorra.Sonvel-active-symbolic";
}

double relativeLuminance(int red, int green, int blue) {
    const auto linear = [](int channel) {
        const double c = std::clamp(channel, 0, 255) / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(red) + 0.7152 * linear(green) + 0.0722 * linear(blue);
}

double contrastRatio(double luminance, double otherLuminance) {
    const auto [dark, light] = std::minmax(luminance, otherLuminance);
    return (light + 0.05) / (dark + 0.05);
}

Ink inkAgainst(int red, int green, int blue) {
    const double background = relativeLuminance(red, green, blue);
    return contrastRatio(background, 1.0) >= contrastRatio(background, 0.0) ? Ink::white
                                                                            : Ink::black;
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

Rect frame() {
    const double halfLine = faderLineWidth / 2;
    return {faderX.front() - knobWidth / 2, trackBottom - halfLine,
            faderX.back() - faderX.front() + knobWidth, trackTop - trackBottom + faderLineWidth};
}

}  // namespace sonvel::StatusIcon
