#pragma once

#include <QColor>
#include <QFont>

#include "Sonvel/RowState.hpp"

class QPalette;
class QWidget;

// The desktop's counterparts of the text styles and colours the panel is
// described in. Main thread only.
namespace sonvel::ViewStyle {

QColor colour(TextRole role, const QPalette& palette);
// Sets the widget's text colour, and only when it changes.
void setTextRole(QWidget& widget, TextRole role);

QFont headline();
QFont callout();
QFont caption();
QFont caption2();

}  // namespace sonvel::ViewStyle
