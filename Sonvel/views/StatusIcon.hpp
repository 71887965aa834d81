#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/AppGroup.hpp"
#include "core/ControlGate.hpp"
#include "core/GroupStatus.hpp"
#include "core/Preferences.hpp"

// The status icon as numbers: which variant shows, and where every stroke and
// fill of it goes. A painter in ui/ draws exactly this.
namespace sonvel::StatusIcon {

enum class Variant { active, paused, locked };

// Paused wins over a closed gate: the user asked for it, and the panel's
// banner explains the rest.
Variant variant(const Preferences& preferences, const ControlGate& gate);
// The listed applications whose level the user set below full or muted,
// and which Sonvel holds there (or will, the moment they play): a row it
// cannot control does not count.
std::size_t turnedDown(const Preferences& preferences, const std::vector<AppGroup>& groups,
                       const std::map<std::string, GroupStatus>& statuses);
// The tray's tooltip: "Sonvel — 3 applications turned down".
std::string tooltip(Variant variant, std::size_t turnedDown);
// The tooltip without a count.
std::string accessibleDescription(Variant variant);
// The desktop icon theme's name for the variant, installed as a symbolic
// icon so that a tray host can recolour it for its own background.
std::string themeName(Variant variant);

// WCAG 2 relative luminance of an sRGB colour, channels 0 to 255, and the
// contrast ratio of two luminances (1 to 21).
double relativeLuminance(int red, int green, int blue);
double contrastRatio(double luminance, double otherLuminance);
// Black or white ink, whichever contrasts more with the background.
enum class Ink { black, white };
Ink inkAgainst(int red, int green, int blue);

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

// What the faders cover, the same in every variant, so that an icon filling
// a tray slot with it keeps its size when the variant changes. The slash and
// the badge reach a little past it.
Rect frame();

}  // namespace sonvel::StatusIcon
