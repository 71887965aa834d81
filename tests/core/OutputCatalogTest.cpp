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

// Hidden devices, devices without outputs and this application's own devices
// (by identifier prefix, case-sensitive, at the start only) are never offered.
TEST(OutputCatalogTest, OffersOnlyVisibleOutputDevicesThatAreNotOurOwn) {
    const auto outputs = OutputCatalog::selectable(
        {device(1, "hidden", "Hidden", 2, true), device(2, "mic", "Microphone", 0),
         device(3, "app.velmorra.sonvel.engine.X", "Sonvel Engine"),
         device(4, "app.velmorra.quillaster.probe", "Old Probe"),
         device(5, "x.app.velmorra.sonvel.y", "Not Ours"),
         device(6, "APP.velmorra.sonvel.z", "Nor"), device(7, "spk", "Speakers")},
        std::nullopt, 77);
    EXPECT_EQ(names(outputs), (std::vector<std::string>{"Nor", "Not Ours", "Speakers"}));
    EXPECT_EQ(outputs[2], (OutputContext{7, "spk", "Speakers", std::nullopt}));
}

TEST(OutputCatalogTest, ExclusiveAccessByAnotherProcessMakesADeviceUnsupported) {
    const auto outputs = OutputCatalog::selectable(
        {device(1, "a", "DAC", 2, false, 500), device(2, "b", "Mine", 2, false, 77)}, std::nullopt,
        77);
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

TEST(RoutingTest, CanRouteNeedsReadyGateAndTwoUsableOutputs) {
    const ControlGate ready = ControlGate::Ready{};
    const GroupStatus elsewhere = GroupStatus::Unavailable{UnavailableReason::PlaysToOtherDevice{}};
    const GroupStatus noOutput = GroupStatus::Unavailable{UnavailableReason::NoOutputDevice{}};
    EXPECT_FALSE(Routing::canRoute(ready, std::nullopt, {speakers, held}));
    EXPECT_TRUE(Routing::canRoute(ready, std::nullopt, {speakers, dac, held}));
    EXPECT_FALSE(Routing::canRoute(ready, elsewhere, {speakers, dac}));
    EXPECT_TRUE(Routing::canRoute(ready, noOutput, {speakers, dac}));
    EXPECT_FALSE(Routing::canRoute(ControlGate::Paused{}, std::nullopt, {speakers, dac}));
}

}  // namespace
}  // namespace sonvel
