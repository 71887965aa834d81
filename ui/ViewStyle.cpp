#include "ui/ViewStyle.hpp"

#include <QApplication>

namespace sonvel::ViewStyle {

namespace {

QFont scaled(double relative, QFont::Weight weight = QFont::Normal) {
    QFont font = QApplication::font();
    font.setPointSizeF(std::max(6.0, font.pointSizeF() * relative));
    font.setWeight(weight);
    return font;
}

}  // namespace

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
