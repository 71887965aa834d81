#include "ui/LevelSlider.hpp"

#include <QAccessibleWidget>
#include <QSignalBlocker>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace sonvel {

namespace {

class LevelSliderAccessible final : public QAccessibleWidget, public QAccessibleValueInterface {
  public:
    explicit LevelSliderAccessible(LevelSlider* slider)
        : QAccessibleWidget(slider, QAccessible::Slider) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return slider()->levelText();
        return QAccessibleWidget::text(t);
    }
    // In percent, as the row shows it: a reader announcing "0.5" for half
    // volume makes the user do the arithmetic.
    QVariant currentValue() const override { return slider()->position() * 100.0; }
    void setCurrentValue(const QVariant& value) override {
        const double percent = std::clamp(value.toDouble(), 0.0, 100.0);
        slider()->setValue(int(std::lround(percent / 100.0 * LevelSlider::steps)));
    }
    QVariant maximumValue() const override { return 100.0; }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return 1.0; }

  private:
    [[nodiscard]] LevelSlider* slider() const { return static_cast<LevelSlider*>(widget()); }
};

QAccessibleInterface* accessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String(LevelSlider::staticMetaObject.className())) {
        if (auto* slider = qobject_cast<LevelSlider*>(object))
            return new LevelSliderAccessible(slider);
    }
    return nullptr;
}

}  // namespace

LevelSlider::LevelSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    static const bool installed = [] {
        QAccessible::installFactory(accessibleFactory);
        return true;
    }();
    (void)installed;
    setRange(0, steps);
    setSingleStep(steps / 100);
    setPageStep(steps / 10);
    setValue(steps);
    // Never take focus from a wheel passing over the list.
    setFocusPolicy(Qt::StrongFocus);
    connect(this, &QSlider::valueChanged, this, [this](int v) { emit moved(double(v) / steps); });
}

void LevelSlider::showPosition(double position) {
    if (isSliderDown()) return;
    const QSignalBlocker quiet(this);
    setValue(int(std::lround(position * steps)));
}

}  // namespace sonvel

namespace sonvel {

// Scrolling a long list passes every slider under the pointer: only the one
// the user chose with the keyboard or a click takes the wheel, and the list
// scrolls otherwise.
void LevelSlider::wheelEvent(QWheelEvent* event) {
    if (!hasFocus()) {
        event->ignore();
        return;
    }
    QSlider::wheelEvent(event);
}

}  // namespace sonvel
