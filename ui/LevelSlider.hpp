#pragma once

#include <QSlider>

namespace sonvel {

// A volume slider over positions 0 to 1 whose accessible value is the text
// the row shows ("50%", "Muted") and whose accessible number is a percent.
class LevelSlider final : public QSlider {
    Q_OBJECT
  public:
    static constexpr int steps = 1000;

    explicit LevelSlider(QWidget* parent = nullptr);

    [[nodiscard]] double position() const { return double(value()) / steps; }
    // From the model: never echoed back as a change, and never while the
    // user holds the knob, so a drag is not pulled back under the pointer.
    void showPosition(double position);
    void setLevelText(const QString& text) { levelText_ = text; }
    [[nodiscard]] const QString& levelText() const { return levelText_; }

  signals:
    // Every change the user makes, as a position.
    void moved(double position);

  protected:
    void wheelEvent(QWheelEvent* event) override;

  private:
    QString levelText_;
};

}  // namespace sonvel
