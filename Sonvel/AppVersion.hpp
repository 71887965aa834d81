#pragma once

#include <string_view>

namespace sonvel::AppVersion {

// The running version, as update feeds' items are compared with it.
inline constexpr std::string_view current = "0.1.0";

}  // namespace sonvel::AppVersion
