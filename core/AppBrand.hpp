#pragma once

#include <string_view>

namespace sonvel::AppBrand {

// The product's display name as the interface shows it.
inline constexpr std::string_view name = "Sonvel";

}  // namespace sonvel::AppBrand
