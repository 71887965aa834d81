#include <gtest/gtest.h>

#include <map>
#include <set>

#include "core/AppCatalog.hpp"
#include "core/OutputCatalog.hpp"

namespace sonvel {
namespace {

ProcessRecord process(AudioObjectID objectID, ProcessID pid, std::optional<std::string> bundleID,
                      std::optional<std::string> appBundleID, std::optional<std::string> appName,
                      bool isUserApp = true, bool playing = true,
                      std::vector<AudioObjectID> devices = {}) {
    ProcessRecord r;
    r.objectID = objectID;
    r.pid = pid;
    r.bundleID = std::move(bundleID);
    r.appBundleID = std::move(appBundleID);
    r.appName = std::move(appName);
    r.isUserApp = isUserApp;
    r.isRunningOutput = playing;
    r.outputDeviceIDs = std::move(devices);
    return r;
}

std::vector<std::string> names(const std::vector<AppGroup>& groups) {
    std::vector<std::string> out;
    for (const AppGroup& g : groups) out.push_back(g.displayName);
    return out;
}

TEST(AppCatalogTest, OutermostAppPath) {
    using AppCatalog::outermostAppPath;
    EXPECT_EQ(outermostAppPath("/Applications/Outer.app/Contents/Frameworks/Inner.app/Contents/"
                               "MacOS/Inner"),
              "/Applications/Outer.app");
    EXPECT_EQ(outermostAppPath("/Applications/Tool.app"), "/Applications/Tool.app");
    EXPECT_EQ(outermostAppPath("/usr/libexec/daemon"), std::nullopt);
    EXPECT_EQ(outermostAppPath("/Applications/Thing.APP/x"), std::nullopt);
    EXPECT_EQ(outermostAppPath("/opt/x.application/bin"), std::nullopt);
}

TEST(AppCatalogTest, HelperParentKey) {
    using AppCatalog::helperParentKey;
    EXPECT_EQ(helperParentKey("com.example.Browser.helper.Renderer"), "com.example.Browser");
    EXPECT_EQ(helperParentKey("com.example.HelperTool"), "com.example");
    EXPECT_EQ(helperParentKey("helper.tool"), "helper.tool");
    EXPECT_EQ(helperParentKey("com..example.helper"), "com.example");
    EXPECT_EQ(helperParentKey("com.example.app"), "com.example.app");
    EXPECT_EQ(helperParentKey(""), "");
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

    ProcessFacts nested;
    nested.objectID = 11;
    nested.pid = 100;
    nested.bundleID = "com.example.Player.XPC";
    nested.isRunningOutput = true;
    nested.outputDeviceIDs = {3};
    nested.executablePath = "/Applications/Player.app/Contents/XPCServices/X.app/Contents/MacOS/X";
    nested.launchServicesName = "ignored when the bundle is known";
    const ProcessRecord owned = ProcessOwnerResolver::record(nested, bundles, isRegular);
    EXPECT_EQ(looked, std::vector<std::string>{"/Applications/Player.app"});
    EXPECT_EQ(owned.appBundleID, "com.example.Player");
    EXPECT_EQ(owned.appName, "Player");
    EXPECT_EQ(owned.appPath, "/Applications/Player.app");
    EXPECT_FALSE(owned.isUserApp);  // Player itself is not running as a regular app
    EXPECT_EQ(owned.bundleID, "com.example.Player.XPC");
    EXPECT_EQ(owned.outputDeviceIDs, std::vector<AudioObjectID>{3});

    ProcessFacts helper;
    helper.bundleID = "com.example.Browser.helper.GPU";
    helper.executablePath = "/usr/lib/browser/gpu";
    helper.launchServicesName = "Browser Helper";
    const ProcessRecord attributed = ProcessOwnerResolver::record(helper, bundles, isRegular);
    EXPECT_EQ(attributed.appBundleID, "com.example.Browser");
    EXPECT_TRUE(attributed.isUserApp);
    EXPECT_EQ(attributed.appName, "Browser Helper");
    EXPECT_FALSE(attributed.appPath);

    // Once the parent no longer runs as a regular application, the helper is nobody's.
    regular.clear();
    const ProcessRecord orphan = ProcessOwnerResolver::record(helper, bundles, isRegular);
    EXPECT_FALSE(orphan.appBundleID);
    EXPECT_FALSE(orphan.isUserApp);
    EXPECT_TRUE(AppCatalog::groups({orphan}, 1).empty());

    helper.launchServicesIsRegular = true;
    EXPECT_TRUE(ProcessOwnerResolver::record(helper, bundles, isRegular).isUserApp);
}

TEST(AppCatalogTest, GroupsHelpersWebContentAndSkipsTheRest) {
    const std::vector<ProcessRecord> records{
        process(30, 300, "com.example.Player.helper", "com.example.Player", "Player Helper", true,
                false, {3}),
        process(10, 100, "com.example.Player", "com.example.Player", "Player", true, true, {5}),
        process(40, 400, "com.apple.WebKit.GPU", std::nullopt, std::nullopt, false, false),
        process(41, 401, "com.apple.WebKit.WebContent", std::nullopt, std::nullopt, false, true),
        process(50, 500, "com.apple.WebKit", std::nullopt, std::nullopt, false,
                true),                                                // not web content
        process(60, 600, "", "x", "x"),                               // empty bundle ID
        process(61, 601, std::nullopt, "y", "y"),                     // no bundle ID
        process(70, 4242, "com.example.Me", "com.example.Me", "Me"),  // ourselves
        process(80, 800, "com.example.daemon", std::nullopt, std::nullopt, false, true),
        process(90, 300, "com.example.Tool.Helper", std::nullopt, std::nullopt, true, false),
    };
    const std::vector<AppGroup> groups = AppCatalog::groups(records, 4242);
    std::map<std::string, AppGroup> byKey;
    for (const AppGroup& g : groups) byKey[g.key] = g;
    ASSERT_EQ(byKey.size(), 3u);

    const AppGroup& player = byKey.at("com.example.Player");
    EXPECT_EQ(player.displayName, "Player");  // main process names it though a helper came first
    EXPECT_EQ(player.processObjectIDs, (std::vector<AudioObjectID>{10, 30}));
    EXPECT_EQ(player.pids, (std::vector<ProcessID>{100, 300}));
    EXPECT_TRUE(player.isRunningOutput);
    EXPECT_EQ(player.outputDeviceIDs, (std::set<AudioObjectID>{3, 5}));
    EXPECT_FALSE(player.isShared);

    const AppGroup& web = byKey.at("com.apple.WebKit");
    EXPECT_EQ(web.displayName, "Safari & other web views");
    EXPECT_TRUE(web.isShared);
    EXPECT_FALSE(web.appPath);
    EXPECT_EQ(web.processObjectIDs, (std::vector<AudioObjectID>{40, 41}));

    // A user process without an owning bundle is keyed by its helper parent.
    const AppGroup& tool = byKey.at("com.example.Tool");
    EXPECT_EQ(tool.displayName, "com.example.Tool");
    EXPECT_EQ(tool.pids, std::vector<ProcessID>{300});
}

TEST(AppCatalogTest, PidsAndObjectsAscendAndRepeatedPidsStay) {
    const std::vector<AppGroup> groups =
        AppCatalog::groups({process(9, 50, "a.b", "a.b", "A"), process(2, 70, "a.b.x", "a.b", "A"),
                            process(5, 50, "a.b.y", "a.b", "A")},
                           1);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].processObjectIDs, (std::vector<AudioObjectID>{2, 5, 9}));
    EXPECT_EQ(groups[0].pids, (std::vector<ProcessID>{50, 50, 70}));
}

TEST(AppCatalogTest, DisplayOrderPlayingFirstThenNamesWithoutRegardToCase) {
    auto app = [](AudioObjectID id, const std::string& name, bool playing) {
        return process(id, ProcessID(id), "id." + std::to_string(id), "id." + std::to_string(id),
                       name, true, playing);
    };
    EXPECT_EQ(names(AppCatalog::groups({app(1, "Alpha", false), app(2, "beta", true)}, 0)),
              (std::vector<std::string>{"beta", "Alpha"}));
    EXPECT_EQ(names(AppCatalog::groups({app(1, "Beta", false), app(2, "alpha", false)}, 0)),
              (std::vector<std::string>{"alpha", "Beta"}));
    // Equal lower-cased names keep their order of first appearance.
    const std::vector<AppGroup> same = AppCatalog::groups(
        {app(7, "Music", false), app(3, "music", false), app(5, "MUSIC", false)}, 0);
    EXPECT_EQ(same[0].key, "id.7");
    EXPECT_EQ(same[1].key, "id.3");
    EXPECT_EQ(same[2].key, "id.5");
}

// Both lists a person reads by name, the panel's applications and the output
// menu, put accented names among their base letters rather than after "z".
TEST(NameOrderTest, PanelAndOutputMenuSortAccentsAmongTheirBaseLetters) {
    const std::vector<std::string> expected{"Drum", "eclair", "Éclair", "Fable", "Ölmühle", "zoom"};
    const std::vector<std::string> shuffled{"zoom", "Éclair", "Fable", "eclair", "Ölmühle", "Drum"};
    std::vector<ProcessRecord> records;
    std::vector<DeviceFacts> devices;
    for (std::size_t i = 0; i < shuffled.size(); ++i) {
        const auto id = static_cast<AudioObjectID>(i + 1);
        const std::string key = "id." + std::to_string(id);
        records.push_back(process(id, ProcessID(id), key, key, shuffled[i], true, false));
        devices.push_back({id, key, shuffled[i], 2, false, std::nullopt});
    }
    EXPECT_EQ(names(AppCatalog::groups(records, 0)), expected);
    std::vector<std::string> menu;
    for (const OutputContext& o : OutputCatalog::selectable(devices, std::nullopt, 0)) {
        menu.push_back(o.name);
    }
    EXPECT_EQ(menu, expected);
}

}  // namespace
}  // namespace sonvel
