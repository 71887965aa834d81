#include <gtest/gtest.h>

#include "core/OutputCatalog.hpp"
#include "core/Routing.hpp"

namespace sonvel {
namespace {

DeviceFacts device(AudioObjectID id, std::string uid, std::string name, long channels = 2,
                   bool hidden = false, std::optional<ProcessID> hog = std::nullopt) {
    return {id, std::move(uid), std::move(name), channels, hidden, hog};
}

std::vector<std::string> names(const std::vector<OutputContext>& outputs) {
    std::vector<std::string> out;
    for (const OutputContext& o : outputs) out.push_back(o.name);
    return out;
}

TEST(OutputCatalogTest, OffersOnlyVisibleOutputDevicesThatAreNotOurOwn) {
    EXPECT_TRUE(OutputCatalog::isOwnDevice("app.velmorra.sonvel.engine.1234"));
    EXPECT_TRUE(OutputCatalog::isOwnDevice("app.velmorra.quillaster.x"));
    EXPECT_FALSE(OutputCatalog::isOwnDevice("APP.velmorra.sonvel.x"));
    EXPECT_FALSE(OutputCatalog::isOwnDevice("x.app.velmorra.sonvel.y"));
    EXPECT_FALSE(OutputCatalog::isOwnDevice("app.velmorra.sonvel"));

    const auto outputs = OutputCatalog::selectable(
        {device(1, "hidden", "Hidden", 2, true), device(2, "mic", "Microphone", 0),
         device(3, "app.velmorra.sonvel.engine.X", "Sonvel Engine"),
         device(4, "app.velmorra.quillaster.probe", "Old Probe"),
         device(5, "x.app.velmorra.sonvel.y", "Not Ours"), device(6, "spk", "Speakers")},
        std::nullopt, 77);
    EXPECT_EQ(names(outputs), (std::vector<std::string>{"Not Ours", "Speakers"}));
    EXPECT_EQ(outputs[1], (OutputContext{6, "spk", "Speakers", std::nullopt}));
}

TEST(OutputCatalogTest, ExclusiveAccessByAnotherProcessMakesADeviceUnsupported) {
    const auto outputs = OutputCatalog::selectable(
        {device(1, "a", "DAC", 2, false, 500), device(2, "b", "Mine", 2, false, 77)}, std::nullopt,
        77);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0].unsupportedReason, "Another app has exclusive access to DAC.");
    EXPECT_FALSE(outputs[1].unsupportedReason);
}

TEST(OutputCatalogTest, DefaultFirstThenNamesWithoutRegardToCase) {
    const std::vector<DeviceFacts> devices{device(1, "A", "zeta"), device(2, "B", "Beta"),
                                           device(3, "C", "alpha")};
    EXPECT_EQ(names(OutputCatalog::selectable(devices, "B", 0)),
              (std::vector<std::string>{"Beta", "alpha", "zeta"}));
    EXPECT_EQ(names(OutputCatalog::selectable(devices, std::nullopt, 0)),
              (std::vector<std::string>{"alpha", "Beta", "zeta"}));
}

class RoutingTest : public ::testing::Test {
  protected:
    OutputContext speakers{1, "spk", "Speakers", std::nullopt};
    OutputContext dac{2, "dac", "DAC", std::nullopt};
    OutputContext held{3, "held", "Held", "Another app has exclusive access to Held."};
};

TEST_F(RoutingTest, ResolvesOrFallsBackWithTheExactSentence) {
    const std::vector<OutputContext> outputs{speakers, dac, held};
    EXPECT_EQ(Routing::resolve(AppPreference(0.5, false, "A"), speakers, outputs),
              (Routing::Resolution{speakers, std::nullopt}));
    EXPECT_EQ(Routing::resolve(AppPreference(0.5, false, "A", "dac", "DAC"), speakers, outputs),
              (Routing::Resolution{dac, std::nullopt}));
    EXPECT_EQ(Routing::resolve(AppPreference(0.5, false, "A", "held", "Held"), speakers, outputs),
              (Routing::Resolution{
                  speakers, "Another app has exclusive access to Held. Using Default Output."}));
    EXPECT_EQ(Routing::resolve(AppPreference(0.5, false, "A", "usb", "USB DAC"), speakers, outputs),
              (Routing::Resolution{speakers, "USB DAC is not connected — using Default Output."}));
    EXPECT_EQ(Routing::resolve(AppPreference(0.5, false, "A", "usb"), speakers, outputs),
              (Routing::Resolution{speakers,
                                   "The chosen output is not connected — using Default Output."}));

    // The default output is honoured as chosen, whatever its own state.
    OutputContext heldDefault = held;
    EXPECT_EQ(
        Routing::resolve(AppPreference(0.5, false, "A", "held", "Held"), heldDefault, outputs),
        (Routing::Resolution{heldDefault, std::nullopt}));
}

TEST_F(RoutingTest, DeviceThatLostItsOutputsCountsAsNotConnected) {
    const auto outputs = OutputCatalog::selectable(
        {device(1, "spk", "Speakers"), device(2, "dac", "DAC", 0)}, "spk", 0);
    EXPECT_EQ(Routing::resolve(AppPreference(0.5, false, "A", "dac", "DAC"), outputs[0], outputs)
                  .fallbackReason,
              "DAC is not connected — using Default Output.");
}

TEST_F(RoutingTest, CanRouteNeedsReadyGateAndTwoUsableOutputs) {
    const ControlGate ready = ControlGate::Ready{};
    EXPECT_FALSE(Routing::canRoute(ready, std::nullopt, {speakers}));
    EXPECT_FALSE(Routing::canRoute(ready, std::nullopt, {speakers, held}));
    EXPECT_TRUE(Routing::canRoute(ready, std::nullopt, {speakers, dac, held}));
    EXPECT_TRUE(Routing::canRoute(ready, GroupStatus{GroupStatus::Idle{}}, {speakers, dac}));
    EXPECT_FALSE(Routing::canRoute(
        ready, GroupStatus{GroupStatus::Unavailable{UnavailableReason::PlaysToOtherDevice{}}},
        {speakers, dac}));
    EXPECT_TRUE(Routing::canRoute(
        ready, GroupStatus{GroupStatus::Unavailable{UnavailableReason::NoOutputDevice{}}},
        {speakers, dac}));
    EXPECT_FALSE(Routing::canRoute(ControlGate::Paused{}, std::nullopt, {speakers, dac}));
}

}  // namespace
}  // namespace sonvel
