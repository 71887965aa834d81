#pragma once

#include <QPointer>
#include <functional>
#include <memory>

#include "Sonvel/PlatformWording.hpp"
#include "ui/GeneralSettingsTab.hpp"

namespace sonvel {

class MixerModel;
class UpdateChecker;
class SetupWindow;
class SettingsWindow;

// The setup and settings windows, at most one of each: opening one that is
// already open brings it to the front instead. A closed window is destroyed,
// so its subscriptions and its own choices end with it. Main thread only.
class AppWindows final {
  public:
    AppWindows(std::shared_ptr<MixerModel> model, PlatformWording wording, UpdateChecker* updates,
               GeneralSettingsTab::OpenURL openURL);
    ~AppWindows();
    AppWindows(const AppWindows&) = delete;
    AppWindows& operator=(const AppWindows&) = delete;

    // What the setup window's "Open System Settings" opens, where the
    // simulated system stands in for the privacy settings; unset: the model's.
    void setOpenSystemSettings(std::function<void()> open) {
        openSystemSettings_ = std::move(open);
    }

    SetupWindow* openSetup();
    SettingsWindow* openSettings();

    // Null while closed.
    [[nodiscard]] SetupWindow* setup() const;
    [[nodiscard]] SettingsWindow* settings() const;

  private:
    std::shared_ptr<MixerModel> model_;
    PlatformWording wording_;
    UpdateChecker* updates_;
    GeneralSettingsTab::OpenURL openURL_;
    std::function<void()> openSystemSettings_;
    QPointer<SetupWindow> setup_;
    QPointer<SettingsWindow> settings_;
};

}  // namespace sonvel
