#pragma once

#include <QByteArray>
#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPainterPath>
#include <QSize>
#include <optional>

#include "Sonvel/views/StatusIcon.hpp"

// Draws the status icon's geometry (Sonvel/StatusIcon.hpp). Linux trays do
// not tint template images, so the icon is drawn in the colour it is given,
// or handed to the tray by its theme name as a symbolic icon to recolour.
namespace sonvel::StatusIconPainter {

// The whole glyph as one filled shape in canvas points, y downwards: strokes
// widened and the slash's channel and the badge's ring cut out, so that a
// vector file of it needs no compositing a recolouring desktop would break.
QPainterPath outline(StatusIcon::Variant variant);

// An 18-point square at `devicePixelRatio`, transparent where nothing is drawn.
QImage render(StatusIcon::Variant variant, qreal devicePixelRatio, const QColor& colour);
// At 1x and 2x.
QIcon icon(StatusIcon::Variant variant, const QColor& colour);

// A square of `pixels` device pixels that the glyph's frame fills but for a
// margin of one pixel in 22: what a tray slot of that size shows. With a
// `halo`, the glyph is outlined in it, so that it reads on any bar.
QImage renderFilling(StatusIcon::Variant variant, int pixels, const QColor& colour,
                     std::optional<QColor> halo = std::nullopt);
// At the usual tray sizes and, when known, at the tray's own slot.
QIcon trayIcon(StatusIcon::Variant variant, const QColor& colour, QSize slot = {},
               std::optional<QColor> halo = std::nullopt);
// The icon `themeName` names when the icon theme or hicolor has it; nullopt
// when the theme lacks it. A host that asks for pixmaps instead draws them on
// a bar nobody can see from here: they are outlined in the opposite ink.
std::optional<QIcon> themedIcon(StatusIcon::Variant variant, const QColor& colour);

// Black or white, whichever contrasts more with `background`.
QColor inkAgainst(const QColor& background);
// The tray's own background in `grab`, a capture of the icon's slot that may
// show our icon `ours` over it: the pixels `ours` leaves clear, their median
// so that a stale glyph under them does not count. Nullopt when none are clear.
std::optional<QColor> backgroundBehind(const QImage& grab, const QImage& ours);

// The symbolic icon as an SVG document in the recolourable conventions of
// both GTK (every fill is the foreground) and KDE (ColorScheme-Text).
QByteArray symbolicSvg(StatusIcon::Variant variant);

}  // namespace sonvel::StatusIconPainter
