#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

#include "Sonvel/Published.hpp"
#include "Sonvel/views/SettingsState.hpp"

class QCheckBox;
class QLabel;
class QMessageBox;
class QPushButton;

namespace sonvel {

class MixerModel;
class UpdateChecker;

// The settings window's General tab: launch at login, update checks, the idle
// filter, whether volume controls are available, the resets and the sound
// settings. Renders the model's and the update checker's state; its only own
// state is the reset-setup confirmation while it shows. Main thread only.
class GeneralSettingsTab final : public QWidget {
  public:
    using OpenURL = std::function<void(const std::string&)>;

    // `updates` may be null: the button then stays disabled.
    GeneralSettingsTab(std::shared_ptr<MixerModel> model, UpdateChecker* updates, OpenURL openURL,
                       QWidget* parent);

    void refresh();

    [[nodiscard]] const GeneralSettingsState& state() const { return state_; }
    [[nodiscard]] QCheckBox* launchAtLogin() const { return launchAtLogin_; }
    [[nodiscard]] QLabel* launchAtLoginError() const { return launchError_; }
    [[nodiscard]] QPushButton* checkForUpdates() const { return checkForUpdates_; }
    [[nodiscard]] QLabel* updateLine() const { return updateLine_; }
    [[nodiscard]] QPushButton* download() const { return download_; }
    [[nodiscard]] QPushButton* releaseNotes() const { return releaseNotes_; }
    [[nodiscard]] QCheckBox* showIdleApps() const { return showIdle_; }
    [[nodiscard]] QLabel* volumeControls() const { return volumeControls_; }
    [[nodiscard]] QPushButton* button(const QString& title) const;
    [[nodiscard]] QLabel* audioReset() const { return audioReset_; }
    // The confirmation while it shows, else null.
    [[nodiscard]] QMessageBox* resetSetupDialog() const;

  private:
    void render(const GeneralSettingsState& state);
    void open(const std::optional<std::string>& url);
    void confirmResetSetup();

    std::shared_ptr<MixerModel> model_;
    UpdateChecker* updates_;
    Subscription updatesChanged_;
    OpenURL openURL_;
    GeneralSettingsState state_;
    bool rendered_ = false;
    QCheckBox* launchAtLogin_;
    QLabel* launchError_;
    QPushButton* checkForUpdates_;
    QLabel* updateLine_;
    QLabel* notes_;
    QWidget* updateActions_;
    QPushButton* download_;
    QPushButton* releaseNotes_;
    QCheckBox* showIdle_;
    QLabel* volumeControls_;
    QLabel* audioReset_;
    std::vector<QPushButton*> buttons_;
    QPointer<QMessageBox> confirmation_;
};

}  // namespace sonvel
