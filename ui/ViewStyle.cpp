#include "ui/ViewStyle.hpp"

#include <QApplication>
#include <QPalette>
#include <QWidget>

namespace sonvel::ViewStyle {

namespace {

QFont scaled(double relative, QFont::Weight weight = QFont::Normal) {
    QFont font = QApplication::font();
    font.setPointSizeF(std::max(6.0, font.pointSizeF() * relative));
    font.setWeight(weight);
    return font;
}

}  // namespace

QColor colour(TextRole role, const QPalette& palette) {
    const QColor text = palette.color(QPalette::WindowText);
    switch (role) {
        case TextRole::primary:
            return text;
        case TextRole::secondary: {
            // Half way to the background reads as secondary on light and dark themes.
            const QColor back = palette.color(QPalette::Window);
            return QColor((text.red() + back.red()) / 2, (text.green() + back.green()) / 2,
                          (text.blue() + back.blue()) / 2);
        }
        case TextRole::warning:
            return QColor(0xE6, 0x7E, 0x00);  // an orange that reads on light and dark
    }
    return text;
}

void setTextRole(QWidget& widget, TextRole role) {
    const QColor wanted = colour(role, QApplication::palette(&widget));
    QPalette palette = widget.palette();
    if (palette.color(QPalette::WindowText) == wanted) return;
    palette.setColor(QPalette::WindowText, wanted);
    palette.setColor(QPalette::Text, wanted);
    widget.setPalette(palette);
}

QFont headline() {
    return scaled(1.0, QFont::Bold);
}
QFont callout() {
    return scaled(0.95);
}
QFont caption() {
    return scaled(0.85);
}
QFont caption2() {
    return scaled(0.8);
}

}  // namespace sonvel::ViewStyle
