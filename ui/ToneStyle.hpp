#pragma once

#include <QColor>

#include "Sonvel/views/Tone.hpp"

class QPalette;
class QWidget;

// The desktop's colours for the windows' tones. Main thread only.
namespace sonvel::ToneStyle {

QColor colour(Tone tone, const QPalette& palette);
// Sets the widget's text colour, and only when it changes.
void setTone(QWidget& widget, Tone tone);

}  // namespace sonvel::ToneStyle
