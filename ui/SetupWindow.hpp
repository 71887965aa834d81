#pragma once

#include <QWidget>
#include <memory>

#include "Sonvel/PlatformWording.hpp"
#include "Sonvel/views/SetupState.hpp"

class QLabel;

namespace sonvel {

class AccessStepView;
class LiveTestStepView;
class MixerModel;

// The setup window: whether volume controls are available, then the access
// check and the live test, each in a box with its completion mark. It renders
// the model's state on every change while it lives and keeps only the
// application picked for the test. Main thread only.
class SetupWindow final : public QWidget {
  public:
    SetupWindow(std::shared_ptr<MixerModel> model, PlatformWording wording,
                QWidget* parent = nullptr);

    // Re-reads the model; called on every change the model reports.
    void refresh();

    [[nodiscard]] const SetupState& state() const { return state_; }
    [[nodiscard]] QWidget* controlsStatus() const { return status_; }
    [[nodiscard]] QLabel* statusTitle() const { return statusTitle_; }
    [[nodiscard]] QLabel* statusDetail() const { return statusDetail_; }
    [[nodiscard]] QLabel* stepTitle(int step) const {
        return step == 1 ? accessTitle_ : liveTitle_;
    }
    [[nodiscard]] AccessStepView* access() const { return access_; }
    [[nodiscard]] LiveTestStepView* liveTest() const { return liveTest_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void render(const SetupState& state);

    std::shared_ptr<MixerModel> model_;
    PlatformWording wording_;
    SetupState state_;
    bool rendered_ = false;
    QWidget* status_;
    QLabel* statusIcon_;
    QLabel* statusTitle_;
    QLabel* statusDetail_;
    QLabel* accessIcon_;
    QLabel* accessTitle_;
    QLabel* liveIcon_;
    QLabel* liveTitle_;
    AccessStepView* access_;
    LiveTestStepView* liveTest_;
};

}  // namespace sonvel
