#pragma once

#include <QCheckBox>

namespace sonvel {

// An on/off switch: a check box to Qt and to assistive technology, drawn as
// a track and knob, since what it sets takes effect at once rather than on
// confirming a form.
class SwitchBox final : public QCheckBox {
    Q_OBJECT
  public:
    using QCheckBox::QCheckBox;

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override { return sizeHint(); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }

  private:
    [[nodiscard]] QSize track() const;
};

}  // namespace sonvel
