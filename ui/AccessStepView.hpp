#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "Sonvel/views/SetupState.hpp"

class QLabel;
class QProgressBar;
class QPushButton;

namespace sonvel {

class MixerModel;

// The setup window's first step: the access check's explanation, its state
// line, message and instructions, and its three buttons, which call the
// model's commands. Holds nothing of its own. Main thread only.
class AccessStepView final : public QWidget {
  public:
    AccessStepView(std::shared_ptr<MixerModel> model, QWidget* parent);

    void render(const AccessStepState& state);
    // What the privacy-settings button opens in place of the model's
    // privacy settings (the simulated system's capture switch).
    void setOpenSystemSettings(std::function<void()> open) {
        openSystemSettings_ = std::move(open);
    }

    [[nodiscard]] QLabel* stateLine() const { return lineText_; }
    [[nodiscard]] QLabel* message() const { return message_; }
    [[nodiscard]] QLabel* instructions() const { return instructions_; }
    [[nodiscard]] QPushButton* checkAccess() const { return checkAccess_; }
    [[nodiscard]] QPushButton* openSettings() const { return openSettings_; }
    [[nodiscard]] QPushButton* relaunch() const { return relaunch_; }
    [[nodiscard]] bool showsProgress() const;

  private:
    std::shared_ptr<MixerModel> model_;
    QLabel* intro_;
    QLabel* lineIcon_;
    QProgressBar* spinner_;
    QLabel* lineText_;
    QLabel* message_;
    QLabel* instructions_;
    QPushButton* checkAccess_;
    QPushButton* openSettings_;
    QPushButton* relaunch_;
    std::function<void()> openSystemSettings_;
};

}  // namespace sonvel
