#pragma once

#include <QColor>
#include <QIcon>
#include <optional>
#include <string_view>

class QPainter;

// Symbols (Sonvel/Symbols.hpp) as desktop icons: the icon theme's icon where
// it has one, a drawing of our own where it does not. Main thread only.
namespace sonvel::SymbolIcons {

// Makes the icon theme reachable where no desktop names one (the offscreen
// platform knows no search path and no theme): the freedesktop base
// directories, then Adwaita, the theme the build installs. A desktop's own
// choice stays first.
void useDesktopTheme();

// The freedesktop icon-theme name standing for a symbol; none for a symbol
// nobody mapped.
std::optional<std::string_view> themeName(std::string_view symbol);
// The theme's icon, or else the drawn one in `colour`.
QIcon icon(std::string_view symbol, const QColor& colour);
// The drawn one alone: empty for a symbol nobody mapped.
QIcon drawn(std::string_view symbol, const QColor& colour);
// A drawing in a 16 by 16 box, pen and brush set to `colour`, at the sizes
// a desktop asks for.
QIcon fromDrawing(void (*draw)(QPainter&), const QColor& colour);

}  // namespace sonvel::SymbolIcons
