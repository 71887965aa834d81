#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>

#include "core/Iso8601.hpp"
#include "core/PreferencesCodec.hpp"

namespace sonvel {
namespace {

using namespace std::chrono;
using PreferencesCodec::decode;
using PreferencesCodec::encode;

system_clock::time_point at(std::int64_t secondsSinceEpoch) {
    return system_clock::time_point{seconds{secondsSinceEpoch}};
}

ValidationRecord record() {
    ValidationRecord r;
    r.outcome = ValidationRecord::Outcome::passed;
    r.osBuild = "24A335";
    r.date = at(1769847300);  // 2026-01-31T08:15:00Z
    r.outputDeviceName = "MacBook Speakers";
    r.appName = "Music";
    r.measurements = {"100 %: −3.0 dB", "50 %: −9.0 dB"};
    r.note = "";
    return r;
}

Preferences sample() {
    Preferences p;
    p.set(AppPreference(0.5, false, "Music"), "com.apple.Music");
    p.set(AppPreference(1.0, true, "Zoom"), "us.zoom");
    p.set(AppPreference(1.0, false, "Café", "dac-uid", "USB DAC"), "com.example.café");
    p.isPaused = true;
    p.showIdleApps = false;
    p.permissionVerifiedAt = at(1769847300);
    p.validation = record();
    p.validation->engineRevision = 1;
    p.validation->invalidatedReason = "Silence.";
    return p;
}

std::string encoded(const Preferences& p) {
    return encode(p);
}

std::string unreadable(const std::string& why) {
    return "Preferences were unreadable (" + why + "); starting fresh.";
}

TEST(PreferencesTest, SetRemovesDefaultEntries) {
    Preferences p;
    p.set(AppPreference(0.5, false, "A"), "a");
    EXPECT_EQ(p.preference("a"), AppPreference(0.5, false, "A"));
    p.set(AppPreference(1.0, false, "A"), "a");
    EXPECT_EQ(p.preference("a"), std::nullopt);
    EXPECT_TRUE(p.apps.empty());
}

TEST(PreferencesCodecTest, WritesOneSortedLineWithWholeSecondDates) {
    Preferences p;
    p.permissionVerifiedAt = at(1769847300) + milliseconds{999};
    p.apps["full"] = AppPreference(1.0, false, "Full");  // changes nothing: dropped
    p.apps["muted"] = AppPreference(1.0, true, "Muted");
    EXPECT_EQ(encoded(p),
              R"({"apps":{"muted":{"displayName":"Muted","muted":true,"position":1.0}},)"
              R"("isPaused":false,"permissionVerifiedAt":"2026-01-31T08:15:00Z",)"
              R"("showIdleApps":true,"version":1})");
    EXPECT_EQ(encoded(sample()), encoded(sample()));
}

TEST(PreferencesCodecTest, RoundTripsEveryField) {
    const Preferences p = sample();
    const PreferencesCodec::Decoded back = decode(encoded(p));
    EXPECT_EQ(back.issue, std::nullopt);
    EXPECT_EQ(back.preferences, p);

    Preferences bare;
    EXPECT_EQ(decode(encoded(bare)), (PreferencesCodec::Decoded{bare, std::nullopt}));
}

// Whatever the record holds, what is written decodes again without an issue,
// and writing the decoded record gives the same bytes.
TEST(PreferencesCodecTest, EveryWrittenDocumentDecodesToAnEqualRecord) {
    std::mt19937_64 random(20261206);
    const double specials[] = {std::nan(""),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               1e308,
                               -0.0,
                               1.0,
                               0.1 + 0.2,
                               std::numeric_limits<double>::denorm_min()};
    for (int round = 0; round < 200; ++round) {
        Preferences p;
        const int count = int(random() % 4);
        for (int i = 0; i < count; ++i) {
            AppPreference app;
            app.position = random() % 2 ? specials[random() % std::size(specials)]
                                        : std::uniform_real_distribution<double>(-1, 2)(random);
            app.muted = random() % 3 == 0;
            app.displayName = "App \xF0\x9F\x8E\xB5 " + std::to_string(i);
            if (random() % 3 == 0) app.outputDeviceUID = "uid-" + std::to_string(i);
            p.apps["key." + std::to_string(i)] = app;
        }
        if (random() % 2) p.permissionVerifiedAt = at(std::int64_t(random() % 4'000'000'000));
        const std::string first = encoded(p);
        const PreferencesCodec::Decoded back = decode(first);
        ASSERT_EQ(back.issue, std::nullopt) << first;
        EXPECT_EQ(encoded(back.preferences), first);
        for (const auto& [key, app] : back.preferences.apps) {
            EXPECT_TRUE(std::isfinite(app.position)) << first;
        }
    }
}

TEST(PreferencesCodecTest, NoDataGivesDefaultsWithoutIssue) {
    const PreferencesCodec::Decoded d = decode(std::nullopt);
    EXPECT_EQ(d.issue, std::nullopt);
    EXPECT_TRUE(d.preferences.showIdleApps);
    EXPECT_FALSE(d.preferences.isPaused);
    EXPECT_EQ(d.preferences, Preferences{});
}

TEST(PreferencesCodecTest, OtherVersionsStartFresh) {
    nlohmann::json doc = nlohmann::json::parse(encoded(sample()));
    for (const auto& [version, text] : std::vector<std::pair<nlohmann::json, std::string>>{
             {2, "2"}, {0, "0"}, {-7, "-7"}, {3.0, "3"}}) {
        doc["version"] = version;
        EXPECT_EQ(decode(doc.dump()),
                  (PreferencesCodec::Decoded{Preferences{}, "Unsupported preferences version " +
                                                                text + "; starting fresh."}));
    }
}

TEST(PreferencesCodecTest, OptionalKeysMayBeAbsentOrNullAndUnknownKeysAreIgnored) {
    const auto d = decode(R"({"apps":{"a":{"displayName":"A","muted":false,"position":7,)"
                          R"("outputDeviceName":null}},"isPaused":true,"showIdleApps":false,)"
                          R"("version":1,"validation":null,"future":[1,2]})");
    ASSERT_EQ(d.issue, std::nullopt);
    EXPECT_FALSE(d.preferences.permissionVerifiedAt);
    EXPECT_FALSE(d.preferences.validation);
    EXPECT_EQ(d.preferences.apps.at("a").position, 1.0);
    EXPECT_TRUE(d.preferences.isPaused);
}

// A fault anywhere makes the whole document unreadable, so nothing is half-read.
TEST(PreferencesCodecTest, RejectsMissingKeysWrongTypesAndUnknownOutcomes) {
    const nlohmann::json good = nlohmann::json::parse(encoded(sample()));
    struct Case {
        std::string pointer;                  // what to change, as a JSON pointer
        std::optional<nlohmann::json> value;  // none: remove it
        std::string why;
    };
    const std::vector<Case> cases{
        {"/showIdleApps", std::nullopt, "missing key “showIdleApps”"},
        {"/version", std::nullopt, "missing key “version”"},
        {"/apps", std::nullopt, "missing key “apps”"},
        {"/isPaused", "yes", "“isPaused” is not a boolean"},
        {"/isPaused", nullptr, "“isPaused” is not a boolean"},
        {"/version", 1.5, "“version” is not an integer"},
        {"/version", "1", "“version” is not an integer"},
        {"/apps", nlohmann::json::array(), "“apps” is not an object"},
        {"/apps/us.zoom/position", "0.5", "“apps” › “us.zoom” › “position” is not a number"},
        {"/apps/us.zoom/muted", std::nullopt, "missing key “apps” › “us.zoom” › “muted”"},
        {"/apps/us.zoom", 3, "“apps” › “us.zoom” is not an object"},
        {"/apps/us.zoom/outputDeviceUID", 5,
         "“apps” › “us.zoom” › “outputDeviceUID” is not a string"},
        {"/permissionVerifiedAt", "yesterday", "“permissionVerifiedAt” is not an ISO 8601 date"},
        {"/permissionVerifiedAt", 1769847300, "“permissionVerifiedAt” is not a string"},
        {"/validation/outcome", "maybe",
         "“validation” › “outcome” is neither “passed” nor “failed”"},
        {"/validation/note", std::nullopt, "missing key “validation” › “note”"},
        {"/validation/measurements", "one line", "“validation” › “measurements” is not an array"},
        {"/validation/measurements/1", 2, "“validation” › “measurements” is not a list of strings"},
        {"/validation/engineRevision", "1", "“validation” › “engineRevision” is not an integer"},
        {"/validation/date", "2026-02-30T00:00:00Z",
         "“validation” › “date” is not an ISO 8601 date"},
        {"/validation", true, "“validation” is not an object"},
    };
    for (const Case& c : cases) {
        nlohmann::json doc = good;
        const nlohmann::json::json_pointer pointer(c.pointer);
        if (c.value) {
            doc[pointer] = *c.value;
        } else {
            doc[pointer.parent_pointer()].erase(pointer.back());
        }
        EXPECT_EQ(decode(doc.dump()), (PreferencesCodec::Decoded{Preferences{}, unreadable(c.why)}))
            << c.pointer;
    }
}

TEST(PreferencesCodecTest, MalformedBytesGiveDefaultsAndAnIssue) {
    const std::string good = encoded(sample());
    std::string deep(100'000, '[');
    deep += std::string(100'000, ']');
    const std::vector<std::pair<std::string, std::string>> cases{
        {good.substr(0, good.size() / 2),
         "not valid JSON at byte " + std::to_string(good.size() / 2 + 1)},
        {"", "not valid JSON at byte 1"},
        {deep, "the document is not an object"},
        {"[1]", "the document is not an object"},
        {R"({"version":1e400})", "a number is too large"},
        {"{\"apps\":{\"\xFF\xFE\":{}}}", "not valid JSON at byte 11"},
        {good + "x", "not valid JSON at byte " + std::to_string(good.size() + 1)},
        {good + std::string("\0x", 2), "not valid JSON at byte " + std::to_string(good.size() + 1)},
    };
    for (const auto& [bytes, why] : cases) {
        const PreferencesCodec::Decoded d = decode(bytes);
        EXPECT_EQ(d.preferences, Preferences{});
        EXPECT_EQ(d.issue, unreadable(why)) << bytes.substr(0, 40);
    }
    EXPECT_EQ(decode(good + " \n\t").preferences, sample());
    // A number too large for an integer is not a version.
    EXPECT_EQ(
        decode(R"({"apps":{},"isPaused":false,"showIdleApps":true,"version":99999999999999999999})")
            .issue,
        unreadable("“version” is not an integer"));
}

// One date the clock cannot hold must not cost every level, mute and route.
TEST(PreferencesCodecTest, DatesBeyondTheClockAreClampedAndTheDocumentKept) {
    nlohmann::json doc = nlohmann::json::parse(encoded(sample()));
    doc["validation"]["date"] = "9999-12-31T23:59:59.5Z";
    doc["permissionVerifiedAt"] = "1600-01-01T00:00:00Z";
    const PreferencesCodec::Decoded d = decode(doc.dump());
    EXPECT_EQ(d.issue, std::nullopt);
    EXPECT_EQ(d.preferences.apps, sample().apps);
    EXPECT_EQ(d.preferences.validation->date, floor<seconds>(system_clock::time_point::max()));
    EXPECT_EQ(d.preferences.permissionVerifiedAt, ceil<seconds>(system_clock::time_point::min()));
}

TEST(PreferencesCodecTest, TextThatIsNotUtf8IsReplacedRatherThanLosingTheDocument) {
    Preferences p;
    p.set(AppPreference(0.5, false, "Bad \xC3 name"), "key");
    const PreferencesCodec::Decoded back = decode(encoded(p));
    EXPECT_EQ(back.issue, std::nullopt);
    EXPECT_EQ(back.preferences.apps.at("key").displayName, "Bad \xEF\xBF\xBD name");
}

TEST(Iso8601Test, ParsesOffsetsAndFractionsAndRejectsNonsense) {
    EXPECT_EQ(Iso8601::parse("2026-01-31T08:15:00Z"), at(1769847300));
    EXPECT_EQ(Iso8601::parse("2026-01-31T10:15:00+02:00"), at(1769847300));
    EXPECT_EQ(Iso8601::parse("2026-01-31T08:14:00-00:01"), at(1769847300));
    EXPECT_EQ(Iso8601::parse("2026-01-31T08:15:00.5Z"), at(1769847300) + milliseconds{500});
    EXPECT_EQ(Iso8601::format(at(-1)), "1969-12-31T23:59:59Z");
    EXPECT_EQ(Iso8601::parse(Iso8601::format(system_clock::time_point::max())),
              floor<seconds>(system_clock::time_point::max()));
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
