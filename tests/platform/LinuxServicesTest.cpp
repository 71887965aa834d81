#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/LinuxWorkspace.hpp"
#include "platform/linux/XdgLoginItem.hpp"
#include "platform/qt/QtMainQueue.hpp"
#include "platform/qt/QtPreferencesStore.hpp"

#include <QCoreApplication>
#include <thread>
#include "tap/SteppedQueue.hpp"

namespace sonvel {
namespace {

namespace fs = std::filesystem;

class TemporaryFolder {
  public:
    TemporaryFolder()
        : path_(fs::temp_directory_path() /
                ("sonvel-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++))) {
        fs::create_directories(path_);
    }
    ~TemporaryFolder() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

  private:
    static inline int counter_ = 0;
    fs::path path_;
};

TEST(XdgLoginItemTest, EnablingWritesAnAutostartEntryAndDisablingRemovesIt) {
    TemporaryFolder home;
    XdgLoginItem item(home.path(), "/opt/Sonvel Beta/sonvel");
    EXPECT_FALSE(item.isEnabled());
    ASSERT_TRUE(item.setEnabled(true));
    EXPECT_TRUE(item.isEnabled());
    EXPECT_EQ(item.entry(), home.path() / "autostart" / "app.velmorra.sonvel.desktop");
    std::ifstream file(item.entry());
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    EXPECT_NE(text.find("Exec=\"/opt/Sonvel Beta/sonvel\"\n"), std::string::npos);
    EXPECT_NE(text.find("Type=Application\n"), std::string::npos);
    ASSERT_TRUE(item.setEnabled(false));
    EXPECT_FALSE(item.isEnabled());
    EXPECT_TRUE(item.setEnabled(false));  // already off: still fine
}

TEST(XdgLoginItemTest, AnUnwritableFolderGivesASentence) {
    TemporaryFolder home;
    std::ofstream(home.path() / "autostart") << "a file where the folder should be";
    XdgLoginItem item(home.path(), "/usr/bin/sonvel");
    const auto result = item.setEnabled(true);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(),
              "Sonvel could not be added to the login items: " +
                  (home.path() / "autostart" / "app.velmorra.sonvel.desktop").string() +
                  " cannot be written.");
}

TEST(QtPreferencesStoreTest, BytesSurviveANewInstance) {
    TemporaryFolder folder;
    const std::string file = (folder.path() / "settings.conf").string();
    const std::string bytes("{\"a\":1}\0\xFF end", 13);
    {
        QtPreferencesStore store(file);
        EXPECT_EQ(store.data("preferences.v1"), std::nullopt);
        store.setData("preferences.v1", bytes);
    }
    QtPreferencesStore again(file);
    EXPECT_EQ(again.data("preferences.v1"), bytes);
}

TEST(QtMainQueueTest, RunsWorkInOrderOnTheEventLoopThread) {
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    QtMainQueue queue;
    std::vector<int> ran;
    queue.after(std::chrono::milliseconds(20), [&] {
        ran.push_back(3);
        app.quit();
    });
    queue.async([&] { ran.push_back(1); });
    std::thread other([&] { queue.sync([&] { ran.push_back(2); }); });
    EXPECT_TRUE(queue.isCurrent());
    app.exec();
    other.join();
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST(LinuxWorkspaceTest, WithoutAHandlerNothingOpensAndSleepWatchingIsOptional) {
    auto main = std::make_shared<SteppedQueue>("main");
    bool quit = false;
    LinuxWorkspace workspace(main, [&] { quit = true; });
    EXPECT_FALSE(workspace.open("x-apple.systempreferences:com.apple.preference.sound"));
    workspace.observeSleep([] {}, [] {});
    if (!fs::exists("/run/dbus/system_bus_socket")) {
        EXPECT_FALSE(workspace.watchesSleep());
    }
    workspace.terminate();
    EXPECT_TRUE(quit);
}

}  // namespace
}  // namespace sonvel
