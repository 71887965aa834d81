#pragma once

#include <QColor>
#include <QIcon>
#include <string_view>

// The setup and settings windows' symbols (Sonvel/Symbols.hpp) as
// drawings of our own, in the colour their meaning asks for: a theme's icon
// would drop the green and orange the windows rely on. Main thread only.
namespace sonvel::WindowIcons {

// Empty for a symbol nobody drew.
QIcon icon(std::string_view symbol, const QColor& colour);

}  // namespace sonvel::WindowIcons
