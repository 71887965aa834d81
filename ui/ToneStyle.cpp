#include "ui/ToneStyle.hpp"

#include <QApplication>
#include <QPalette>
#include <QWidget>

namespace sonvel::ToneStyle {

QColor colour(Tone tone, const QPalette& palette) {
    const QColor text = palette.color(QPalette::WindowText);
    switch (tone) {
        case Tone::primary:
            return text;
        case Tone::secondary: {
            // Half way to the background reads as secondary on light and dark themes.
            const QColor back = palette.color(QPalette::Window);
            return QColor((text.red() + back.red()) / 2, (text.green() + back.green()) / 2,
                          (text.blue() + back.blue()) / 2);
        }
        case Tone::warning:
            return QColor(0xE6, 0x7E, 0x00);  // an orange that reads on light and dark
        // Darker than the pure hues, so they read on a light window and a dark one.
        case Tone::positive:
            return QColor(0x2E, 0x9E, 0x44);
        case Tone::negative:
            return QColor(0xD7, 0x2C, 0x2C);
    }
    return text;
}

void setTone(QWidget& widget, Tone tone) {
    const QColor wanted = colour(tone, QApplication::palette(&widget));
    QPalette palette = widget.palette();
    if (palette.color(QPalette::WindowText) == wanted) return;
    palette.setColor(QPalette::WindowText, wanted);
    palette.setColor(QPalette::Text, wanted);
    widget.setPalette(palette);
}

}  // namespace sonvel::ToneStyle
