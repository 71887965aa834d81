#include "ui/AppIcons.hpp"

#include <QFileInfo>

#include "Sonvel/views/Symbols.hpp"
#include "ui/SymbolIcons.hpp"
#include "ui/ToneStyle.hpp"

namespace sonvel {

namespace {

std::optional<QIcon> namedIcon(const std::string& name) {
    const QString named = QString::fromStdString(name);
    if (named.startsWith('/')) {
        // An icon made from a missing file, or one that is no image, is not
        // null: it only draws nothing.
        if (!QFileInfo(named).isFile()) return std::nullopt;
        QIcon file(named);
        if (file.pixmap(16, 16).isNull()) return std::nullopt;
        return file;
    }
    if (QIcon::hasThemeIcon(named)) return QIcon::fromTheme(named);
    return std::nullopt;
}

}  // namespace

QIcon appIcon(const std::optional<std::string>& path, const AppIconNames& names,
              const QPalette& palette) {
    if (path && names) {
        if (const auto name = names(*path)) {
            if (auto icon = namedIcon(*name)) return *std::move(icon);
        }
    }
    return SymbolIcons::icon(Symbols::genericApp, ToneStyle::colour(Tone::secondary, palette));
}

}  // namespace sonvel
