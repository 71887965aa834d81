// The rules `sonvelctl` and the session-bus service share, without a bus.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "bus/ControlCommands.hpp"

namespace sonvel::ControlCommands {
namespace {

TEST(ControlCommandsTest, LevelsParseOrAreRefusedWithoutAChange) {
    const std::pair<std::string, Level> accepted[]{
        {"40%", {0.4, false}},  {"0.4", {0.4, false}},  {"+10%", {0.1, true}},
        {"-10%", {-0.1, true}}, {"100%", {1.0, false}}, {"0%", {0.0, false}},
    };
    for (const auto& [text, level] : accepted) {
        const auto parsed = parseLevel(text);
        ASSERT_TRUE(parsed) << text << ": " << parsed.error().message;
        EXPECT_NEAR(parsed->value, level.value, 1e-12) << text;
        EXPECT_EQ(parsed->relative, level.relative) << text;
    }
    for (const std::string& text :
         std::vector<std::string>{"101%", "1.5", "+150%", "+-5%", "nan", "inf%", "", "%", "forty",
                                  "40 %", std::string(300, '1') + "%"}) {
        const auto parsed = parseLevel(text);
        ASSERT_FALSE(parsed) << text;
        EXPECT_EQ(parsed.error().code, ExitCode::badArgument) << text;
    }
    EXPECT_DOUBLE_EQ(applyLevel({-0.1, true}, 0.05), 0.0);
    EXPECT_DOUBLE_EQ(applyLevel({0.1, true}, 0.95), 1.0);
    EXPECT_NEAR(applyLevel({-0.1, true}, 0.5), 0.4, 1e-12);
}

TEST(ControlCommandsTest, NumbersFromTheBusAreCheckedNotClamped) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double bad : {-0.01, 1.01, nan, double(INFINITY)})
        EXPECT_FALSE(checkedPosition(bad)) << bad;
    for (double bad : {-1.0, 100.5, nan}) EXPECT_FALSE(checkedPercent(bad)) << bad;
    EXPECT_DOUBLE_EQ(*checkedPercent(50), 0.5);
    for (const std::string& bad :
         std::vector<std::string>{"", "Mu\nsic", "Mu\x7fsic", std::string(257, 'a')}) {
        EXPECT_EQ(checkedName(bad, "name").error().code, ExitCode::badArgument);
    }
}

TEST(ControlCommandsTest, ApplicationsMatchByKeyOrNameAndErrorsListCandidates) {
    const std::vector<AppRow> rows{{.key = "com.a.music", .name = "Music"},
                                   {.key = "com.b.player", .name = "Player"},
                                   {.key = "com.c.player", .name = "Player"},
                                   {.key = "com.d.élan", .name = "Élan"}};
    EXPECT_EQ(matchApp("music", rows)->key, "com.a.music");
    EXPECT_EQ(matchApp("COM.C.PLAYER", rows)->key, "com.c.player");
    EXPECT_EQ(matchApp("élan", rows)->key, "com.d.élan");

    const auto ambiguous = matchApp("player", rows);
    EXPECT_EQ(ambiguous.error().code, ExitCode::noSuchApp);
    EXPECT_EQ(ambiguous.error().message,
              "'player' names 2 applications; give one of their keys: 'Player' (com.b.player), "
              "'Player' (com.c.player).");
    const auto unknown = matchApp("Radio", {rows[0]});
    EXPECT_EQ(unknown.error().message,
              "No application is called 'Radio'. Known: 'Music' "
              "(com.a.music).");
    EXPECT_EQ(matchApp("Mu\tsic", rows).error().code, ExitCode::badArgument);
}

TEST(ControlCommandsTest, OutputsMatchAndUnusableOnesAreRefusedWithTheirReason) {
    const std::vector<OutputRow> outputs{{"spk", "Speakers", true, {}},
                                         {"dac", "Studio DAC", false, "It is busy."}};
    EXPECT_EQ(matchOutput("DEFAULT", outputs)->has_value(), false);
    EXPECT_EQ((*matchOutput("speakers", outputs))->uid, "spk");
    EXPECT_EQ(matchOutput("dac", outputs).error().message,
              "Studio DAC cannot be chosen: It is busy.");
    EXPECT_EQ(matchOutput("HDMI", outputs).error().code, ExitCode::noSuchOutput);
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
    EXPECT_EQ(rows[1].name, "Radio");
    EXPECT_FALSE(rows[1].playing);
    EXPECT_EQ(rows[1].percent, "25%");

    nlohmann::json wire = nlohmann::json::array();
    for (const AppRow& r : rows) wire.push_back(toJson(r));
    EXPECT_EQ(*appRowsFromJson(wire.dump()), rows);
    nlohmann::json outputs = nlohmann::json::array();
    for (const OutputRow& o : outputRows(input)) outputs.push_back(toJson(o));
    EXPECT_EQ(*outputRowsFromJson(outputs.dump()), outputRows(input));
    EXPECT_TRUE(outputRows(input)[0].isDefault);
    EXPECT_EQ(appRowsFromJson("[{\"key\": 1}]").error().code, ExitCode::failed);
}

TEST(ControlCommandsTest, ChangesAreRefusedWithTheGatesOwnWordsUnlessReady) {
    EXPECT_FALSE(refusal(ControlGate::Ready{}));
    const ControlGate locked = ControlGate::NeedsPermission{};
    const auto refused = refusal(ControlGate::Paused{});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code, ExitCode::controlsUnavailable);
    EXPECT_EQ(refused->message,
              "Sonvel is paused. All apps play at their normal volume. Resume to apply your "
              "levels.");
    const Status s = status(locked, {});
    EXPECT_EQ(*statusFromJson(toJson(s).dump()), s);
    EXPECT_EQ(formatStatus(s), locked.title() + "\n" + locked.detail() + "\n");
}

TEST(ControlCommandsTest, CommandLinesAreCheckedBeforeAnythingIsSent) {
    using Verb = Invocation::Verb;
    using Args = std::vector<std::string>;
    const auto set = parseInvocation(Args{"set", "Music", "-10%"});
    ASSERT_TRUE(set);
    EXPECT_EQ(*set, (Invocation{Verb::set, "Music", {-0.1, true}, "", false}));
    EXPECT_EQ(parseInvocation(Args{"--json", "list"})->json, true);
    EXPECT_EQ(parseInvocation(Args{"route", "Music", "default"})->device, "default");

    for (const Args& args : std::vector<Args>{
             {},
             {"louder"},
             {"mute"},
             {"set", "Music"},
             {"set", "Music", "NaN"},
             {"set", "", "40%"},
             {"mute", "Music", "--json"},
             {"route", "Music", "Spea\x1bkers"},
             {"list", std::string(maxArgumentLength + 1, 'x')},
         }) {
        const auto parsed = parseInvocation(args);
        ASSERT_FALSE(parsed) << ::testing::PrintToString(args);
        EXPECT_EQ(parsed.error().code, ExitCode::badArgument);
    }
    for (ExitCode code : {ExitCode::badArgument, ExitCode::noSuchApp, ExitCode::controlsUnavailable,
                          ExitCode::noSuchOutput}) {
        EXPECT_EQ(exitCodeOf(errorName(code)), code);
    }
    EXPECT_EQ(exitCodeOf("org.freedesktop.DBus.Error.ServiceUnknown"), ExitCode::notRunning);
}

}  // namespace
}  // namespace sonvel::ControlCommands
