// The panel's rules as pure functions of the model's state, without a display.

#include <gtest/gtest.h>

#include "Sonvel/views/PanelState.hpp"
#include "Sonvel/views/Symbols.hpp"

namespace sonvel {
namespace {

using Status = GroupStatus;
using Reason = UnavailableReason;

const OutputContext speakers{1, "spk", "Speakers"};
const OutputContext airPods{2, "pods", "AirPods"};
const OutputContext dac{3, "dac", "Studio DAC", "Another app has exclusive access to Studio DAC."};

const RowView::Context ready{ControlGate::Ready{}, speakers, {speakers}};

AppGroupDescriptor running(const std::string& name) {
    return {name, name, {}, false, true, true};
}

AppGroup group(const std::string& key, bool playing, std::string name = "") {
    if (name.empty()) name = key;
    return {.key = key,
            .displayName = name,
            .appPath = "/Applications/" + name + ".app",
            .isRunningOutput = playing};
}

TEST(RowViewTest, CaptionsAndTheirColourFollowTheStatus) {
    using enum Tone;
    const AppPreference routed(0.5, false, "Music", "pods", "AirPods");
    const AppPreference routedGone(0.5, false, "Music", "gone", "Old DAC");
    const AppPreference plain(0.5, false, "Music");
    struct Case {
        const char* name;
        std::optional<Status> status;
        std::optional<AppPreference> preference;
        std::optional<Caption> expected;
    };
    const Case cases[] = {
        {"no status", std::nullopt, plain, std::nullopt},
        {"untouched", Status::Untouched{}, plain, std::nullopt},
        {"active, routed", Status::Active{}, routed, Caption{"Output: AirPods", secondary}},
        {"active, route not listed", Status::Active{}, routedGone, std::nullopt},
        {"active, default output", Status::Active{}, plain, std::nullopt},
        {"idle, routed", Status::Idle{}, routed,
         Caption{"Not playing. Will play on AirPods once it starts.", secondary}},
        {"idle", Status::Idle{}, plain,
         Caption{"Not playing. Your level kicks in once it plays.", secondary}},
        {"fallback", Status::RouteFallback{"AirPods is gone; playing on Speakers."}, routed,
         Caption{"AirPods is gone; playing on Speakers.", warning}},
        {"failed", Status::Failed{"no tap", false}, plain,
         Caption{"Couldn't control this app: no tap", warning}},
        {"failed, retrying", Status::Failed{"no tap", true}, plain,
         Caption{"Error, retrying… (no tap)", warning}},
        {"locked, paused", Status::Unavailable{Reason::ControlsLocked{ControlGate::Paused{}}},
         plain, Caption{"Paused, playing at normal volume.", secondary}},
        {"locked, setup",
         Status::Unavailable{Reason::ControlsLocked{ControlGate::NeedsLiveValidation{}}}, plain,
         Caption{"Unavailable until setup is complete.", secondary}},
        {"unsupported", Status::Unavailable{Reason::DeviceUnsupported{"Studio DAC is busy."}},
         plain, Caption{"Studio DAC is busy.", warning}},
        {"other device", Status::Unavailable{Reason::PlaysToOtherDevice{}}, plain,
         Caption{"Plays to a different output device, not controllable.", warning}},
        {"no output", Status::Unavailable{Reason::NoOutputDevice{}}, plain,
         Caption{"No output device.", secondary}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RowView::caption(running("Music"), c.status, c.preference, {speakers, airPods}),
                  c.expected)
            << c.name;
    }
    // Not running comes first, whatever the status, and is never a warning.
    AppGroupDescriptor remembered{"a", "A", {}, false, false, false};
    EXPECT_EQ(RowView::caption(remembered, Status::Failed{"x", false}, plain, {}),
              (Caption{"Not running. Your level kicks in once it plays.", secondary}));
    // The model hears only silence from a row that otherwise looks fine.
    EXPECT_EQ(RowView::caption(running("Music"), Status::Active{}, routed, {airPods}, true),
              (Caption{silentRowCaption, warning}));
}

TEST(RowViewTest, DotLightsStrictlyAboveTheFloorAndOnlyForActiveRows) {
    EXPECT_EQ(RowView::levelDot(0.0001f), (LevelDotState{false, "Silent"}));
    EXPECT_EQ(RowView::levelDot(0.000101f), (LevelDotState{true, "Playing through Sonvel"}));
    EXPECT_TRUE(RowView::row(running("M"), Status::Active{}, {}, 0.5f, ready).dot);
    EXPECT_FALSE(RowView::row(running("M"), Status::Idle{}, {}, 0.5f, ready).dot);
    EXPECT_FALSE(RowView::row(running("M"), Status::Active{}, {}, std::nullopt, ready).dot);
}

TEST(RowViewTest, MuteLevelEnabledAndRetryStates) {
    const RowState muted = RowView::row(running("Music"), Status::Active{},
                                        AppPreference(0.3, true, "Music"), std::nullopt, ready);
    EXPECT_EQ(std::tuple(muted.muteSymbol, muted.muteAccessibleName, muted.levelText,
                         muted.sliderAccessibleName, muted.position),
              std::tuple(std::string(Symbols::muted), std::string("Unmute Music"),
                         std::string("Muted"), std::string("Music volume"), 0.3));

    const RowState fresh = RowView::row(running("Music"), Status::Untouched{}, {}, {}, ready);
    EXPECT_EQ(std::tuple(fresh.position, fresh.levelText, fresh.muteAccessibleName,
                         fresh.controlsEnabled, fresh.levelRole),
              std::tuple(1.0, std::string("100%"), std::string("Mute Music"), true, Tone::primary));

    const RowView::Context locked{ControlGate::NeedsPermission{}, speakers, {speakers, airPods}};
    const RowState off = RowView::row(running("Music"), Status::Untouched{}, {}, {}, locked);
    EXPECT_FALSE(off.controlsEnabled);
    EXPECT_EQ(off.levelRole, Tone::secondary);
    EXPECT_FALSE(off.outputMenu);  // routing needs an open gate

    // Retry only for a failure that stopped retrying by itself.
    EXPECT_TRUE(RowView::row(running("M"), Status::Failed{"x", false}, {}, {}, ready).showsRetry);
    EXPECT_FALSE(RowView::row(running("M"), Status::Failed{"x", true}, {}, {}, ready).showsRetry);
}

TEST(RowViewTest, OutputMenuItems) {
    const OutputMenuState routed = RowView::outputMenu("Music", "pods", "Speakers", {airPods, dac});
    EXPECT_EQ(routed.symbol, Symbols::routed);
    EXPECT_EQ(routed.accessibleName, "Output for Music");
    ASSERT_EQ(routed.items.size(), 3u);
    EXPECT_EQ(routed.items[0], (OutputMenuItem{std::nullopt, "Default Output (Speakers)", false}));
    EXPECT_EQ(routed.items[1], (OutputMenuItem{airPods, "AirPods", true, true, ""}));
    EXPECT_EQ(routed.items[2],
              (OutputMenuItem{dac, "Studio DAC", false, false, *dac.unsupportedReason}));

    const OutputMenuState plain =
        RowView::outputMenu("Music", std::nullopt, std::nullopt, {airPods});
    EXPECT_EQ(plain.symbol, Symbols::followsDefault);
    EXPECT_EQ(plain.items[0], (OutputMenuItem{std::nullopt, "Default Output", true}));

    // Offered only with two usable outputs, and never to a row on another device.
    const RowView::Context two{ControlGate::Ready{}, speakers, {speakers, airPods, dac}};
    EXPECT_TRUE(RowView::row(running("M"), Status::Active{}, {}, {}, two).outputMenu);
    EXPECT_FALSE(
        RowView::row(running("M"), Status::Unavailable{Reason::PlaysToOtherDevice{}}, {}, {}, two)
            .outputMenu);
    const RowView::Context oneUsable{ControlGate::Ready{}, speakers, {speakers, dac}};
    EXPECT_FALSE(RowView::row(running("M"), Status::Active{}, {}, {}, oneUsable).outputMenu);
}

TEST(PanelViewTest, OtherAppsMixIdleAndRememberedInNameOrder) {
    Preferences p;
    p.set(AppPreference(0.5, false, "zither"), "z");
    p.set(AppPreference(0.5, false, "Beta"), "playing-but-named-beta");
    p.set(AppPreference(0.5, false, "alpha"), "a");
    const std::vector groups{group("m", true, "Music"), group("e", false, "Éclair"),
                             group("playing-but-named-beta", true, "Radio"),
                             group("c", false, "Chess")};
    const auto d = PanelView::descriptors(groups, p);
    std::vector<std::string> playing, others;
    for (const auto& x : d.playing) playing.push_back(x.name);
    for (const auto& x : d.others) others.push_back(x.name);
    EXPECT_EQ(playing, (std::vector<std::string>{"Music", "Radio"}));
    // Lower case before a later capital; the accent sorts with its letter.
    EXPECT_EQ(others, (std::vector<std::string>{"alpha", "Chess", "Éclair", "zither"}));
    const auto& remembered = d.others.front();
    EXPECT_EQ(remembered, (AppGroupDescriptor{"a", "alpha", std::nullopt, false, false, false}));
    EXPECT_EQ(d.others[1].appPath, "/Applications/Chess.app");
    EXPECT_TRUE(d.others[1].isRunning);
}

TEST(PanelViewTest, SectionsHeaderAndBanners) {
    PanelInput input;
    input.groups = {group("c", false, "Chess")};
    input.gate = ControlGate::Ready{};
    PanelState s = PanelView::panel(input);
    ASSERT_EQ(s.sections.size(), 2u);
    EXPECT_EQ(s.sections[0].title, "Playing now");
    EXPECT_EQ(s.sections[0].emptyText, "No app is playing sound.");
    EXPECT_TRUE(s.sections[0].rows.empty());
    EXPECT_EQ(s.sections[1].title, "Other apps");
    EXPECT_EQ(s.header.defaultOutputLine, "Default Output: none");
    EXPECT_TRUE(s.banners.empty());

    input.preferences.showIdleApps = false;
    EXPECT_EQ(PanelView::panel(input).sections.size(), 1u);

    // Paused: the switch stays usable, the banner offers to resume.
    input.gate = ControlGate::Paused{};
    input.output = speakers;
    s = PanelView::panel(input);
    EXPECT_EQ(s.header, (HeaderState{"Default Output: Speakers", false, true}));
    ASSERT_EQ(s.banners.size(), 1u);
    EXPECT_EQ(std::tuple(s.banners[0].symbol, s.banners[0].action, s.banners[0].actionTitle),
              std::tuple(std::string(Symbols::paused), BannerState::Action::resume,
                         std::string("Resume")));
    EXPECT_EQ(s.banners[0].title, ControlGate(ControlGate::Paused{}).title());

    // Locked: nothing is usable, and setup cannot be opened yet, which it says.
    input.gate = ControlGate::PermissionDenied{};
    s = PanelView::panel(input);
    EXPECT_FALSE(s.header.pausedEnabled);
    EXPECT_EQ(std::tuple(s.banners[0].symbol, s.banners[0].symbolRole, s.banners[0].actionEnabled,
                         s.banners[0].actionTooltip),
              std::tuple(std::string(Symbols::locked), Tone::warning, false,
                         std::string(PanelView::setupUnavailable)));
    EXPECT_EQ(s.banners[0].detail, ControlGate(ControlGate::PermissionDenied{}).detail());
    // Where the platform has its own words for a pane that does not exist.
    input.permissionDeniedDetail = "Linux words.";
    EXPECT_EQ(PanelView::panel(input).banners[0].detail, "Linux words.");
    input.gate = ControlGate::Paused{};
    EXPECT_NE(PanelView::panel(input).banners[0].detail, "Linux words.");

    // Silence from every controlled engine: a second banner with Pause.
    input.gate = ControlGate::Ready{};
    input.groups = {group("m", true, "Music")};
    input.statuses = {{"m", Status::Active{}}};
    input.silenceNotice = MixerModel::SilenceNotice{{"m"}, "Only silence."};
    s = PanelView::panel(input);
    ASSERT_EQ(s.banners.size(), 1u);
    EXPECT_EQ(std::tuple(s.banners[0].detail, s.banners[0].action),
              std::tuple(std::string("Only silence."), BannerState::Action::pause));
    EXPECT_EQ(s.sections[0].rows[0].caption->text, silentRowCaption);
}

}  // namespace
}  // namespace sonvel
