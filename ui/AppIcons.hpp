#pragma once

#include <QIcon>
#include <QPalette>
#include <functional>
#include <optional>
#include <string>

namespace sonvel {

// Where a row's icon comes from: the icon-theme name, or the absolute path of
// an image, of the application at a path; none when the platform knows no
// icon for it (on the simulated system, the icon its world file names; on
// PipeWire, the stream's own icon name or the application's desktop entry's).
using AppIconNames = std::function<std::optional<std::string>(const std::string& appPath)>;

// The application's own icon, or the generic application symbol in the
// secondary colour when there is no path, no icon, or neither the theme nor
// the file has it.
QIcon appIcon(const std::optional<std::string>& path, const AppIconNames& names,
              const QPalette& palette);

}  // namespace sonvel
