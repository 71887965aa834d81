#include "core/Iso8601.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>

namespace sonvel::Iso8601 {

using namespace std::chrono;

std::string format(system_clock::time_point date) {
    // Rounding down the clock's very first instant would leave its range.
    const auto seconds = std::max(floor<std::chrono::seconds>(date),
                                  ceil<std::chrono::seconds>(system_clock::time_point::min()));
    const auto day = floor<days>(seconds);
    const year_month_day ymd{day};
    const hh_mm_ss time{seconds - day};
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", int(ymd.year()),
                       unsigned(ymd.month()), unsigned(ymd.day()), time.hours().count(),
                       time.minutes().count(), time.seconds().count());
}

namespace {

// Reads exactly `width` decimal digits at `at`.
bool digits(std::string_view text, std::size_t at, std::size_t width, int& value) {
    if (at + width > text.size()) return false;
    for (std::size_t i = at; i < at + width; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return std::from_chars(text.data() + at, text.data() + at + width, value).ec == std::errc{};
}

bool expect(std::string_view text, std::size_t at, char c) {
    return at < text.size() && text[at] == c;
}

}  // namespace

std::optional<system_clock::time_point> parse(std::string_view text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!digits(text, 0, 4, y) || !expect(text, 4, '-') || !digits(text, 5, 2, mo) ||
        !expect(text, 7, '-') || !digits(text, 8, 2, d) || !expect(text, 10, 'T') ||
        !digits(text, 11, 2, h) || !expect(text, 13, ':') || !digits(text, 14, 2, mi) ||
        !expect(text, 16, ':') || !digits(text, 17, 2, s)) {
        return std::nullopt;
    }
    const year_month_day ymd{year{y}, month{unsigned(mo)}, day{unsigned(d)}};
    if (!ymd.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;

    std::size_t at = 19;
    nanoseconds fraction{0};
    if (expect(text, at, '.')) {
        ++at;
        std::size_t count = 0;
        long long scale = 100'000'000;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++count) {
            fraction += nanoseconds{(text[at] - '0') * scale};
            scale /= 10;
        }
        if (count == 0) return std::nullopt;
    }

    minutes offset{0};
    if (expect(text, at, 'Z')) {
        ++at;
    } else if (expect(text, at, '+') || expect(text, at, '-')) {
        int oh = 0, om = 0;
        const bool negative = text[at] == '-';
        if (!digits(text, at + 1, 2, oh) || !expect(text, at + 3, ':') ||
            !digits(text, at + 4, 2, om) || oh > 23 || om > 59) {
            return std::nullopt;
        }
        offset = hours{oh} + minutes{om};
        if (negative) offset = -offset;
        at += 6;
    } else {
        return std::nullopt;
    }
    if (at != text.size()) return std::nullopt;

    const sys_seconds utc = sys_days{ymd} + hours{h} + minutes{mi} + seconds{s} - offset;
    // The clock counts nanoseconds in 64 bits; outside its range the cast would overflow.
    const auto earliest = ceil<std::chrono::seconds>(system_clock::time_point::min());
    const auto latest = floor<std::chrono::seconds>(system_clock::time_point::max());
    if (utc < earliest) return time_point_cast<system_clock::duration>(earliest);
    if (utc >= latest) return time_point_cast<system_clock::duration>(latest);
    return time_point_cast<system_clock::duration>(utc) +
           duration_cast<system_clock::duration>(fraction);
}

}  // namespace sonvel::Iso8601
