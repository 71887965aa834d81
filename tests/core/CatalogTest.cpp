#include <gtest/gtest.h>

#include <set>

#include "core/AppCatalog.hpp"
#include "core/OutputCatalog.hpp"
#include "core/Routing.hpp"

namespace sonvel {
namespace {

ProcessRecord process(AudioObjectID objectID, ProcessID pid, std::optional<std::string> bundleID,
                      std::optional<std::string> appBundleID, std::optional<std::string> appName,
                      bool isUserApp = true, bool playing = true,
                      std::vector<AudioObjectID> devices = {}) {
    return {objectID,  pid,     std::move(bundleID), std::move(appBundleID), std::move(appName), {},
            isUserApp, playing, std::move(devices)};
}

// One field of every item, in the order given.
template <class Item>
std::vector<std::string> each(const std::vector<Item>& items, std::string Item::*field) {
    std::vector<std::string> out;
    for (const Item& item : items) out.push_back(item.*field);
    return out;
}

TEST(AppCatalogTest, OutermostAppPathAndHelperParentKey) {
    const std::pair<const char*, std::optional<std::string>> paths[] = {
        {"/Applications/Outer.app/Contents/Frameworks/Inner.app/Contents/MacOS/Inner",
         "/Applications/Outer.app"},
        {"/Applications/Tool.app", "/Applications/Tool.app"},
        {"/usr/libexec/daemon", std::nullopt},
        {"/Applications/Thing.APP/x", std::nullopt}};  // case-sensitive
    for (const auto& [path, app] : paths)
        EXPECT_EQ(AppCatalog::outermostAppPath(path), app) << path;
    const std::pair<const char*, const char*> keys[] = {
        {"com.example.Browser.helper.Renderer", "com.example.Browser"},
        {"com.example.HelperTool", "com.example"},
        {"helper.tool", "helper.tool"},  // a helper first has no parent
        {"com..example.helper", "com.example"}};
    for (const auto& [id, parent] : keys) EXPECT_EQ(AppCatalog::helperParentKey(id), parent) << id;
}

TEST(AppCatalogTest, ResolverTakesOwnerFromBundleThenHelperParent) {
    std::vector<std::string> looked;
    const auto bundles = [&](const std::string& path) -> std::optional<BundleFacts> {
        looked.push_back(path);
        if (path == "/Applications/Player.app") return BundleFacts{"com.example.Player", "Player"};
        return std::nullopt;
    };
    std::set<std::string> regular{"com.example.Browser"};
    const auto isRegular = [&](const std::string& id) { return regular.contains(id); };

    ProcessFacts nested{11, 100, "com.example.Player.XPC", true, {3}};
    nested.launchServicesName = "ignored when the bundle is known";
    nested.executablePath = "/Applications/Player.app/Contents/XPCServices/X.app/Contents/MacOS/X";
    // Player itself is not running as a regular application: not a user app.
    ProcessRecord owned = process(11, 100, "com.example.Player.XPC", "com.example.Player", "Player",
                                  false, true, {3});
    owned.appPath = "/Applications/Player.app";
    EXPECT_EQ(ProcessOwnerResolver::record(nested, bundles, isRegular), owned);
    EXPECT_EQ(looked, std::vector<std::string>{"/Applications/Player.app"});

    ProcessFacts helper{0, 0, "com.example.Browser.helper.GPU"};
    helper.launchServicesName = "Browser Helper";
    helper.executablePath = "/usr/lib/browser/gpu";
    EXPECT_EQ(ProcessOwnerResolver::record(helper, bundles, isRegular),
              process(0, 0, "com.example.Browser.helper.GPU", "com.example.Browser",
                      "Browser Helper", true, false));

    // Once the parent no longer runs as a regular application, the helper is nobody's.
    regular.clear();
    // And, not a user app, it gets no group (see below).
    EXPECT_FALSE(ProcessOwnerResolver::record(helper, bundles, isRegular).appBundleID);
    helper.launchServicesIsRegular = true;
    EXPECT_TRUE(ProcessOwnerResolver::record(helper, bundles, isRegular).isUserApp);
}

TEST(AppCatalogTest, GroupsHelpersWebContentAndSkipsTheRest) {
    const std::vector<ProcessRecord> records{
        process(30, 300, "com.example.Player.helper", "com.example.Player", "Player Helper", true,
                false, {3}),
        process(10, 100, "com.example.Player", "com.example.Player", "Player", true, true, {5}),
        process(20, 100, "com.example.Player.xpc", "com.example.Player", "Player", true, false),
        process(41, 401, "com.apple.WebKit.WebContent", std::nullopt, std::nullopt, false, true),
        process(40, 400, "com.apple.WebKit.GPU", std::nullopt, std::nullopt, false, false),
        process(50, 500, "com.apple.WebKit", std::nullopt, std::nullopt, false),  // not web content
        process(60, 600, "", "x", "x"),                                           // no bundle ID
        process(61, 601, std::nullopt, "y", "y"),
        process(70, 4242, "com.example.Me", "com.example.Me", "Me"),  // ourselves
        process(80, 800, "com.example.daemon", std::nullopt, std::nullopt, false, true),
        process(90, 300, "com.example.Tool.Helper", std::nullopt, std::nullopt, true, false),
    };
    // The main process names its group though a helper came first; a user
    // process without an owner is keyed by its helper parent; pids and objects
    // ascend, repeats kept.
    const std::string webViews = "Safari & other web views";
    EXPECT_EQ(AppCatalog::groups(records, 4242),
              (std::vector<AppGroup>{
                  {"com.example.Player", "Player", {}, {10, 20, 30}, {100, 100, 300}, true, {3, 5}},
                  {"com.apple.WebKit", webViews, {}, {40, 41}, {400, 401}, true, {}, true},
                  {"com.example.Tool", "com.example.Tool", {}, {90}, {300}, false}}));
}

// Names order as a person reads them: accented letters among their base
// letters rather than after "z", and case ignored.
TEST(AppCatalogTest, DisplayOrderPlayingFirstThenNamesKeepingTies) {
    auto app = [](AudioObjectID id, const std::string& name, bool playing) {
        const std::string key = "id." + std::to_string(id);
        return process(id, ProcessID(id), key, key, name, true, playing);
    };
    const std::pair<std::vector<ProcessRecord>, std::vector<std::string>> cases[] = {
        {{app(1, "Alpha", false), app(2, "beta", true)}, {"id.2", "id.1"}},
        // Equal lower-cased names keep their order of first appearance.
        {{app(7, "Music", false), app(3, "music", false), app(5, "MUSIC", false)},
         {"id.7", "id.3", "id.5"}},
        {{app(1, "zoom", false), app(2, "Éclair", false), app(3, "Fable", false),
          app(4, "eclair", false), app(5, "Ölmühle", false), app(6, "Drum", false)},
         {"id.6", "id.4", "id.2", "id.3", "id.5", "id.1"}},
    };
    for (const auto& [records, keys] : cases)
        EXPECT_EQ(each(AppCatalog::groups(records, 0), &AppGroup::key), keys);
}

// Hidden devices, devices without outputs and this application's own devices
// (by identifier prefix, case-sensitive, at the start only) are never offered;
// one another process holds exclusively is offered, with why it cannot be used.
// The default output comes first, the rest by name as the applications are.
TEST(OutputCatalogTest, OffersVisibleOutputDevicesThatAreNotOurOwnDefaultFirst) {
    const auto outputs =
        OutputCatalog::selectable({{1, "hidden", "Hidden", 2, true},
                                   {2, "mic", "Microphone", 0},
                                   {3, "app.velmorra.sonvel.engine.X", "Sonvel Engine", 2},
                                   {4, "app.velmorra.quillaster.probe", "Old Probe", 2},
                                   {5, "x.app.velmorra.sonvel.y", "Not Ours", 2},
                                   {6, "APP.velmorra.sonvel.z", "Éclair", 2},
                                   {7, "spk", "Speakers", 2},
                                   {8, "dac", "DAC", 2, false, 500},
                                   {9, "mine", "mine", 2, false, 77}},
                                  "spk", 77);
    EXPECT_EQ(each(outputs, &OutputContext::name),
              (std::vector<std::string>{"Speakers", "DAC", "Éclair", "mine", "Not Ours"}));
    EXPECT_EQ(outputs[1].unsupportedReason, "Another app has exclusive access to DAC.");
    EXPECT_EQ(outputs[0], (OutputContext{7, "spk", "Speakers", std::nullopt}));
    EXPECT_FALSE(outputs[3].unsupportedReason);
}

const OutputContext speakers{1, "spk", "Speakers", std::nullopt};
const OutputContext dac{2, "dac", "DAC", std::nullopt};
const OutputContext held{3, "held", "Held", "Another app has exclusive access to Held."};

TEST(RoutingTest, ResolvesOrFallsBackWithTheExactSentence) {
    const std::vector<OutputContext> outputs{speakers, dac, held};
    const auto resolve = [&](std::optional<std::string> uid, std::optional<std::string> name,
                             const OutputContext& byDefault = speakers) {
        return Routing::resolve(AppPreference(0.5, false, "A", uid, name), byDefault, outputs);
    };
    using R = Routing::Resolution;
    EXPECT_EQ(resolve(std::nullopt, std::nullopt), (R{speakers, std::nullopt}));
    EXPECT_EQ(resolve("dac", "DAC"), (R{dac, std::nullopt}));
    EXPECT_EQ(resolve("held", "Held"),
              (R{speakers, "Another app has exclusive access to Held. Using Default Output."}));
    EXPECT_EQ(resolve("usb", "USB DAC"),
              (R{speakers, "USB DAC is not connected — using Default Output."}));
    EXPECT_EQ(resolve("usb", std::nullopt),
              (R{speakers, "The chosen output is not connected — using Default Output."}));
    // The default output is honoured as chosen, whatever its own state.
    EXPECT_EQ(resolve("held", "Held", held), (R{held, std::nullopt}));
}

// One usable output, a group on another device and a locked gate are heard in
// RowViewTest, through the output menu each row offers or not.
TEST(RoutingTest, CanRouteWithoutAStatusOrAnOutputAndNotWhilePaused) {
    const ControlGate ready = ControlGate::Ready{};
    const GroupStatus noOutput = GroupStatus::Unavailable{UnavailableReason::NoOutputDevice{}};
    EXPECT_TRUE(Routing::canRoute(ready, std::nullopt, {speakers, dac, held}));
    EXPECT_TRUE(Routing::canRoute(ready, noOutput, {speakers, dac}));
    EXPECT_FALSE(Routing::canRoute(ControlGate::Paused{}, std::nullopt, {speakers, dac}));
}

}  // namespace
}  // namespace sonvel
