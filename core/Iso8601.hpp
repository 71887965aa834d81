#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace sonvel::Iso8601 {

// Internet date-time in UTC with whole seconds, e.g. 2026-01-31T08:15:00Z.
// Any fraction of a second is dropped. Every time point the system clock can
// hold (years 1677 to 2262) has four-digit years, so this always succeeds.
std::string format(std::chrono::system_clock::time_point date);

// Reads an internet date-time: "Z" or a ±hh:mm offset, optional fraction.
// Nothing for text that is not one. A date the system clock cannot hold is
// clamped to the clock's first or last whole second, so that one odd date
// never makes a whole document unreadable.
std::optional<std::chrono::system_clock::time_point> parse(std::string_view text);

}  // namespace sonvel::Iso8601
