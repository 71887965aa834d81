#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "MixerEngine/ProcessInspector.hpp"
#include "platform/linux/LinuxSystemServices.hpp"
#include "platform/sim/SimulatedAudioSystem.hpp"
#include "platform/sim/SimulatedSystemServices.hpp"
#include "platform/sim/SimulatedWorld.hpp"

namespace sonvel {
namespace {

using sim::SimulatedAudioSystem;
using Call = SimulatedAudioSystem::Call;
using namespace nlohmann::literals;

class ProcessInspectorTest : public ::testing::Test {
  protected:
    void load(const nlohmann::json& description) {
        auto loaded = sim::SimulatedWorld::load(*hal, description);
        ASSERT_TRUE(loaded) << loaded.error();
        world.emplace(std::move(*loaded));
        services.emplace(*world);
    }
    const ProcessRecord* record(const AudioWorld& w, ProcessID pid) {
        const auto r = std::ranges::find(w.records, pid, &ProcessRecord::pid);
        return r == w.records.end() ? nullptr : &*r;
    }
    // Every size read of `selector` fails from now on.
    void refuseSize(AudioObjectPropertySelector selector) {
        hal->inject({.call = Call::getPropertyDataSize, .selector = selector, .persistent = true});
    }

    std::shared_ptr<SimulatedAudioSystem> hal = std::make_shared<SimulatedAudioSystem>();
    std::optional<sim::SimulatedWorld> world;
    std::optional<sim::SimulatedSystemServices> services;
};

TEST_F(ProcessInspectorTest, DefaultWorldResolvesOwnersSkipsItselfAndSurvivesARefusedProcessList) {
    load(*sim::SimulatedWorld::readFile(sim::SimulatedWorld::defaultWorldPath()));
    const AudioWorld w = ProcessInspector::snapshot(*hal, *services);
    EXPECT_EQ(w.ownProcessObjectID, hal->processObject(4242));
    EXPECT_TRUE(w.otherProcessesRunningOutput);
    // The helper inside Slack's bundle belongs to Slack, found through its path.
    const ProcessRecord* helper = record(w, 721);
    ASSERT_NE(helper, nullptr);
    EXPECT_EQ(std::tuple(helper->appBundleID, helper->appPath, helper->isUserApp),
              std::tuple("com.tinyspeck.slackmacgap", "/Applications/Slack.app", true));
    // The daemon is nobody's user application.
    EXPECT_FALSE(record(w, 90)->isUserApp);

    EXPECT_EQ(w.output.value().uid, "BuiltInSpeakerDevice");
    std::vector<std::string> names;
    for (const OutputContext& o : w.outputs) names.push_back(o.name);
    EXPECT_EQ(names, (std::vector<std::string>{"MacBook Pro Speakers", "AirPods Pro", "Écouteurs",
                                               "Studio DAC"}));
    EXPECT_EQ(w.outputs.back().unsupportedReason,
              "Another app has exclusive access to Studio DAC.");

    // A refused process list still fills the outputs.
    refuseSize(hal::selector::processObjectList);
    EXPECT_EQ(ProcessInspector::snapshot(*hal, *services),
              (AudioWorld{{}, w.output, w.outputs, {}, false, {"the process list"}}));
}

TEST_F(ProcessInspectorTest, OneBundleCostsOneLookupAndOurOwnProcessIsLeftOut) {
    // pid 1 is ourselves, playing.
    load(R"({"ownPID": 1, "devices": [{"uid": "spk"}],
        "bundles": [{"path": "/Applications/My.application.app", "bundleID": "com.my",
                     "name": "My.application.app"}],
        "applications": [{"pid": 50, "bundlePath": "/Applications/My.application.app"}],
        "processes": [
          {"pid": 1, "playing": true},
          {"pid": 50, "bundleID": "com.my"},
          {"pid": 51, "bundleID": "com.my.helper.a",
           "executable": "/Applications/My.application.app/Contents/Helpers/A.app/Contents/MacOS/A"},
          {"pid": 52, "bundleID": "com.my.helper.b",
           "executable": "/Applications/My.application.app/Contents/Helpers/B.app/Contents/MacOS/B"},
          {"pid": 0, "bundleID": "com.my.helper.c"}]})"_json);
    const std::size_t before = services->bundleLookups();
    const AudioWorld w = ProcessInspector::snapshot(*hal, *services);
    // One for the regular application, its own process and both helpers.
    EXPECT_EQ(services->bundleLookups() - before, 1u);
    EXPECT_TRUE(record(w, 50)->isUserApp);
    // Our own playing process is not listed and does not count as another playing.
    EXPECT_EQ(record(w, 1), nullptr);
    EXPECT_FALSE(w.otherProcessesRunningOutput);
    EXPECT_EQ(record(w, 51)->appName, "Mylication");
    EXPECT_EQ(record(w, 52)->appBundleID, "com.my");
    // A pid of 0 has no registry facts or path, but its bundle ID still finds the owner.
    ASSERT_NE(record(w, 0), nullptr);
    EXPECT_EQ(std::tuple(record(w, 0)->appBundleID, record(w, 0)->appPath),
              std::tuple("com.my", std::nullopt));
}

TEST_F(ProcessInspectorTest, DefaultOutputReasons) {
    load(R"({"ownPID": 5,
             "devices": [{"uid": "dac", "name": "DAC", "output": [], "hogModeOwner": 9}]})"_json);
    hal->setDefaultOutput(hal->deviceID("dac"));
    const auto context = [&] { return ProcessInspector::outputContext(*hal, 5).value(); };
    EXPECT_EQ(context().unsupportedReason, "Another app has exclusive access to this device.");
    hal->setHogModeOwner(hal->deviceID("dac"), 5);
    EXPECT_EQ(context().unsupportedReason, "This device has no output channels.");
    refuseSize(hal::selector::name);
    EXPECT_EQ(context().name, "Output");
}

// The build and the paths as the system gives them, in a world that says so.
TEST_F(ProcessInspectorTest, BuildAndPathsAreRepairedOrUnknown) {
    const std::pair<nlohmann::json, std::string> builds[] = {
        {nlohmann::json::object(), "unknown"},
        {{{"osBuild", ""}}, "unknown"},
        {{{"osBuild", std::string("24A335\0junk", 11)}}, "24A335"},
        {{{"osBuild", "6.1\xFF"}}, "6.1\xEF\xBF\xBD"},
    };
    for (const auto& [description, build] : builds) {
        load(description);
        EXPECT_EQ(SystemInfo::osBuild(*services), build);
    }

    load({{"processes",
           {{{"pid", 10}, {"executable", "/bin/\xC3"}},
            {{"pid", 11}, {"executable", ""}},
            {{"pid", 0}, {"executable", "/bin/zero"}}}}});
    EXPECT_EQ(ProcessInspector::executablePath(*services, 10), "/bin/\xEF\xBF\xBD");
    EXPECT_EQ(ProcessInspector::executablePath(*services, 11), std::nullopt);
    EXPECT_EQ(ProcessInspector::executablePath(*services, 0), std::nullopt);

    const LinuxSystemServices linux;
    EXPECT_NE(SystemInfo::osBuild(linux), "unknown");
    EXPECT_TRUE(
        ProcessInspector::executablePath(linux, linux.ownPID())->ends_with("MixerEngine_tests"));
}

}  // namespace
}  // namespace sonvel
