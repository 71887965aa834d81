#pragma once

#include <QFont>

// The desktop's counterparts of the text styles the panel is described in.
// Main thread only.
namespace sonvel::ViewStyle {

QFont headline();
QFont callout();
QFont caption();
QFont caption2();

}  // namespace sonvel::ViewStyle
