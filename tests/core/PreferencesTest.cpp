#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <tuple>

#include "core/AppPreference.hpp"
#include "core/GainTaper.hpp"
#include "core/Iso8601.hpp"
#include "core/PreferencesCodec.hpp"

namespace sonvel {
namespace {

using namespace std::chrono;
using PreferencesCodec::decode;
using PreferencesCodec::Decoded;
using PreferencesCodec::encode;

// Wherever a position is read, stored, saved or turned into a gain, a value
// that is not a number is full level (it neither silences the application nor
// starts an engine) and infinities clamp like other values out of range.
// What mute and a route change at full level is heard through the engines of
// ReconcilerTest and the count of applications turned down of StatusIconTest.
TEST(PositionTest, EveryPlaceFollowsOneRule) {
    const double inf = std::numeric_limits<double>::infinity();
    // Labels round halves away from zero, and nothing less than a half up.
    const std::tuple<double, double, const char*> cases[] = {
        {std::nan(""), 1.0, "100%"}, {inf, 1.0, "100%"},    {-inf, 0.0, "0%"},
        {1.7, 1.0, "100%"},          {-0.2, 0.0, "0%"},     {0.5, 0.5, "50%"},
        {1.0, 1.0, "100%"},          {0.125, 0.125, "13%"}, {0x1p-8, 0x1p-8, "0%"}};
    for (const auto& [given, sane, percent] : cases) {
        SCOPED_TRACE(given);
        const bool full = sane >= 1.0;
        // A device name without a device identifies nothing.
        const AppPreference made(given, false, "A", std::nullopt, "Speakers");
        EXPECT_EQ(std::pair(made.position, made.outputDeviceName.has_value()),
                  std::pair(sane, false));

        AppPreference raw;  // as a document or a command may leave it
        raw.position = given;
        EXPECT_EQ(std::pair(raw.isDefault(), raw.isFullLevel()), std::pair(full, full));
        EXPECT_EQ(raw.gain(), static_cast<float>(sane * sane));
        EXPECT_EQ(GainTaper::position(static_cast<float>(given)), std::sqrt(sane));
        EXPECT_EQ(GainTaper::percentText(given), percent);

        Preferences set;
        set.set(AppPreference(0.25, false, "A"), "k");  // a default written over a level removes it
        set.set(raw, "k");
        Preferences direct;  // bypassing `set`, as a stale record might
        direct.apps["k"] = raw;
        for (const Preferences& p : {set, decode(encode(direct)).preferences})
            EXPECT_EQ(p.apps.contains("k") ? p.apps.at("k").position : -1.0, full ? -1.0 : sane);
    }
}

system_clock::time_point at(std::int64_t secondsSinceEpoch) {
    return system_clock::time_point{seconds{secondsSinceEpoch}};
}
const system_clock::time_point january31 = at(1769847300);  // 2026-01-31T08:15:00Z

Preferences sample() {
    Preferences p;
    p.set(AppPreference(0.5, false, "Music"), "com.apple.Music");
    p.set(AppPreference(1.0, true, "Zoom"), "us.zoom");
    p.set(AppPreference(1.0, false, "Café", "dac-uid", "USB DAC"), "com.example.café");
    p.isPaused = true;
    p.showIdleApps = false;
    p.permissionVerifiedAt = january31;
    p.validation =
        ValidationRecord(ValidationRecord::Outcome::passed, "24A335", january31, "MacBook Speakers",
                         "Music", {"100 %: −3.0 dB", "50 %: −9.0 dB"}, "", 1, "Silence.");
    return p;
}

std::string unreadable(const std::string& why) {
    return "Preferences were unreadable (" + why + ").";
}

TEST(PreferencesCodecTest, WritesOneSortedLineWithWholeSecondDatesAndReadsItBack) {
    Preferences p;
    p.permissionVerifiedAt = january31 + milliseconds{999};
    p.apps["full"] = AppPreference(1.0, false, "Full");  // changes nothing: dropped
    p.apps["muted"] = AppPreference(1.0, true, "Muted");
    EXPECT_EQ(encode(p), R"({"apps":{"muted":{"displayName":"Muted","muted":true,"position":1.0}},)"
                         R"("isPaused":false,"permissionVerifiedAt":"2026-01-31T08:15:00Z",)"
                         R"("showIdleApps":true,"version":1})");

    EXPECT_EQ(decode(encode(sample())), (Decoded{sample(), std::nullopt}));
    EXPECT_EQ(decode(encode(Preferences{})), Decoded{});
    // Optional keys may be null as well as absent.
    EXPECT_EQ(decode(R"({"apps":{},"isPaused":false,"showIdleApps":true,"validation":null,)"
                     R"("version":1})"),
              Decoded{});
    EXPECT_EQ(decode(std::nullopt), Decoded{});
}

// Whatever a record holds, what is written decodes again without an issue,
// and writing the decoded record gives the same bytes. Text that is not UTF-8
// is replaced rather than losing the document.
TEST(PreferencesCodecTest, EveryWrittenDocumentDecodesAndWritesTheSameBytes) {
    Preferences p = sample();
    const double inf = std::numeric_limits<double>::infinity();
    int i = 0;
    for (double position : {std::nan(""), inf, -inf, 1e308, -0.0, 0.1 + 0.2, 5e-324, 1.5}) {
        AppPreference& app = p.apps["key." + std::to_string(i)];
        app.position = position;
        app.muted = i++ % 2 == 0;
        app.displayName = "App \xF0\x9F\x8E\xB5";
    }
    p.set(AppPreference(0.5, false, "Bad \xC3 name"), "bad");
    const std::string first = encode(p);
    const Decoded back = decode(first);
    ASSERT_EQ(back.issue, std::nullopt) << first;
    EXPECT_EQ(encode(back.preferences), first);
    EXPECT_EQ(back.preferences.apps.at("bad").displayName, "Bad \xEF\xBF\xBD name");
}

// A fault anywhere makes the whole document unreadable, so nothing is half-read;
// the issue names the place and what was expected there. One case per rule.
// Other versions are not read either.
TEST(PreferencesCodecTest, RejectsMalformedBytesOtherVersionsMissingKeysAndWrongTypes) {
    const std::string good = encode(sample());
    // The document with what `pointer` names set to `value`, or removed.
    const auto changed = [&](const char* pointer, const std::optional<nlohmann::json>& value) {
        nlohmann::json doc = nlohmann::json::parse(good);
        const nlohmann::json::json_pointer at(pointer);
        if (value) doc[at] = *value;
        if (!value) doc[at.parent_pointer()].erase(at.back());
        return doc.dump();
    };
    const std::string newer = "Preferences were written by a newer Sonvel (version ";
    const std::string afterGood = "not valid JSON at byte " + std::to_string(good.size() + 1);
    const std::pair<std::string, std::string> cases[] = {
        {changed("/version", 2), newer + "2)."},
        {changed("/version", 3.0), newer + "3)."},
        {changed("/version", -7), "Unsupported preferences version -7."},
        {changed("/showIdleApps", std::nullopt), unreadable("missing key “showIdleApps”")},
        {changed("/isPaused", nullptr), unreadable("“isPaused” is not a boolean")},  // not absent
        {changed("/apps/us.zoom/position", "0.5"),
         unreadable("“apps” › “us.zoom” › “position” is not a number")},
        {changed("/version", 1.5), unreadable("“version” is not an integer")},
        {changed("/version", 1e20), unreadable("“version” is not an integer")},  // beyond 64 bits
        {changed("/validation/date", "2026-02-30T00:00:00Z"),
         unreadable("“validation” › “date” is not an ISO 8601 date")},
        {changed("/validation/outcome", "maybe"),
         unreadable("“validation” › “outcome” is neither “passed” nor “failed”")},
        {changed("/validation/measurements", "one line"),
         unreadable("“validation” › “measurements” is not an array")},
        {changed("/apps", nlohmann::json::array()), unreadable("“apps” is not an object")},
        {good.substr(0, 100), unreadable("not valid JSON at byte 101")},
        {std::string(100'000, '[') + std::string(100'000, ']'),
         unreadable("the document is not an object")},
        {R"({"version":1e400})", unreadable("a number is too large")},
        {"{\"apps\":{\"\xFF\xFE\":{}}}", unreadable("not valid JSON at byte 11")},
        {good + "x", unreadable(afterGood)},
        {good + std::string("\0x", 2), unreadable(afterGood)},
    };
    for (const auto& [bytes, issue] : cases)
        EXPECT_EQ(decode(bytes), (Decoded{Preferences{}, issue})) << bytes.substr(0, 60);
    EXPECT_EQ(decode(good + " \n\t").preferences, sample());
}

// One date the clock cannot hold must not cost every level, mute and route;
// nor does a key this version does not know.
TEST(PreferencesCodecTest, DatesBeyondTheClockAreClampedAndTheDocumentKept) {
    nlohmann::json doc = nlohmann::json::parse(encode(sample()));
    doc["validation"]["date"] = "9999-12-31T23:59:59.5Z";
    doc["permissionVerifiedAt"] = "1600-01-01T00:00:00Z";
    doc["apps"]["us.zoom"]["outputDeviceName"] = nullptr;
    doc["future"] = {1, 2};
    const Decoded d = decode(doc.dump());
    EXPECT_EQ(d.issue, std::nullopt);
    EXPECT_EQ(d.preferences.apps, sample().apps);
    EXPECT_EQ(d.preferences.validation->date, floor<seconds>(system_clock::time_point::max()));
    EXPECT_EQ(d.preferences.permissionVerifiedAt, ceil<seconds>(system_clock::time_point::min()));
}

TEST(Iso8601Test, ParsesOffsetsAndFractionsAndRejectsNonsense) {
    EXPECT_EQ(Iso8601::parse("2026-01-31T10:15:00+02:00"), january31);
    EXPECT_EQ(Iso8601::parse("2026-01-31T08:14:00-00:01"), january31);
    EXPECT_EQ(Iso8601::parse("2026-01-31T08:15:00.5Z"), january31 + milliseconds{500});
    EXPECT_EQ(Iso8601::format(at(-1)), "1969-12-31T23:59:59Z");
    EXPECT_EQ(Iso8601::parse(Iso8601::format(system_clock::time_point::min())),
              ceil<seconds>(system_clock::time_point::min()));
    for (const char* bad :
         {"2026-01-31", "2026-01-31T08:15:00", "2026-13-01T00:00:00Z", "2026-01-31T24:00:00Z",
          "2026-01-31T08:15:60Z", "2026-01-31T08:15:00Zx", "2026-01-31T08:15:00.Z",
          "+2026-01-31T08:15:00Z", "２026-01-31T08:15:00Z"}) {
        EXPECT_EQ(Iso8601::parse(bad), std::nullopt) << bad;
    }
}

}  // namespace
}  // namespace sonvel
