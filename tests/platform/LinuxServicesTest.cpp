#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "platform/linux/DetachedProcess.hpp"
#include "platform/linux/LinuxWorkspace.hpp"
#include "platform/linux/SoundSettingsApp.hpp"
#include "platform/linux/XdgLoginItem.hpp"
#include "platform/qt/QtMainQueue.hpp"
#include "support/SteppedQueue.hpp"

namespace sonvel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Gone with the test, as the Qt side's own temporary folders are.
struct TemporaryFolder : QTemporaryDir {
    fs::path path() const { return QTemporaryDir::path().toStdString(); }
};

TEST(XdgLoginItemTest, WritesAndRemovesItsEntryHearsChangesMadeElsewhereAndSaysWhyItFailed) {
    TemporaryFolder home;
    XdgLoginItem item(home.path() / ".config", "/opt/Sonvel Beta/sonvel");
    const fs::path entry = home.path() / ".config" / "autostart" / "app.velmorra.sonvel.desktop";
    EXPECT_FALSE(item.isEnabled());
    std::atomic<int> changes = 0;
    item.observe([&] { ++changes; });
    // Another program writes the entry with `extra` lines (making the folders,
    // which do not exist at first) or, given none, removes it. Whether a report
    // came after which the item reads as `enabled`.
    const auto follows = [&](const char* extra, bool enabled) {
        const int before = changes;
        fs::create_directories(entry.parent_path());
        if (!extra) fs::remove(entry);
        if (extra)
            std::ofstream(entry) << "[Desktop Entry]\nType=Application\nExec=sonvel\n" << extra;
        for (int tries = 0; tries < 500; ++tries, std::this_thread::sleep_for(10ms))
            if (changes > before && item.isEnabled() == enabled) return true;
        return false;
    };
    EXPECT_TRUE(follows("", true));
    EXPECT_TRUE(follows("Hidden=true\n", false));
    EXPECT_TRUE(follows("", true));
    EXPECT_TRUE(follows(nullptr, false));

    ASSERT_TRUE(item.setEnabled(true));
    EXPECT_TRUE(item.isEnabled());
    EXPECT_EQ(item.entry(), entry);
    const std::string text(std::istreambuf_iterator<char>(std::ifstream(entry).rdbuf()), {});
    EXPECT_NE(text.find("Exec=\"/opt/Sonvel Beta/sonvel\"\n"), std::string::npos);
    EXPECT_NE(text.find("Type=Application\n"), std::string::npos);
    ASSERT_TRUE(item.setEnabled(false));
    EXPECT_FALSE(item.isEnabled());
    EXPECT_TRUE(item.setEnabled(false));  // already off: still fine

    fs::remove_all(entry.parent_path());
    std::ofstream(entry.parent_path()) << "a file where the folder should be";
    EXPECT_EQ(item.setEnabled(true),
              std::unexpected("Sonvel could not be added to the login items: " + entry.string() +
                              " cannot be written."));
}

TEST(QtMainQueueTest, RunsWorkInOrderOnTheEventLoopThread) {
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    QtMainQueue queue;
    std::vector<int> ran;
    queue.after(20ms, [&] { ran.push_back(3), app.quit(); });
    queue.async([&] { ran.push_back(1); });
    std::thread other([&] { queue.sync([&] { ran.push_back(2); }); });
    EXPECT_TRUE(queue.isCurrent());
    app.exec();
    other.join();
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST(LinuxWorkspaceTest, SoundSettingsFollowTheDesktopAndWhatIsInstalled) {
    using Command = std::vector<std::string>;
    const Command gnome{"gnome-control-center", "sound"}, pavu{"pavucontrol"};
    // What is launched on each desktop with these programs installed; none: disabled.
    const std::tuple<std::string, std::set<std::string>, std::vector<Command>> cases[]{
        {"ubuntu:GNOME", {"gnome-control-center", "pavucontrol"}, {gnome}},
        {"GNOME", {"pavucontrol"}, {pavu}},
        {"KDE", {"kcmshell5", "kcmshell6"}, {{"kcmshell6", "kcm_pulseaudio"}}},
        {"kde", {"systemsettings", "pavucontrol"}, {{"systemsettings", "kcm_pulseaudio"}}},
        {"XFCE", {"gnome-control-center", "systemsettings", "pavucontrol"}, {pavu}},
        {"", {"gnome-control-center", "systemsettings"}, {}},
    };
    for (const auto& [desktop, installed, chosen] : cases) {
        std::vector<Command> launched;
        LinuxWorkspace workspace(
            std::make_shared<SteppedQueue>("main"), [] {},
            {.desktop = desktop,
             .isInstalled = [&](const std::string& p) { return installed.contains(p); },
             .launch = [&](const Command& command) { return launched.push_back(command), true; }});
        EXPECT_EQ(workspace.openSoundSettings(), !chosen.empty()) << desktop;
        EXPECT_EQ(launched, chosen);
        EXPECT_EQ(workspace.soundSettingsUnavailableReason().value_or("available"),
                  chosen.empty() ? SoundSettingsApp::notFound : "available");
        EXPECT_FALSE(workspace.openPrivacySettings());
    }
}

TEST(LinuxWorkspaceTest, LaunchingIsDetachedAndRelaunchKeepsTheArguments) {
    const auto started = std::chrono::steady_clock::now();
    const auto sleeper = DetachedProcess::start({"sleep", "30"});
    ASSERT_TRUE(sleeper) << sleeper.error();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(::kill(*sleeper, 0), 0) << "still running";
    EXPECT_EQ(::waitpid(*sleeper, nullptr, WNOHANG), -1) << "not our child: nothing to reap";
    ::kill(*sleeper, SIGTERM);
    EXPECT_FALSE(DetachedProcess::start({"sonvel-no-such-program"}));

    std::vector<std::string> relaunched;
    bool quit = false;
    LinuxWorkspace workspace(std::make_shared<SteppedQueue>("main"), [&] { quit = true; },
                             {.launch = [&](const auto& c) { return relaunched = c, true; }});
    std::vector<std::string> expected = ::testing::internal::GetArgvs();
    expected[0] = fs::read_symlink("/proc/self/exe").string();
    bool then = false;
    workspace.relaunch([&] { then = true; });
    EXPECT_EQ(relaunched, expected);
    EXPECT_TRUE(then);
    workspace.terminate();
    EXPECT_TRUE(quit);
}

}  // namespace
}  // namespace sonvel
