// The rules `sonvelctl` and the session-bus service share, without a bus.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "bus/ControlCommands.hpp"

namespace sonvel::ControlCommands {
namespace {

template <class T>
bool refusedAsBad(const Result<T>& result) {
    return !result && result.error().code == ExitCode::badArgument;
}

TEST(ControlCommandsTest, LevelsParseOrAreRefusedWithoutAChange) {
    const std::pair<std::string, Level> accepted[]{{"40%", {0.4, false}},  {"0.4", {0.4, false}},
                                                   {"+10%", {0.1, true}},  {"-10%", {-0.1, true}},
                                                   {"100%", {1.0, false}}, {"0%", {0.0, false}}};
    for (const auto& [text, level] : accepted) EXPECT_EQ(parseLevel(text), level) << text;
    for (const std::string& text :
         std::vector<std::string>{"101%", "1.5", "+150%", "+-5%", "nan", "inf%", "", "%", "forty",
                                  "40 %", std::string(300, '1') + "%"})
        EXPECT_TRUE(refusedAsBad(parseLevel(text))) << text;
    EXPECT_DOUBLE_EQ(applyLevel({-0.1, true}, 0.05), 0.0);
    EXPECT_DOUBLE_EQ(applyLevel({0.1, true}, 0.95), 1.0);
}

TEST(ControlCommandsTest, NumbersFromTheBusAreCheckedNotClamped) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double bad : {-0.01, 1.01, nan, double(INFINITY)})
        EXPECT_FALSE(checkedPosition(bad)) << bad;
    for (double bad : {-1.0, 100.5, nan}) EXPECT_FALSE(checkedPercent(bad)) << bad;
    EXPECT_DOUBLE_EQ(*checkedPercent(50), 0.5);
    for (const std::string& bad :
         std::vector<std::string>{"", "Mu\nsic", "Mu\x7fsic", std::string(257, 'a')})
        EXPECT_TRUE(refusedAsBad(checkedName(bad, "name"))) << bad;
}

TEST(ControlCommandsTest, ApplicationsMatchByKeyOrNameAndErrorsListCandidates) {
    const std::vector<AppRow> rows{{.key = "com.a.music", .name = "Music"},
                                   {.key = "com.b.player", .name = "Player"},
                                   {.key = "com.c.player", .name = "Player"},
                                   {.key = "com.d.élan", .name = "Élan"}};
    EXPECT_EQ(matchApp("COM.C.PLAYER", rows)->key, "com.c.player");
    EXPECT_EQ(matchApp("élan", rows)->key, "com.d.élan");

    EXPECT_EQ(matchApp("player", rows).error(),
              (Error{ExitCode::noSuchApp,
                     "'player' names 2 applications; give one of their keys: 'Player' "
                     "(com.b.player), 'Player' (com.c.player)."}));
    EXPECT_EQ(matchApp("Radio", {rows[0]}).error(),
              (Error{ExitCode::noSuchApp,
                     "No application is called 'Radio'. Known: 'Music' (com.a.music)."}));
    EXPECT_TRUE(refusedAsBad(matchApp("Mu\tsic", rows)));
}

TEST(ControlCommandsTest, RowsComeFromThePublishedStateAndSurviveTheWire) {
    PanelInput input;
    const AppGroup music{.key = "com.a.music", .displayName = "Music", .isRunningOutput = true};
    input.groups = {music};
    input.preferences.set(AppPreference(0.5, true, "Music", "pods", "AirPods"), music.key);
    input.preferences.set(AppPreference(0.25, false, "Radio"), "com.r.radio");
    input.outputs = {{1, "spk", "Speakers"}, {2, "pods", "AirPods"}};
    input.output = input.outputs[0];

    const auto rows = appRows(input);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (AppRow{"com.a.music", "Music", true, 0.5, "50%", true, "pods", "AirPods",
                               rows[0].caption}));
    EXPECT_EQ(rows[1], (AppRow{"com.r.radio", "Radio", false, 0.25, "25%", false, std::nullopt,
                               std::nullopt, rows[1].caption, rows[1].hearing}));

    nlohmann::json wire = nlohmann::json::array();
    for (const AppRow& r : rows) wire.push_back(toJson(r));
    EXPECT_EQ(*appRowsFromJson(wire.dump()), rows);
    nlohmann::json outputs = nlohmann::json::array();
    for (const OutputRow& o : outputRows(input)) outputs.push_back(toJson(o));
    EXPECT_EQ(*outputRowsFromJson(outputs.dump()), outputRows(input));
    EXPECT_TRUE(outputRows(input)[0].isDefault);
    EXPECT_EQ(appRowsFromJson("[{\"key\": 1}]").error().code, ExitCode::failed);
}

// What a ready gate and usable outputs allow is sonvelctl's test on the bus.
TEST(ControlCommandsTest, AnUnusableOutputAndThePausedGateRefuseInTheirOwnWords) {
    const std::vector<OutputRow> outputs{{"spk", "Speakers", true, {}},
                                         {"dac", "Studio DAC", false, "It is busy."}};
    EXPECT_EQ(matchOutput("dac", outputs).error().message,
              "Studio DAC cannot be chosen: It is busy.");
    EXPECT_EQ(refusal(ControlGate::Paused{}),
              (Error{ExitCode::controlsUnavailable,
                     "Sonvel is paused. All apps play at their normal volume. Resume to apply "
                     "your levels."}));
}

// Those that sonvelctl sends, and the codes that come back, are its test on the bus.
TEST(ControlCommandsTest, CommandLinesAreCheckedBeforeAnythingIsSent) {
    using Args = std::vector<std::string>;
    for (const Args& args : std::vector<Args>{{},
                                              {"mute"},
                                              {"set", "Music"},
                                              {"set", "", "40%"},
                                              {"mute", "Music", "--json"},
                                              {"route", "Music", "Spea\x1bkers"},
                                              {"list", std::string(maxArgumentLength + 1, 'x')}})
        EXPECT_TRUE(refusedAsBad(parseInvocation(args))) << ::testing::PrintToString(args);
    EXPECT_EQ(exitCodeOf("org.freedesktop.DBus.Error.ServiceUnknown"), ExitCode::notRunning);
}

}  // namespace
}  // namespace sonvel::ControlCommands
