#include "ui/AppIcons.hpp"

#include "Sonvel/Symbols.hpp"
#include "ui/SymbolIcons.hpp"
#include "ui/ViewStyle.hpp"

namespace sonvel {

QIcon appIcon(const std::optional<std::string>& path, const AppIconNames& names,
              const QPalette& palette) {
    if (path && names) {
        if (const auto name = names(*path)) {
            const QString themeName = QString::fromStdString(*name);
            if (QIcon::hasThemeIcon(themeName)) return QIcon::fromTheme(themeName);
        }
    }
    return SymbolIcons::icon(Symbols::genericApp, ViewStyle::colour(TextRole::secondary, palette));
}

}  // namespace sonvel
