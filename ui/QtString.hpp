#pragma once

#include <QString>
#include <string>

namespace sonvel {

// The views below ui/ speak UTF-8 std::string, so that they stay Qt-free.
inline QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace sonvel
