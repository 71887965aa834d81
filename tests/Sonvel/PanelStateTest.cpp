// The panel's rules and the tray icon's, as pure functions of the model's
// state, without a display.

#include <gtest/gtest.h>

#include <tuple>

#include "Sonvel/views/PanelState.hpp"
#include "Sonvel/views/StatusIcon.hpp"
#include "Sonvel/views/Symbols.hpp"

namespace sonvel {
namespace {

using Status = GroupStatus;
using Reason = UnavailableReason;

const OutputContext speakers{1, "spk", "Speakers"};
const OutputContext airPods{2, "pods", "AirPods"};
const OutputContext dac{3, "dac", "Studio DAC", "Another app has exclusive access to Studio DAC."};

const RowView::Context ready{ControlGate::Ready{}, speakers, {speakers}};

const auto running = [](std::string n) { return AppGroupDescriptor{n, n, {}, false, true, true}; };

AppGroup group(const std::string& key, bool playing, const std::string& name) {
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
    using Case = std::tuple<const char*, std::optional<Status>, std::optional<AppPreference>,
                            std::optional<Caption>>;
    const Case cases[] = {
        {"no status", std::nullopt, plain, std::nullopt},
        {"untouched", Status::Untouched{}, plain, std::nullopt},
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
    // A routed row's caption is read on the panel.
    for (const auto& [name, status, preference, expected] : cases)
        EXPECT_EQ(RowView::caption(running("Music"), status, preference, {speakers, airPods}),
                  expected)
            << name;
    // Not running comes first, whatever the status, and is never a warning.
    AppGroupDescriptor remembered{"a", "A", {}, false, false, false};
    EXPECT_EQ(RowView::caption(remembered, Status::Failed{"x", false}, plain, {}),
              (Caption{"Not running. Your level kicks in once it plays.", secondary}));
    // The model hears only silence from a row that otherwise looks fine.
    EXPECT_EQ(RowView::caption(running("Music"), Status::Active{}, routed, {airPods}, true),
              (Caption{silentRowCaption, warning}));
}

// The dot lights strictly above the floor, and only for active rows.
TEST(RowViewTest, DotMuteLevelEnabledRetryAndOutputMenuStates) {
    EXPECT_EQ(RowView::levelDot(0.0001f), (LevelDotState{false, "Silent"}));
    EXPECT_EQ(RowView::levelDot(0.000101f), (LevelDotState{true, "Playing through Sonvel"}));
    EXPECT_TRUE(RowView::row(running("M"), Status::Active{}, {}, 0.5f, ready).dot);
    EXPECT_FALSE(RowView::row(running("M"), Status::Idle{}, {}, 0.5f, ready).dot);
    EXPECT_FALSE(RowView::row(running("M"), Status::Active{}, {}, std::nullopt, ready).dot);

    const RowState muted = RowView::row(running("Music"), Status::Active{},
                                        AppPreference(0.3, true, "Music"), std::nullopt, ready);
    // The controls' accessible names are read on the panel itself.
    EXPECT_EQ(std::tuple(muted.muteSymbol, muted.levelText, muted.position),
              std::tuple(Symbols::muted, "Muted", 0.3));

    const RowState fresh = RowView::row(running("Music"), Status::Untouched{}, {}, {}, ready);
    EXPECT_EQ(std::tuple(fresh.position, fresh.levelText, fresh.controlsEnabled, fresh.levelRole),
              std::tuple(1.0, "100%", true, Tone::primary));

    const RowView::Context locked{ControlGate::NeedsPermission{}, speakers, {speakers, airPods}};
    const RowState off = RowView::row(running("Music"), Status::Untouched{}, {}, {}, locked);
    // Routing, too, needs an open gate.
    EXPECT_EQ(std::tuple(off.controlsEnabled, off.levelRole, off.outputMenu.has_value()),
              std::tuple(false, Tone::secondary, false));

    // Retry only for a failure that stopped retrying by itself.
    EXPECT_TRUE(RowView::row(running("M"), Status::Failed{"x", false}, {}, {}, ready).showsRetry);
    EXPECT_FALSE(RowView::row(running("M"), Status::Failed{"x", true}, {}, {}, ready).showsRetry);

    // The output menu's items.
    const OutputMenuState routed = RowView::outputMenu("Music", "pods", "Speakers", {airPods, dac});
    EXPECT_EQ(routed.symbol, Symbols::routed);
    EXPECT_EQ(routed.items, (std::vector<OutputMenuItem>{
                                {std::nullopt, "Default Output (Speakers)", false},
                                {airPods, "AirPods", true, true, ""},
                                {dac, "Studio DAC", false, false, *dac.unsupportedReason}}));

    const OutputMenuState plain = RowView::outputMenu("Music", {}, {}, {airPods});
    EXPECT_EQ(plain.symbol, Symbols::followsDefault);
    EXPECT_EQ(plain.items[0], (OutputMenuItem{std::nullopt, "Default Output", true}));

    // Offered only with two usable outputs (the panel's test routes with two), and
    // never to a row on another device.
    const RowView::Context two{ControlGate::Ready{}, speakers, {speakers, airPods, dac}};
    const Status elsewhere = Status::Unavailable{Reason::PlaysToOtherDevice{}};
    EXPECT_FALSE(RowView::row(running("M"), elsewhere, {}, {}, two).outputMenu);
    const RowView::Context oneUsable{ControlGate::Ready{}, speakers, {speakers, dac}};
    EXPECT_FALSE(RowView::row(running("M"), Status::Active{}, {}, {}, oneUsable).outputMenu);
}

// Other apps mix idle and remembered ones, in name order.
TEST(PanelViewTest, RowsSectionsHeaderAndBanners) {
    Preferences p;
    p.set(AppPreference(0.5, false, "zither"), "z");
    p.set(AppPreference(0.5, false, "Beta"), "playing-but-named-beta");
    p.set(AppPreference(0.5, false, "alpha"), "a");
    const std::vector groups{group("m", true, "Music"), group("e", false, "Éclair"),
                             group("playing-but-named-beta", true, "Radio"),
                             group("c", false, "Chess")};
    const auto d = PanelView::descriptors(groups, p);
    using D = std::vector<AppGroupDescriptor>;
    EXPECT_EQ(
        d.playing,
        (D{{"m", "Music", "/Applications/Music.app", false, true, true},
           {"playing-but-named-beta", "Radio", "/Applications/Radio.app", false, true, true}}));
    // Lower case before a later capital; the accent sorts with its letter.
    EXPECT_EQ(d.others, (D{{"a", "alpha", std::nullopt, false, false, false},
                           {"c", "Chess", "/Applications/Chess.app", false, true, false},
                           {"e", "Éclair", "/Applications/Éclair.app", false, true, false},
                           {"z", "zither", std::nullopt, false, false, false}}));

    // Sections, header and banners.
    PanelInput input;
    input.groups = {group("c", false, "Chess")};
    input.gate = ControlGate::Ready{};
    PanelState s = PanelView::panel(input);
    ASSERT_EQ(s.sections.size(), 2u);
    EXPECT_EQ(s.sections[0], (SectionState{"Playing now", "No app is playing sound.", {}}));
    EXPECT_EQ(std::tuple(s.sections[1].title, s.header.defaultOutputLine, s.banners.empty()),
              std::tuple("Other apps", "Default Output: none", true));

    input.preferences.showIdleApps = false;
    EXPECT_EQ(PanelView::panel(input).sections.size(), 1u);

    // Paused: the switch stays usable, the banner offers to resume.
    const ControlGate paused = ControlGate::Paused{}, denied = ControlGate::PermissionDenied{};
    input.gate = paused;
    input.output = speakers;
    s = PanelView::panel(input);
    EXPECT_EQ(s.header, (HeaderState{"Default Output: Speakers", false, true}));
    using Banners = std::vector<BannerState>;
    EXPECT_EQ(s.banners, (Banners{{std::string(Symbols::paused), Tone::secondary, paused.title(),
                                   paused.detail(), BannerState::Action::resume, "Resume"}}));

    // Locked: nothing is usable, and setup cannot be opened yet, which it says.
    input.gate = denied;
    EXPECT_EQ(PanelView::panel(input).banners,
              (Banners{{std::string(Symbols::locked), Tone::warning, denied.title(),
                        denied.detail(), BannerState::Action::openSetup, "Open Setup…", false,
                        std::string(PanelView::setupUnavailable)}}));
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
    EXPECT_EQ(s.banners[0].detail, "Only silence.");  // its Pause is pressed on the panel
    EXPECT_EQ(s.sections[0].rows[0].caption->text, silentRowCaption);
}

// The tray's tooltip over the model's state, and the ink chosen against a
// tray's background.
TEST(StatusIconTest, TooltipCountsTheApplicationsSonvelHoldsBelowFullLevel) {
    Preferences lowered;
    lowered.set(AppPreference(0.5, false, "Music"), "music");  // playing, held
    lowered.set(AppPreference(1.0, true, "Slack"), "slack");   // muted, silent for now
    // Routed only.
    lowered.set(AppPreference(1.0, false, "Safari", "airpods", "AirPods"), "safari");
    lowered.set(AppPreference(0.3, false, "Zoom"), "zoom");      // its engine failed
    lowered.set(AppPreference(0.2, false, "Chrome"), "chrome");  // plays to another device
    lowered.set(AppPreference(0.1, false, "Mail"), "mail");      // not running
    std::vector<AppGroup> groups;
    for (const char* key : {"music", "slack", "safari", "zoom", "chrome"})
        groups.push_back(AppGroup{.key = key});
    const std::map<std::string, GroupStatus> statuses{
        {"music", Status::Active{}},
        {"slack", Status::Idle{}},
        {"safari", Status::Active{}},
        {"zoom", Status::Failed{"no tap", true}},
        {"chrome", Status::Unavailable{Reason::PlaysToOtherDevice{}}}};
    Preferences paused = lowered;
    paused.isPaused = true;
    Preferences one;
    one.set(AppPreference(0.99, false, "Music"), "music");

    const auto tooltip = [&](const Preferences& p, ControlGate gate = ControlGate::Ready{}) {
        return StatusIcon::tooltip(StatusIcon::variant(p, gate),
                                   StatusIcon::turnedDown(p, groups, statuses));
    };
    EXPECT_EQ(tooltip({}), "Sonvel");
    EXPECT_EQ(tooltip(lowered), "Sonvel — 2 applications turned down");
    EXPECT_EQ(tooltip(one), "Sonvel — 1 application turned down");
    EXPECT_EQ(tooltip(paused), "Sonvel — Paused");
    EXPECT_EQ(tooltip(lowered, ControlGate::NeedsPermission{}), "Sonvel — Setup needed");
    // What assistive technology reads, whatever is turned down: paused over a
    // closed gate (its tooltip too), locked, and their tooltips are ShellTest's,
    // on the tray.
    EXPECT_EQ(StatusIcon::accessibleDescription(StatusIcon::Variant::active), "Sonvel");
}

TEST(StatusIconTest, InkIsWhicheverOfBlackAndWhiteContrastsMore) {
    // Greys and the dark panel are measured on the drawn icon (IconsTest); these
    // are told apart only by weighing the channels as the eye does.
    // A saturated blue reads dark.
    EXPECT_EQ(StatusIcon::inkAgainst(0x3d, 0x5a, 0xfe), StatusIcon::Ink::white);
    EXPECT_EQ(StatusIcon::inkAgainst(0xff, 0xff, 0x00), StatusIcon::Ink::black);
    EXPECT_NEAR(StatusIcon::contrastRatio(StatusIcon::relativeLuminance(0, 0, 0),
                                          StatusIcon::relativeLuminance(255, 255, 255)),
                21.0, 1e-9);
}

}  // namespace
}  // namespace sonvel
