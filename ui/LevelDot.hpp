#pragma once

#include <QWidget>

#include "Sonvel/views/RowState.hpp"

namespace sonvel {

// A 6-point circle: green while the engine's output is above the floor.
class LevelDot final : public QWidget {
    Q_OBJECT
  public:
    explicit LevelDot(QWidget* parent = nullptr);
    void render(const LevelDotState& state);
    [[nodiscard]] bool isLit() const { return state_.lit; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    LevelDotState state_;
};

}  // namespace sonvel
