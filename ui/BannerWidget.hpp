#pragma once

#include <QFrame>
#include <functional>
#include <optional>

#include "Sonvel/views/PanelState.hpp"

class QLabel;
class QPushButton;

namespace sonvel {

// The panel's banner: why controls are unavailable, or that only silence
// comes through, with the one action that helps. One accessible element.
class BannerWidget final : public QFrame {
    Q_OBJECT
  public:
    using Act = std::function<void(BannerState::Action)>;

    BannerWidget(Act act, QWidget* parent = nullptr);
    void render(const BannerState& state);

    [[nodiscard]] const BannerState& state() const { return *state_; }
    [[nodiscard]] QPushButton* actionButton() const { return button_; }

  private:
    Act act_;
    std::optional<BannerState> state_;
    QLabel* icon_;
    QLabel* title_;
    QLabel* detail_;
    QPushButton* button_;
};

}  // namespace sonvel
