#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>

#include "Sonvel/StatusIcon.hpp"

// Draws the status icon's geometry (Sonvel/StatusIcon.hpp). Linux trays do
// not tint template images, so the icon is drawn in the colour it is given.
namespace sonvel::StatusIconPainter {

// An 18-point square at `devicePixelRatio`, transparent where nothing is drawn.
QImage render(StatusIcon::Variant variant, qreal devicePixelRatio, const QColor& colour);
// At 1x and 2x.
QIcon icon(StatusIcon::Variant variant, const QColor& colour);

}  // namespace sonvel::StatusIconPainter
