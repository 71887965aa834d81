// A stream's own application.icon_name, from a real pw-play on a private
// server, through the backend's system services as the panel asks for it.

#include <gtest/gtest.h>

#include <thread>

#include "platform/pipewire/PipeWireSystemServices.hpp"
#include "support/PipeWireServer.hpp"

namespace sonvel {
namespace {

TEST(PipeWireAppIconTest, AStreamsIconNameReachesThePanelThroughItsApplicationsPath) {
    auto server = pwtest::PipeWireServer::start();
    if (!server) GTEST_SKIP() << server.error();
    auto audio = pw::PipeWireAudioSystem::connect(
        {.routingJournal = (*server)->directory() / "journal.json"});
    ASSERT_TRUE(audio) << audio.error();
    const pw::PipeWireSystemServices system(*audio);

    const pid_t hinted = (*server)->play({.player = pwtest::Player::pwPlay,
                                          .properties = "{ application.icon_name = sonvel-test }"});
    const pid_t plain = (*server)->play({.player = pwtest::Player::paplay});
    ASSERT_GT(hinted, 0);
    ASSERT_GT(plain, 0);
    std::optional<SystemServices::RunningApplication> app, other;
    for (int i = 0; i < 50 && !(app && app->bundlePath && other); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        app = system.runningApplication(hinted);
        other = system.runningApplication(plain);
    }
    ASSERT_TRUE(app && app->bundlePath) << "pw-play has no path to its icon";
    EXPECT_EQ(system.iconName(*app->bundlePath), "sonvel-test");
    // paplay names no icon and has no desktop entry here.
    ASSERT_TRUE(other);
    EXPECT_EQ(other->bundlePath, std::nullopt);
    EXPECT_EQ(system.iconName("/proc/" + std::to_string(plain)), std::nullopt);
    (*server)->stop();
}

}  // namespace
}  // namespace sonvel
