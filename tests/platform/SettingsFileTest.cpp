// The settings file on disk under a temporary XDG_CONFIG_HOME, read and written
// by the model as the application does: what cannot be read is kept, what
// cannot be written is said, and nothing is lost.

#include <sys/stat.h>

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "../Sonvel/ModelFixture.hpp"
#include "Sonvel/views/DiagnosticsState.hpp"
#include "Sonvel/views/PanelState.hpp"
#include "platform/qt/QtPreferencesStore.hpp"

namespace sonvel::modeltest {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
constexpr const char* key = MixerModel::preferencesKey;

// Never opens what is not a plain file: a FIFO would wait for a writer.
std::string bytesOf(const fs::path& path) {
    if (!fs::is_regular_file(path)) return std::to_string(int(fs::symlink_status(path).type()));
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class SettingsFileTest : public MixerModelTest {
  protected:
    SettingsFileTest() { ::setenv("XDG_CONFIG_HOME", home.path().toUtf8().constData(), 1); }
    void launch() { storeInUse = std::make_shared<QtPreferencesStore>(), start(); }
    Preferences onDisk() const {
        return PreferencesCodec::decode(QtPreferencesStore().data(key).value()).preferences;
    }
    std::vector<std::string> copies() const {
        std::set<std::string> paths;  // in the order of their names
        for (const auto& e : fs::directory_iterator(folder)) paths.insert(e.path());
        std::erase_if(paths, [](const std::string& p) { return !p.contains(".unreadable-"); });
        std::vector<std::string> bytes;
        for (const std::string& p : paths) bytes.push_back(bytesOf(p));
        return bytes;
    }
    QTemporaryDir home;
    const fs::path folder = home.path().toStdString() + "/velmorra";
    const fs::path file = folder / "app.velmorra.sonvel.conf";
};

TEST_F(SettingsFileTest, WhatCannotBeReadIsCopiedAsItIsAndLeftAloneUntilTheFirstChange) {
    const std::string newer = R"({"apps":{"x":{"displayName":"X","eq":3,"muted":false,)"
                              R"("position":0.5}},"equaliser":"warm","version":2})";
    // Bytes no text setting could hold, too, kept byte for byte.
    for (const std::string& damaged :
         {newer.substr(0, 30), std::string("not JSON"), std::string("\0\xFF{\"a\":1} end", 13),
          std::string(R"({"apps":[],"isPaused":false,"showIdleApps":true,"version":1})"), newer}) {
        freshWorld();
        fs::remove_all(folder);
        EXPECT_EQ(QtPreferencesStore().data(key), std::nullopt);
        ASSERT_TRUE(QtPreferencesStore().setData(key, damaged));
        const std::string before = bytesOf(file);
        launch();
        freshWorld();  // a quit and a second start: a second copy beside the first
        launch();
        run(2s);
        EXPECT_EQ(bytesOf(file), before) << damaged;
        EXPECT_EQ(copies(), std::vector<std::string>(2, damaged));
        const std::string told = model->unreadableSettings->value_or("");
        EXPECT_TRUE(told.contains(folder.string() + "/app.velmorra.sonvel.unreadable-")) << told;
        EXPECT_EQ(DiagnosticsInput::of(*model).unreadableSettings, told);
        EXPECT_EQ(PanelView::settingsBanners(PanelInput::of(*model)).at(0).detail, told);
        model->dismissUnreadableSettings();
        EXPECT_TRUE(PanelView::settingsBanners(PanelInput::of(*model)).empty());

        model->setShowIdleApps(false);
        EXPECT_FALSE(onDisk().showIdleApps) << damaged;
        EXPECT_EQ(copies(), std::vector<std::string>(2, damaged));
    }
}

// Through a symbolic link, beside the update feed's setting in the same file.
TEST_F(SettingsFileTest, MembersThisVersionDoesNotKnowSurviveAChangeAndItsSave) {
    storeLevels(0.5);
    Json document = Json::parse(store->values[key]);
    document["equaliser"] = "warm";
    document["apps"]["com.apple.Music"]["eq"] = 3;
    fs::create_directories(folder);
    std::ofstream(home.filePath("real.conf").toStdString()) << "[updates]\nfeedURL=x\n";
    fs::create_symlink(home.filePath("real.conf").toStdString(), file);
    ASSERT_TRUE(QtPreferencesStore().setData(key, document.dump()));
    launch();
    model->setPosition(0.25, musicRow());
    run(1s);
    model->shutdown();
    document["apps"]["com.apple.Music"]["position"] = 0.25;
    EXPECT_EQ(Json::parse(QtPreferencesStore().data(key).value().value()), document);
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_NE(bytesOf(file).find("feedURL=x"), std::string::npos);
}

// A read-only file is sonvelctl's test, which hears the same sentence.
TEST_F(SettingsFileTest, ASaveThatCannotBeWrittenSaysWhyTriesAgainAndLosesNothing) {
    const std::vector<std::pair<std::function<void()>, std::string>> cases{
        {[&] { fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec); },
         folder.string() + " is read-only (permission denied)"},
        {[&] { fs::remove(file) && fs::create_directory(file); },
         file.string() + " is a folder, not a settings file"},
        {[&] { fs::remove(file) && ::mkfifo(file.c_str(), 0600) == 0; },
         file.string() + " is a FIFO (named pipe), not a settings file"},
    };
    for (const auto& [damage, why] : cases) {
        freshWorld();
        fs::remove_all(folder);
        ASSERT_TRUE(QtPreferencesStore().setData(key, PreferencesCodec::encode(Preferences{})));
        damage();
        const std::string before = bytesOf(file);
        launch();  // never opens a FIFO, which would wait here for ever
        model->setShowIdleApps(false);
        const std::string sentence = "Settings could not be saved: " + why + ".";
        EXPECT_EQ(model->saveError.get(), sentence);
        EXPECT_EQ(PanelView::settingsBanners(PanelInput::of(*model)).at(0).detail, sentence);
        EXPECT_EQ(bytesOf(file), before) << sentence;
        fs::permissions(folder, fs::perms::owner_all);
        fs::is_regular_file(file) ? fs::permissions(file, fs::perms::owner_all)
                                  : (void)fs::remove(file);
        run(MixerModel::saveRetryFirst + 100ms);
        EXPECT_EQ(model->saveError.get(), std::nullopt) << sentence;
        EXPECT_FALSE(onDisk().showIdleApps) << sentence;
    }
}

}  // namespace
}  // namespace sonvel::modeltest
