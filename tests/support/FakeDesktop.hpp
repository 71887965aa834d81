#pragma once

// The desktop around the model, kept in memory: the preferences store, the
// workspace and the login item, each recording what it was asked so a test
// can look. Shared by the model's tests, the widgets' tests and the panel
// benchmark, which all start the model without a real desktop.

#include <chrono>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Sonvel/PreferencesStore.hpp"
#include "Sonvel/Workspace.hpp"

namespace sonvel::testsupport {

struct MemoryStore final : PreferencesStore {
    std::expected<std::optional<std::string>, std::string> data(
        const std::string& key) const override {
        const auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    }
    std::expected<void, std::string> setData(const std::string& key,
                                             const std::string& bytes) override {
        values[key] = bytes;
        ++writes;
        return {};
    }
    std::expected<std::string, std::string> keepCopy(
        const std::string&, std::chrono::system_clock::time_point) override {
        return "a copy in memory";
    }
    std::map<std::string, std::string> values;
    int writes = 0;
};

struct FakeWorkspace final : Workspace {
    void observeSleep(std::function<void()> sleep, std::function<void()> wake) override {
        willSleep = std::move(sleep);
        didWake = std::move(wake);
    }
    bool openSoundSettings() override {
        opened.push_back("sound settings");
        return !soundSettingsMissing;
    }
    std::optional<std::string> soundSettingsUnavailableReason() const override {
        return soundSettingsMissing;
    }
    bool openPrivacySettings() override {
        opened.push_back("privacy settings");
        return false;
    }
    void relaunch(std::function<void()> then) override { then(); }
    void terminate() override { terminated = true; }
    std::function<void()> willSleep, didWake;
    std::vector<std::string> opened;
    std::optional<std::string> soundSettingsMissing;
    bool terminated = false;
};

struct FakeLoginItem final : LoginItem {
    std::expected<void, std::string> setEnabled(bool) override { return {}; }
    bool isEnabled() const override { return false; }
};

}  // namespace sonvel::testsupport
