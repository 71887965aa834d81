#pragma once

#include <QWidget>
#include <optional>
#include <vector>

#include "Sonvel/views/RowState.hpp"
#include "ui/AppIcons.hpp"

class QLabel;
class QPushButton;
class QToolButton;

namespace sonvel {

class LevelDot;
class LevelSlider;
class OutputMenuButton;

// One application's row: renders a RowState, and every input calls a model
// command for the row's group.
class AppRowWidget final : public QWidget {
    Q_OBJECT
  public:
    AppRowWidget(MixerModel& model, AppIconNames iconNames, int panelWidth,
                 QWidget* parent = nullptr);
    void render(const RowState& state);

    [[nodiscard]] const RowState& state() const { return *state_; }
    [[nodiscard]] QToolButton* muteButton() const { return mute_; }
    [[nodiscard]] LevelSlider* slider() const { return slider_; }
    [[nodiscard]] QLabel* levelLabel() const { return level_; }
    [[nodiscard]] QLabel* captionLabel() const { return caption_; }
    [[nodiscard]] QPushButton* retryButton() const { return retry_; }
    [[nodiscard]] LevelDot* levelDot() const { return dot_; }
    [[nodiscard]] OutputMenuButton* outputMenu() const { return outputs_; }
    [[nodiscard]] QLabel* noteLabel() const { return note_; }
    // The row's controls in Tab order, as they sit on screen.
    [[nodiscard]] std::vector<QWidget*> focusOrder() const;

  private:
    MixerModel& model_;
    int textWidth_;
    AppIconNames iconNames_;
    std::optional<RowState> state_;
    QLabel* icon_;
    QLabel* name_;
    QLabel* note_;
    LevelDot* dot_;
    QToolButton* mute_;
    LevelSlider* slider_;
    QLabel* level_;
    OutputMenuButton* outputs_;
    QWidget* captionLine_;
    QLabel* caption_;
    QPushButton* retry_;
};

}  // namespace sonvel
