#include "ui/ToneStyle.hpp"

#include <QApplication>
#include <QPalette>
#include <QWidget>

#include "ui/ViewStyle.hpp"

namespace sonvel::ToneStyle {

QColor colour(Tone tone, const QPalette& palette) {
    switch (tone) {
        case Tone::primary:
            return ViewStyle::colour(TextRole::primary, palette);
        case Tone::secondary:
            return ViewStyle::colour(TextRole::secondary, palette);
        case Tone::warning:
            return ViewStyle::colour(TextRole::warning, palette);
        // Darker than the pure hues, so they read on a light window and a dark one.
        case Tone::positive:
            return QColor(0x2E, 0x9E, 0x44);
        case Tone::negative:
            return QColor(0xD7, 0x2C, 0x2C);
    }
    return palette.color(QPalette::WindowText);
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
