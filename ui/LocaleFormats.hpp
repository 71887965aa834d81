#pragma once

#include <chrono>
#include <string>

class QLocale;

// Dates and times in the user's locale, Qt's locale formats standing in for
// the abbreviated date, shortened time and standard time styles.
namespace sonvel::LocaleFormats {

// A date with its time of day, both in the locale's short form.
std::string shortDateTime(std::chrono::system_clock::time_point when, const QLocale& locale);
// A time of day with seconds and without a time zone.
std::string standardTime(std::chrono::system_clock::time_point when, const QLocale& locale);

}  // namespace sonvel::LocaleFormats
