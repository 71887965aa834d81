#pragma once

#include <array>
#include <optional>
#include <string>

#include "core/ControlGate.hpp"
#include "core/Preferences.hpp"

// The status icon as numbers: which variant shows, and where every stroke and
// fill of it goes. A painter in ui/ draws exactly this.
namespace sonvel::StatusIcon {

enum class Variant { active, paused, locked };

// Paused wins over a closed gate: the user asked for it, and the panel's
// banner explains the rest.
Variant variant(const Preferences& preferences, const ControlGate& gate);
// Also the tooltip.
std::string accessibleDescription(Variant variant);

// Points in an 18 by 18 canvas, origin at the bottom left, y upwards.
inline constexpr double size = 18.0;

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};
struct Rect {
    double x = 0;  // bottom-left corner
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const Rect&) const = default;
};
struct Segment {
    Point from;
    Point to;
    bool operator==(const Segment&) const = default;
};

struct Fader {
    // Stroked with `faderLineWidth` and round caps, leaving a gap at the knob.
    Segment lower;
    Segment upper;
    Rect knob;  // filled, corners rounded by `knobRadius`
    bool operator==(const Fader&) const = default;
};

// Erased first (clear compositing) with `clearWidth`, then drawn with `width`.
struct Slash {
    Segment line;
    double clearWidth = 3.6;
    double width = 1.5;
    bool operator==(const Slash&) const = default;
};

// `ring` is erased (clear compositing), then `dot` filled inside it.
struct Badge {
    Rect ring;
    Rect dot;
    bool operator==(const Badge&) const = default;
};

inline constexpr double faderLineWidth = 1.4;
inline constexpr double knobRadius = 1.5;

struct Geometry {
    std::array<Fader, 3> faders;
    std::optional<Slash> slash;
    std::optional<Badge> badge;
};

Geometry geometry(Variant variant);

}  // namespace sonvel::StatusIcon
